"""The host wiring example in the README runs as written."""
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_wiring_example_runs():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    example = next(b for b in blocks if "build_extension" in b)
    namespace = {}
    exec(compile(example, str(README), "exec"), namespace)
    ext, graph = namespace["ext"], namespace["graph"]
    assert namespace["result"].created == []  # the first memory has nothing to link to
    assert len(namespace["combined"].created) > 0
    assert "m1" not in ext._candidate_ids and ext._candidate_ids <= {n.id for n in graph.all_nodes()}
    assert namespace["context"].max_results == 20
