import sys
from pathlib import Path

# The host's modules (vantor.core.edge, vantor.agents.gossip_retriever, ...)
# come from the in-repo host contracts; the pure-Python model lives beside the tests.
_ROOT = Path(__file__).resolve().parent.parent
for _path in (_ROOT / "host_contracts", _ROOT / "tests"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))
