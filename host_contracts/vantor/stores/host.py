"""A host around a graph store: the search that names the neighbourhood, the
ingest in sessions, and the chain carried over a restart.

    graph = SqliteGraph("memories.db")
    host = StoreHost(graph, ApproximateSimilarityService(), config)
    host.add([node])          # stores the node, ingests it, remembers it as the last one

`NeighbourhoodSearch` passes `find_similar` through to the host's service and,
when it answers, names the new memory and the candidates to the graph
(`prefetch`): the graph then loads their edges in one statement at the next
call that needs them. `StoreHost` runs each call of the extension in a graph
session, so those calls are answered from the snapshot and the writes go in one
statement at the end. With `snapshot=False` it runs them without a session:
one statement per call.

A restart continues the chain: the id of the memory ingested last is stored
with the graph (`set_last_ingested`, in the same statement as the session's
writes), and the first memory added after the restart gets the chain edge
from it before its ingest, built as the extension builds it.
"""
from __future__ import annotations

import contextlib
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any

import vantor_lacet
from vantor.core.edge import (
    MemoryEdge,
    RelationshipMetadata,
    RelationshipType,
    share_edge_fields_set,
)
from vantor.core.graph import MemoryGraph
from vantor.stores.sql_graph import wait


class NeighbourhoodSearch:
    """The host's similarity service, telling the graph which nodes the ingest
    is about to ask about. Also passes `add`/`remove` on, so it can stand for the
    service as a graph listener."""

    def __init__(self, service: Any, graph: Any) -> None:
        self.service = service
        self.graph = graph

    def find_similar(self, node: Any, *args: Any, **kwargs: Any) -> Any:
        result = self.service.find_similar(node, *args, **kwargs)
        if not isinstance(result, list):
            result = list(result)
        self.graph.prefetch([node.id] + [candidate.id for candidate, _ in result])
        return result

    def add(self, node: Any) -> None:
        self.service.add(node)

    def remove(self, node_id: str) -> None:
        self.service.remove(node_id)


class CountingMemoryGraph(MemoryGraph):
    """The in-memory graph, counting the calls a store would answer with a
    statement each (`round_trips`), so that all stores report the same figure.
    `latency` seconds are slept at each: a graph server that keeps its graph in
    memory, and answers each call over a network. It has no snapshot."""

    def __init__(self, latency: float = 0.0) -> None:
        super().__init__()
        self.round_trips = 0
        self.latency = latency
        self.slept = 0.0
        self.spin = False
        self.calls: Counter[str] = Counter()  # round trips by call
        self._last: str | None = None

    def _count(self, name: str) -> None:
        self.round_trips += 1
        self.calls[name] += 1
        if self.latency:
            self.slept += wait(self.latency, self.spin)

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

    def set_last_ingested(self, node_id: str) -> None:
        self._last = node_id

    def last_ingested(self) -> str | None:
        return self._last

    def close(self) -> None:
        pass


def chain_edge(source_id: str, target_id: str) -> Any:
    """The temporal chain edge, built as the extension builds it."""
    rel = RelationshipMetadata(type=RelationshipType.TEMPORAL, subtype="auto_chain",
                               description="adjacent ingest order")
    return share_edge_fields_set(MemoryEdge(source_node=source_id, target_node=target_id,
                                            relationship=rel))


class StoreHost:
    """One graph, its search and its extension. `service` is the host's
    similarity service (fed by the graph as a listener)."""

    def __init__(self, graph: Any, service: Any, config: Any = None, snapshot: bool = True,
                 defer_writes: bool = True) -> None:
        self.graph = graph
        self.snapshot = snapshot
        self.defer_writes = defer_writes
        self.search = NeighbourhoodSearch(service, graph)
        graph.add_listener(self.search)
        self.ext = vantor_lacet.build_extension(self.search, graph, config)
        # Where the chain stopped before a restart; the extension starts afresh.
        self._resume_from = graph.last_ingested()

    @contextlib.contextmanager
    def _session(self) -> Iterator[None]:
        if self.snapshot:
            with self.graph.session(defer_writes=self.defer_writes):
                yield
        else:
            yield

    def add(self, nodes: list[Any]) -> Any:
        """Store the nodes and ingest them: one by one for one node, as a batch
        for more. Returns the extension's result."""
        with self._session():
            for node in nodes:
                self.graph.add_node(node)
            self._continue_chain(nodes)
            if len(nodes) == 1:
                result = self.ext.on_ingest(self.graph, nodes[0])
            else:
                result = self.ext.on_ingest_batch(self.graph, nodes)
            if nodes:
                self.graph.set_last_ingested(nodes[-1].id)
        return result

    def _continue_chain(self, nodes: list[Any]) -> None:
        last, self._resume_from = self._resume_from, None
        if (last is not None and nodes and self.ext.config.temporal_chain
                and last != nodes[0].id and self.graph.has_node(last)):
            self.graph.add_edge(chain_edge(last, nodes[0].id))

    def forget(self, node_ids: Iterable[str]) -> None:
        ids = list(node_ids)
        with self._session():
            for node_id in ids:
                self.graph.remove_node(node_id)
        self.ext.on_forget(ids)


@contextlib.contextmanager
def open_graph(store: str, latency: float = 0.0, name: str = "graph") -> Iterator[Any]:
    """A graph for `store`: "memory", "sqlite" (a file in a temporary folder),
    "sqlite:PATH", "postgresql" (a throwaway cluster) or "postgresql:CONNINFO".
    Closed (and the throwaway parts removed) at the end of the block."""
    kind, _, where = store.partition(":")
    if kind == "memory":
        yield CountingMemoryGraph(latency)
    elif kind == "sqlite":
        from vantor.stores.sqlite_graph import SqliteGraph
        with contextlib.ExitStack() as stack:
            if not where:
                import tempfile
                where = str(stack.enter_context(tempfile.TemporaryDirectory()) + "/graph.db")
            graph = stack.enter_context(SqliteGraph(where, latency=latency))
            yield graph
    elif kind == "postgresql":
        from vantor.stores.pg_cluster import ThrowawayCluster
        from vantor.stores.postgres_graph import PostgresGraph
        with contextlib.ExitStack() as stack:
            if not where:
                where = stack.enter_context(ThrowawayCluster()).conninfo
            yield stack.enter_context(PostgresGraph(where, graph=name, latency=latency))
    else:
        raise ValueError(f"unknown store {store!r}: memory, sqlite[:PATH] or postgresql[:CONNINFO]")
