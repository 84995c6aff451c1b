import os
import sys
from pathlib import Path

# The host's modules (vantor.core.edge, vantor.agents.gossip_retriever, ...)
# come from the in-repo host contracts; the pure-Python model lives beside the tests.
_ROOT = Path(__file__).resolve().parent.parent
for _path in (_ROOT / "host_contracts", _ROOT / "tests"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

# The suite checks the package as a host imports it: the switch that makes
# it offer its cache counts (tests/package/test_cache_hits.py) stays off in
# this process whatever the shell says; the tests that need it set it for
# a child process.
os.environ.pop("VANTOR_LACET_CACHE_COUNTS", None)
