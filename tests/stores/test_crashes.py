"""A host killed at random moments, a server stopped, a full disk: the store
holds every call whole or not at all, and the resumed stream ends with the
graph of an uninterrupted run."""
from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import crash_host
from crash_host import Reference, check_store, open_graph

HERE = Path(__file__).resolve().parent
KILLS = int(os.environ.get("LACET_CRASH_KILLS", "20"))  # per store
N = 420


class ForkServer:
    def __init__(self) -> None:
        import vantor

        env = dict(os.environ)
        host_path = str(Path(vantor.__file__).resolve().parents[1])
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [host_path, env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen([sys.executable, str(HERE / "crash_host.py")], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        self.running = False

    def _answer(self, word: str) -> int:
        line = self.proc.stdout.readline()
        tag, _, value = line.partition(" ")
        assert tag == word, f"fork server answered {line!r} where {word!r} was due"
        return int(value)

    def start(self, **args) -> int:
        """Starts a run; its pid stays that run's until `wait` returns."""
        if self.running:  # a test failed between start and wait
            self.wait()
        self.proc.stdin.write(json.dumps(args) + "\n")
        self.proc.stdin.flush()
        pid = self._answer("pid")
        assert pid > 0
        self.running = True
        return pid

    def wait(self) -> int:
        self.proc.stdin.write("wait\n")
        self.proc.stdin.flush()
        self.running = False
        return self._answer("status")

    def close(self) -> None:
        if self.running:
            self.wait()
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


@pytest.fixture(scope="module")
def fork_server():
    server = ForkServer()
    yield server
    server.close()


@pytest.fixture(scope="module")
def reference():
    return Reference(N)


def read_until(path: Path, word: str, timeout: float = 30.0) -> str:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        text = path.read_text() if path.exists() else ""
        if word in text or "Traceback" in text:
            return text
        time.sleep(0.001)
    raise AssertionError(f"no {word!r} from the host in {timeout} s")


@pytest.mark.parametrize("kind", ["sqlite", "postgresql"])
def test_a_killed_host_loses_nothing(kind, fork_server, reference, tmp_path, request,
                                     record_property):
    seed = crash_host.seed()
    rng = random.Random(seed)
    cluster = request.getfixturevalue("pg_cluster") if kind == "postgresql" else None
    window = 0.05 if kind == "sqlite" else 0.08
    streams = []

    def new_store():
        streams.append(len(streams))
        if kind == "sqlite":
            return str(tmp_path / f"graph{len(streams)}.db"), ""
        return cluster.conninfo, f"crash{len(streams)}"

    def finish(where, name, report):
        fork_server.start(kind=kind, where=where, name=name, n=N, snapshot=True, latency=0.0,
                          report=str(report))
        assert fork_server.wait() == 0, report.read_text()
        with open_graph(kind, where, name) as graph:
            assert check_store(graph, reference) == len(reference.calls)

    where, name = new_store()
    kills = inside = runs = 0
    checked = []  # memories the store held, checked after each kill
    while kills < KILLS:
        report = tmp_path / f"run{runs}.txt"
        # With the snapshot (one statement a call) and without (BEGIN ... COMMIT);
        # with a latency, a call spends most of its time between its statements.
        pid = fork_server.start(kind=kind, where=where, name=name, n=N, snapshot=runs % 3 != 2,
                                latency=rng.choice([0.0, 0.0005]), report=str(report))
        runs += 1
        read_until(report, "ready")
        time.sleep(rng.uniform(0.0, window))
        os.kill(pid, signal.SIGKILL)
        fork_server.wait()
        lines = report.read_text().splitlines()
        assert not any("Traceback" in line for line in lines), (seed, report.read_text())
        with open_graph(kind, where, name) as graph:
            k = check_store(graph, reference)
        if lines[-1] == "done":  # the stream ended before the kill: another one
            assert k == len(reference.calls)
            where, name = new_store()
            continue
        kills += 1
        inside += lines[-1].startswith("begin")
        checked.append(sum(len(call) for call in reference.calls[:k]))
    finish(where, name, tmp_path / "last.txt")
    record_property("kills", kills)
    print(f"\n{kind}: {kills} kills ({inside} inside a call) over {len(streams)} streams; "
          f"memories checked after each: {checked}; seed {seed}")
