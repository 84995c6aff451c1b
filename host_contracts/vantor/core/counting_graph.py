"""The in-memory graph counting the calls a store would answer with a statement
each, for tests and benchmarks that set it beside the stores."""
from __future__ import annotations

import contextlib
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any

from vantor.core.graph import MemoryGraph
from vantor_lacet_stores.testing.latency import Latency


class CountingMemoryGraph(MemoryGraph):
    """The in-memory graph, counting the calls a store would answer with a
    statement each (`round_trips`), so that all stores report the same figure.
    `latency` seconds are waited at each (`testing.latency`): a graph server that
    keeps its graph in memory, and answers each call over a network. It has no
    snapshot."""

    def __init__(self, latency: float = 0.0) -> None:
        super().__init__()
        self.round_trips = 0
        self.before_statement: Any = Latency(latency)
        self.calls: Counter[str] = Counter()  # round trips by call
        self._last: str | None = None

    def _count(self, name: str) -> None:
        self.round_trips += 1
        self.calls[name] += 1
        if self.before_statement is not None:
            self.before_statement()

    def add_node(self, node: Any) -> None:
        self._count("add_node")
        super().add_node(node)

    def has_node(self, node_id: str) -> bool:
        self._count("has_node")
        return super().has_node(node_id)

    def add_edge(self, edge: Any) -> None:
        self._count("add_edge")
        super().add_edge(edge)

    def get_edge_between(self, a_id: str, b_id: str) -> Any:
        self._count("get_edge_between")
        return super().get_edge_between(a_id, b_id)

    def get_edges_for_node(self, node_id: str) -> list[Any]:
        self._count("get_edges_for_node")
        return super().get_edges_for_node(node_id)

    def remove_edge(self, edge_id: str) -> None:
        self._count("remove_edge")
        super().remove_edge(edge_id)

    def prefetch(self, node_ids: Iterable[str]) -> None:
        pass

    @contextlib.contextmanager
    def session(self, defer_writes: bool = True) -> Iterator[CountingMemoryGraph]:
        yield self

    @contextlib.contextmanager
    def transaction(self, snapshot: bool = True,
                    defer_writes: bool = True) -> Iterator[CountingMemoryGraph]:
        """No transaction: this graph is not a store, and keeps what a failed call
        did, as the extension's own graph would."""
        yield self

    def check_node(self, node: Any) -> None:
        pass

    def held(self, node_ids: Iterable[str]) -> set[str]:
        return {node_id for node_id in node_ids if super().has_node(node_id)}

    def set_last_ingested(self, node_id: str) -> None:
        self._last = node_id

    def last_ingested(self) -> str | None:
        return self._last

    def close(self) -> None:
        pass
