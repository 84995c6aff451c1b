"""The README's asyncio example runs as written, and does what it says."""
import re
from pathlib import Path

import pytest

from vantor_lacet_stores.testing.cluster import has_pgvector
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph

README = Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no pgvector")
def test_readme_async_example_runs(monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    example = next(b for b in blocks if "AsyncStoreHost" in b)
    assert len(example.splitlines()) <= 25
    import vantor_lacet_stores.testing.cluster as pg_cluster

    seen = {}
    stop = pg_cluster.ThrowawayCluster.stop

    def look_then_stop(cluster):  # what the example stored, before its cluster goes
        if cluster.folder is not None:
            for k in range(4):
                with PostgresGraph(cluster.conninfo, graph=f"user-{k}") as graph:
                    seen[k] = (graph.node_count, graph.edge_count, graph.last_ingested())
        stop(cluster)

    monkeypatch.setattr(pg_cluster.ThrowawayCluster, "stop", look_then_stop)
    exec(compile(example, str(README), "exec"), {})
    assert seen[0][0] == 19 and all(seen[k][0] == 20 for k in (1, 2, 3))
    assert all(seen[k][2] == f"user-{k}/19" for k in range(4))
    assert all(seen[k][1] > 19 for k in (1, 2, 3))  # the chain and semantic edges
