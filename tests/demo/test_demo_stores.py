"""The demo on each graph store: the same edges as in memory, in a couple of
statements a memory with the snapshot, one a call without."""
import importlib
import sys
from pathlib import Path

_DEMO = str(Path(__file__).resolve().parents[2] / "demo")


def test_demo_on_sqlite_and_postgresql_forms_the_same_edges(tmp_path, capsys):
    sys.path.insert(0, _DEMO)
    try:
        cli = importlib.import_module("lacet_demo.cli")
        runs = {}
        for store in ("memory", "sqlite", "postgresql", "postgresql --no-snapshot --latency 0.05"):
            report = cli.main(["--synthetic", "400", "--search", "approx", "--no-progress",
                               "--out", str(tmp_path), "--batch-size", "20",
                               "--store", *store.split()])
            stats = report["stats"]
            runs[store] = (stats.created, stats.evictions, report["degrees"],
                           stats.round_trips / stats.memories)
    finally:
        sys.path.remove(_DEMO)
        for name in [n for n in sys.modules if n == "lacet_demo" or n.startswith("lacet_demo.")]:
            del sys.modules[name]
    memory = runs.pop("memory")
    assert memory[1] > 0  # the cap evicts
    for store, run in runs.items():
        assert run[:3] == memory[:3], store
    assert runs["sqlite"][3] == runs["postgresql"][3] <= 2.5
    # one statement per call of the package, plus add_node and the last id a batch
    assert runs["postgresql --no-snapshot --latency 0.05"][3] == memory[3] + 1 / 20
    out = capsys.readouterr().out
    assert "| graph store" in out and "0.05 ms a round trip" in out
