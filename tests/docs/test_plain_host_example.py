"""The example host under examples/plain_host, written from docs/host-contract.md
alone, runs end to end in a process of its own: there `vantor` is the example's own
minimal package, not the reference host these tests otherwise import."""
import os
import re
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "plain_host"


def test_plain_host_runs_and_keeps_its_invariants():
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([sys.executable, str(EXAMPLE / "run_example.py")], env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "invariants held" in run.stdout
    counts = dict(re.findall(r"(\w+) (\d+)", run.stdout.splitlines()[0]))
    # Every part of the contract was exercised: the cap evicted, the chain and the
    # semantic edges formed, memories were forgotten.
    assert all(int(counts[k]) > 0 for k in ("semantic", "temporal", "evicted", "forgotten")), counts


def test_plain_host_uses_its_own_vantor_package():
    probe = ("import run_example, vantor.core.edge as e, vantor_lacet.former as f; "
             "print(e.__file__); print(f.MemoryEdge is e.MemoryEdge)")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([sys.executable, "-c", probe], cwd=EXAMPLE, env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    location, same = run.stdout.split()
    assert Path(location).is_relative_to(EXAMPLE) and same == "True"
