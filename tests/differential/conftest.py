def pytest_terminal_summary(terminalreporter):
    from .harness import COUNTS, EVENTS, MUTANT_COUNTS

    if not COUNTS and not MUTANT_COUNTS:
        return
    tr = terminalreporter
    tr.section("lacet differential")
    if MUTANT_COUNTS:
        tr.write_line(
            f"mutant detection: {MUTANT_COUNTS['examples']} examples, {MUTANT_COUNTS['operations']} operations"
        )
    if not COUNTS:
        return
    import os

    pair = os.environ.get("LACET_DIFF_IMPLS", "model,model")
    tr.write_line(f"pair {pair}: examples run: {COUNTS['examples']}, operations executed: {COUNTS['operations']}")
    ops = ", ".join(f"{k[3:]}={v}" for k, v in sorted(COUNTS.items()) if k.startswith("op:"))
    tr.write_line(f"operations by kind: {ops}")
    outcomes = ", ".join(f"{k[8:]}={v}" for k, v in sorted(COUNTS.items()) if k.startswith("outcome:"))
    tr.write_line(f"outcomes: {outcomes}")
    tr.write_line("host events seen: " + ", ".join(f"{k}={v}" for k, v in sorted(EVENTS.items())))


import sys as _sys

import pytest as _pytest

from recording_host import RETRIEVER_MODULE as _RETRIEVER_MODULE
from recording_host import put_module as _put_module


@_pytest.fixture(autouse=True)
def _restore_rebound_host_names():
    """The worlds bind their recording host into the implementations' module
    namespaces and sys.modules; put everything back for the other tests."""
    namespaces = {name: dict(vars(module)) for name, module in list(_sys.modules.items())
                  if name.endswith(".former") and module is not None}
    retriever = _sys.modules.get(_RETRIEVER_MODULE)
    yield
    for name, saved in namespaces.items():
        module = _sys.modules.get(name)
        if module is not None:
            vars(module).clear()
            vars(module).update(saved)
    _put_module(_RETRIEVER_MODULE, retriever)
