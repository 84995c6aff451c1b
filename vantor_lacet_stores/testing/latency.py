"""A stand-in for a network in benchmarks and tests: a graph that waits before
each statement.

    graph = with_latency(SqliteGraph(path), 0.0005)
    latency_of(graph).slept   # the seconds it waited (a sleep overshoots)
"""
from __future__ import annotations

import time
from typing import Any


def wait(seconds: float, spin: bool) -> float:
    """Wait `seconds`: sleep, or spin when a sleep's wake-up is too late to be
    worth measuring. Returns the time waited."""
    t0 = time.perf_counter()
    if spin:
        deadline = t0 + seconds
        while time.perf_counter() < deadline:
            pass
    else:
        time.sleep(seconds)
    return time.perf_counter() - t0


class Latency:
    """Called before each statement: waits `seconds` (none when 0), in a busy loop
    with `spin` (exact, but holds a core), and adds the time to `slept`."""

    def __init__(self, seconds: float = 0.0, spin: bool = False) -> None:
        self.seconds, self.spin, self.slept = seconds, spin, 0.0

    def __call__(self) -> None:
        if self.seconds:
            self.slept += wait(self.seconds, self.spin)


def with_latency(graph: Any, seconds: float = 0.0, spin: bool = False) -> Any:
    """`graph`, waiting `seconds` before each of its statements from now on."""
    graph.before_statement = Latency(seconds, spin)
    return graph


def latency_of(graph: Any) -> Latency:
    """The graph's `Latency` (one that waits nothing is installed if it has none)."""
    latency = getattr(graph, "before_statement", None)
    if not isinstance(latency, Latency):
        latency = with_latency(graph).before_statement
    assert isinstance(latency, Latency)
    return latency
