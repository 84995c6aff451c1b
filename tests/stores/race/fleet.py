"""Instances of `instance.py` as processes, and the clients that load them:
what the race tests and the takeover benchmark share.

- `Fleet`: starts the instances, kills (SIGKILL), pauses (SIGSTOP/SIGCONT),
  restarts and ends them, and reads the writes they logged.
- `Router`: sends a graph's requests to an instance. A graph starts at the
  instance its name hashes to (its home) and stays where it was last served;
  with `hand_over`, it goes back home: a request goes to the home whenever the
  home is not suspect, and an instance that serves a graph away from its home
  is asked to hand it over to the home. An instance
  that cannot be reached or does not answer in time is suspect for a while,
  and the graph moves to the next instance that is not; `GraphTaken` moves it
  to the holder it names, unless that one is suspect (dead or paused: the
  graph is retried elsewhere until its lease runs out and another instance
  takes it). A request is retried until its deadline; one that was sent
  without an answer may have been stored, and is sent again as it was (the
  store then refuses the duplicate ids, or stores them once).
- `Load`: async clients adding memories (singles and batches) to the graphs
  and forgetting some, bounded in count and time, recording every memory an
  instance acknowledged.
"""
from __future__ import annotations

import asyncio
import json
import os
import random
import signal
import subprocess
import sys
import time
import zlib
from collections import Counter, defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[2]
D = 16
_CENTRES = np.random.default_rng(7).normal(size=(4, D))


def vector(node_id: str) -> np.ndarray:
    """The memory's vector, the same wherever it is computed: one of four
    directions plus noise, so that the graphs get semantic edges up to the cap."""
    rng = np.random.default_rng(zlib.crc32(node_id.encode()))
    return (_CENTRES[rng.integers(4)] + rng.normal(scale=0.5, size=D)).astype(np.float32)


def node(node_id: str) -> list[Any]:
    return [node_id, f"memory {node_id}", vector(node_id).tolist()]


class Process:
    """One instance: its name, socket, log file and current process."""

    def __init__(self, fleet: Fleet, name: str) -> None:
        self.fleet = fleet
        self.name = name
        self.socket = str(fleet.folder / f"{name}.sock")
        self.log = fleet.folder / f"{name}.log"
        self.proc: subprocess.Popen[bytes] | None = None
        self.starts = 0

    def start(self) -> None:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [str(ROOT / "host_contracts")] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
        self.starts += 1
        cmd = [sys.executable, str(HERE / "instance.py"), "--name", self.incarnation,
               "--socket", self.socket, "--servers", self.fleet.servers,
               "--log", str(self.log), "--dimensions", str(self.fleet.dimensions),
               "--lease", str(self.fleet.lease),
               "--timeout", str(self.fleet.pool_timeout)]
        if self.fleet.idle is not None:
            cmd += ["--idle", str(self.fleet.idle)]
        errors = open(self.fleet.folder / f"{self.name}.err", "ab")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=errors,
                                     start_new_session=True)
        errors.close()

    @property
    def incarnation(self) -> str:
        """The name the current process holds leases by: a restarted instance is
        a new holder, and waits for its predecessor's leases to run out."""
        return f"{self.name}.{self.starts}"

    async def ready(self, timeout: float = 30.0) -> None:
        """Wait for the process's "ready" line."""
        assert self.proc is not None and self.proc.stdout is not None
        line = await asyncio.wait_for(asyncio.to_thread(self.proc.stdout.readline), timeout)
        if line.strip() != b"ready":
            raise RuntimeError(f"instance {self.name} did not start: "
                               + (self.fleet.folder / f"{self.name}.err").read_text()[-3000:])

    def signal(self, sig: int) -> None:
        assert self.proc is not None
        self.proc.send_signal(sig)

    def kill(self) -> None:
        """SIGKILL, and reap it."""
        assert self.proc is not None
        self.proc.kill()
        self.proc.wait()

    def end(self, timeout: float = 10.0) -> None:
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.send_signal(signal.SIGCONT)
        self.proc.terminate()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Fleet:
    """`n` instances named i0, i1, ... serving `servers` (the JSON of instance.py's
    --servers) with leases of `lease` seconds, waiting up to `pool_timeout` for a
    connection, for vectors of `dimensions`, releasing graphs idle for `idle`
    seconds (None: never); files in `folder`."""

    def __init__(self, folder: Path, servers: Any, n: int = 3, lease: float = 2.0,
                 pool_timeout: float = 1.0, dimensions: int = D,
                 idle: float | None = None) -> None:
        self.folder = folder
        self.idle = idle
        self.dimensions = dimensions
        self.pool_timeout = pool_timeout
        self.servers = json.dumps(servers)
        self.lease = lease
        self.processes = [Process(self, f"i{k}") for k in range(n)]

    async def start(self) -> None:
        for p in self.processes:
            p.start()
        for p in self.processes:
            await p.ready()

    def end(self) -> None:
        for p in self.processes:
            p.end()

    def index(self, holder: str | None) -> int | None:
        """The instance whose current process is `holder` (None: a process gone)."""
        for k, p in enumerate(self.processes):
            if p.incarnation == holder:
                return k
        return None

    def logs(self) -> list[list[Any]]:
        entries = []
        for p in self.processes:
            if p.log.exists():
                entries += [json.loads(line) for line in p.log.read_text().splitlines()]
        return entries

    def write_logs(self) -> list[list[Any]]:
        """Every write the instances logged: [graph, token, writes, instance, pid]."""
        return [entry for entry in self.logs() if entry[1] is not None]

    def failures(self) -> Counter[str]:
        """The calls that failed in the instances, by exception type."""
        return Counter(entry[5] for entry in self.logs() if entry[1] is None)

    async def request(self, k: int, request: dict[str, Any], timeout: float) -> dict[str, Any]:
        """One request to instance k. OSError when it cannot be reached (nothing
        sent: ConnectionRefusedError, FileNotFoundError), TimeoutError or another
        OSError when the answer did not come (the request may have been served)."""
        async with asyncio.timeout(timeout):
            reader, writer = await asyncio.open_unix_connection(self.processes[k].socket)
            try:
                writer.write(json.dumps(request).encode() + b"\n")
                await writer.drain()
                line = await reader.readline()
            finally:
                writer.close()
        if not line:
            raise ConnectionResetError(f"instance {self.processes[k].name} closed the connection")
        return json.loads(line)


@dataclass
class Outcome:
    answer: dict[str, Any] | None  # the last answer, None if none came
    instance: int | None  # the one that answered it
    tries: int
    served_at: float = 0.0  # time.monotonic() of the ok answer


# Answers that no other try can change: ids stored already, a forget of ids not
# stored, a node refused. Any other error (GraphLost, a server away) is retried.
FINAL = {"AlreadyStored", "MemoryRefused", "BatchTooLarge", "KeyError"}
# What instances answer while others are killed or paused and servers restart
# (and AlreadyStored for the ids of a call sent again after it was stored).
ROUTINE = {"GraphTaken", "GraphLost", "KeyError", "StoreFailed", "AlreadyStored"}


class Router:
    """See the module's text. `timeout`: how long an answer is waited for;
    `suspect_for`: how long an instance that failed to answer is avoided;
    `hand_over`: graphs are moved back to their homes. `hand_overs` records,
    for each hand-over asked for, (graph, time asked, time the home first
    served the graph after it, or None)."""

    def __init__(self, fleet: Fleet, timeout: float = 2.0, suspect_for: float = 1.0,
                 hand_over: bool = False) -> None:
        self.fleet = fleet
        self.hand_over = hand_over
        self.hand_overs: list[list[Any]] = []
        self._asked: dict[str, list[Any]] = {}  # the hand-over of each graph not yet served
        self.timeout = timeout
        self.suspect_for = suspect_for
        self.route: dict[str, int] = {}
        self.suspect_until = [0.0] * len(fleet.processes)
        self.errors: Counter[str] = Counter()
        self.messages: dict[str, str] = {}  # the first message of each error not routine

    def home(self, graph: str) -> int:
        return zlib.crc32(graph.encode()) % len(self.fleet.processes)

    def _next(self, k: int) -> int:
        n = len(self.fleet.processes)
        now = time.monotonic()
        for step in range(1, n + 1):
            j = (k + step) % n
            if self.suspect_until[j] <= now:
                return j
        return (k + 1) % n

    async def call(self, graph: str, request: dict[str, Any], deadline: float) -> Outcome:
        """Send until an instance serves it, an answer says it never can (an
        error other than GraphTaken, GraphLost or one from the server), or
        `deadline` (time.monotonic()) passes."""
        k = self.route.setdefault(graph, self.home(graph))
        home = self.home(graph)
        if self.hand_over and self.suspect_until[home] <= time.monotonic():
            k = home
        pause, tries, last = 0.02, 0, None
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return Outcome(last, None, tries)
            tries += 1
            try:
                answer = await self.fleet.request(k, request, min(self.timeout, remaining))
            except (OSError, TimeoutError, ValueError) as exc:
                self.errors[type(exc).__name__] += 1
                self.suspect_until[k] = time.monotonic() + self.suspect_for
                k = self.route[graph] = self._next(k)
                await asyncio.sleep(pause)
                pause = min(pause * 2, 0.25)
                continue
            if answer["ok"]:
                self.route[graph] = k
                served = time.monotonic()
                if k == home and graph in self._asked:
                    self._asked.pop(graph)[2] = served
                elif k != home and self.hand_over:
                    await self._hand_home(graph, k, home)
                return Outcome(answer, k, tries, served)
            last = answer
            self.errors[answer["error"]] += 1
            if answer["error"] not in ROUTINE:
                self.messages.setdefault(answer["error"], answer["message"])
            if answer["error"] == "GraphTaken":
                holder = self.fleet.index(answer.get("holder"))
                if holder is not None and holder != k and \
                        self.suspect_until[holder] <= time.monotonic():
                    k = self.route[graph] = holder
                    continue
            elif answer["error"] in FINAL:
                return Outcome(answer, k, tries)
            await asyncio.sleep(pause)
            pause = min(pause * 2, 0.25)


    async def _hand_home(self, graph: str, k: int, home: int) -> None:
        """Ask instance k, which served `graph`, to hand it over to its home, when
        the home is not suspect (it answered lately, or was never asked)."""
        if self.suspect_until[home] > time.monotonic():
            return
        try:
            answer = await self.fleet.request(k, {"op": "hand_over", "graph": graph,
                                                  "to": self.fleet.processes[home].incarnation},
                                              self.timeout)
        except (OSError, TimeoutError, ValueError) as exc:
            self.errors[f"hand_over {type(exc).__name__}"] += 1
            return
        if answer.get("held"):
            self.route[graph] = home
            entry = [graph, time.monotonic(), None]
            self.hand_overs.append(entry)
            self._asked[graph] = entry


@dataclass
class Load:
    """Async clients adding and forgetting memories of `graphs` through `router`
    (see `run`).
    `forget_graphs`: the graphs that also get forgets (the others keep one
    unbroken chain). Bounded by `max_requests` and by `stop` (an asyncio.Event)."""

    router: Router
    graphs: list[str]
    forget_graphs: set[str]
    clients: int = 4
    max_requests: int = 20000
    request_deadline: float = 12.0
    seed: int = 0
    acked: dict[str, dict[str, float]] = field(default_factory=lambda: defaultdict(dict))
    forgotten: dict[str, set[str]] = field(default_factory=lambda: defaultdict(set))
    outcomes: Counter[str] = field(default_factory=Counter)
    served: list[tuple[float, str]] = field(default_factory=list)  # (time, graph) of each ok
    stop: asyncio.Event = field(default_factory=asyncio.Event)
    sent: int = 0

    async def client(self, c: int, graphs: list[str]) -> None:
        rng = random.Random(self.seed * 1000 + c)
        made = 0
        while not self.stop.is_set() and self.sent < self.max_requests:
            self.sent += 1
            graph = rng.choice(graphs)
            acked = self.acked[graph]
            if graph in self.forget_graphs and len(acked) > 5 and rng.random() < 0.08:
                ids = [rng.choice(list(acked))]
                for node_id in ids:  # from now on it may be gone
                    acked.pop(node_id, None)
                    self.forgotten[graph].add(node_id)
                request = {"op": "forget", "graph": graph, "ids": ids}
            else:
                size = 1 if rng.random() < 0.8 else rng.randint(2, 5)
                ids = [f"{graph}/c{c}-{made + j}" for j in range(size)]
                made += size
                request = {"op": "add", "graph": graph, "nodes": [node(i) for i in ids]}
            out = await self.router.call(graph, request,
                                         time.monotonic() + self.request_deadline)
            if out.answer is not None and out.answer["ok"]:
                self.outcomes[f"{request['op']} ok"] += 1
                self.served.append((out.served_at, graph))
                if request["op"] == "add":
                    for node_id in ids:
                        acked[node_id] = out.served_at
            else:
                error = out.answer["error"] if out.answer else "no answer"
                self.outcomes[f"{request['op']} {error}"] += 1

    async def run(self) -> None:
        """A client for each graph, so that every graph is asked for all along
        (a client waits for its answer, and those of a graph whose server or
        instance is away wait long), and `clients` more on any graph, so that
        calls on one graph overlap."""
        pinned = [self.client(c, [graph]) for c, graph in enumerate(self.graphs)]
        await asyncio.gather(*pinned, *(self.client(len(self.graphs) + c, self.graphs)
                                        for c in range(self.clients)))
