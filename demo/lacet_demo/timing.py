"""Timing wrappers around the host's calls, and the clock they read.

The wrappers pass every call through unchanged; each adds the wall-clock time
of the calls it sees to its own total."""
from __future__ import annotations

import time
from typing import Any


class GcTimer:
    """Wall-clock seconds spent in the cyclic garbage collector (a gc callback)."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self._t0 = 0.0

    def __call__(self, phase: str, info: dict) -> None:
        if phase == "start":
            self._t0 = time.perf_counter()
        else:
            self.seconds += time.perf_counter() - self._t0


GC = GcTimer()


def clock() -> float:
    """Wall-clock seconds, less the collector's: a collection runs inside whatever
    call allocates, and scans the whole heap, so it is timed as a part of its own."""
    return time.perf_counter() - GC.seconds


class TimedService:
    """Passes every call through to the host's similarity service, timing the
    searches (find_similar) and the index upkeep (add, remove) apart."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.seconds = 0.0        # in find_similar
        self.calls = 0
        self.index_seconds = 0.0  # in add and remove
        self.hits = 0             # pairs returned

    def find_similar(self, *args: Any, **kwargs: Any) -> Any:
        t0 = clock()
        try:
            result = self.inner.find_similar(*args, **kwargs)
            self.hits += len(result)
            return result
        finally:
            self.seconds += clock() - t0
            self.calls += 1

    def add(self, node: Any) -> None:
        self._upkeep(self.inner.add, node)

    def remove(self, node_id: str) -> None:
        self._upkeep(self.inner.remove, node_id)

    def _upkeep(self, method: Any, argument: Any) -> None:
        t0 = clock()
        try:
            method(argument)
        finally:
            self.index_seconds += clock() - t0


def _timed(name: str) -> Any:
    def call(self: TimedGraph, *args: Any, **kwargs: Any) -> Any:
        t0 = clock()
        try:
            return getattr(self.inner, name)(*args, **kwargs)
        finally:
            self.seconds += clock() - t0
            self.calls += 1
    call.__name__ = call.__qualname__ = name
    return call


class TimedGraph:
    """Passes every call through to the host's graph, timing add_node and the
    calls the extension makes on it; everything else is passed through untimed.

    add_node includes the similarity service's index upkeep (the graph tells the
    service of each node it stores); the stream takes that back out."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.seconds = 0.0
        self.calls = 0

    add_node = _timed("add_node")
    has_node = _timed("has_node")
    add_edge = _timed("add_edge")
    get_edge_between = _timed("get_edge_between")
    get_edges_for_node = _timed("get_edges_for_node")
    remove_edge = _timed("remove_edge")

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)
