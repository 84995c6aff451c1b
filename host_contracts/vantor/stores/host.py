"""A host around a graph store: the search that names the neighbourhood, the
ingest in sessions, and the chain carried over a restart.

    graph = SqliteGraph("memories.db")
    host = StoreHost(graph, ApproximateSimilarityService(), config)
    host.add([node])          # stores the node, ingests it, remembers it as the last one

`NeighbourhoodSearch` passes `find_similar` through to the host's service and,
when it answers, names the new memory and the candidates to the graph
(`prefetch`): the graph then loads their edges in one statement at the next
call that needs them. `StoreHost` runs each call in a graph transaction with a
snapshot, so the extension's calls are answered from the snapshot and the
writes (the memories, the edges added and removed, the id of the memory
ingested last) go in one statement at the end: three statements a memory (the
memory's and the previous memory's state, the neighbourhood, the writes). With
`snapshot=False` it runs them without a snapshot: one statement per graph call,
between BEGIN and COMMIT.

A call is stored whole or not at all. When it fails (the store failed, even
inside a batch, where the extension only logs a member's failure; or anything
else raised), the call raises and `StoreHost` brings the extension and the
search back in step with the store (`resync`): the memories of the call that
the store does not hold are forgotten by the extension (and taken out of the
search by the graph), and the extension's previous memory becomes the stored
last ingested id. If the store cannot answer then, the next call tries first.

A restart continues the chain the same way: the stored last ingested id
becomes the new extension's previous memory (`_last_id`).

Without a service, on a `PostgresGraph` that keeps vectors (`dimensions`), the
search runs in the database and every call goes in two phases with no I/O
inside the package's call (`two_phase`): one statement searches and loads the
neighbourhood, the package runs against that snapshot, one statement writes.
The extension then starts from light nodes (the ids of the stored memories
that have a vector, read in one statement) and holds light nodes only, and
the objects loaded are frozen out of the garbage collector's way
(`gc.freeze()`, with `freeze_gc`; again every 5,000 memories: `Freezer`).

A failed search is the package's to handle: it logs a WARNING and forms no
semantic edges. With `strict_search=True` the host records an exception from
the search during the call and fails the call once the package returns
(nothing is stored; `resync` as after any failure).
"""
from __future__ import annotations

import contextlib
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any

import vantor_lacet
from vantor.core.graph import MemoryGraph
from vantor.stores.rows import RowReader, wait
from vantor.stores.two_phase import (
    Freezer,
    IngestRound,
    LightNodes,
    RoundSearch,
    light_ids,
    settle,
    settled,
)


class NeighbourhoodSearch:
    """The host's similarity service, telling the graph which nodes the ingest
    is about to ask about. Also passes `add`/`remove` on, so it can stand for the
    service as a graph listener."""

    def __init__(self, service: Any, graph: Any) -> None:
        self.service = service
        self.graph = graph
        self.errors: list[Exception] = []  # what the service raised, until the host looks

    def find_similar(self, node: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            result = self.service.find_similar(node, *args, **kwargs)
        except Exception as exc:
            self.errors.append(exc)
            raise
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


class StoreHost:
    """One graph, its search and its extension. `service` is the host's
    similarity service (fed by the graph as a listener); None on a PostgreSQL
    graph that keeps vectors: the search runs there, in two phases (see the
    module's text; `exact` searches without the index)."""

    def __init__(self, graph: Any, service: Any = None, config: Any = None, snapshot: bool = True,
                 defer_writes: bool = True, strict_search: bool = False, exact: bool = False,
                 freeze_gc: bool = True) -> None:
        self.graph = graph
        self.snapshot = snapshot
        self.defer_writes = defer_writes
        self.strict_search = strict_search
        self.exact = exact
        self.two_phase = service is None
        ext: Any  # the host reads and sets `_last_id`
        if self.two_phase:
            if not getattr(graph, "dimensions", None):
                raise ValueError("StoreHost without a service needs a graph that keeps vectors "
                                 "(PostgresGraph with dimensions)")
            self.search: Any = RoundSearch()
            self._rows = RowReader()
            ids, last = light_ids(graph.statement(graph.stmts.light_nodes)[0])
            ext = vantor_lacet.build_extension(self.search, LightNodes(ids), config)
            del ids
            self._freezer = Freezer() if freeze_gc else None
            if self._freezer is not None:
                self._freezer.loaded()
        else:
            self.search = NeighbourhoodSearch(service, graph)
            graph.add_listener(self.search)
            ext = vantor_lacet.build_extension(self.search, graph, config)
            last = graph.last_ingested()
        # Where the chain stopped before a restart: the extension goes on from there.
        ext._last_id = last
        self.ext = ext
        # A failed call whose outcome the extension and the search do not match
        # yet: ("add", the nodes the graph took) or ("forget", the ids).
        self._unsettled: tuple[str, list[Any]] | None = None

    def add(self, nodes: Iterable[Any]) -> Any:
        """Store the nodes and ingest them, one by one for one node, as a batch for
        more, in one transaction. Returns the extension's result. Raises before
        anything is done for a node the store cannot keep (TypeError, ValueError),
        and raises whatever failed the call (see the module's text)."""
        nodes = list(nodes)
        if self.two_phase:
            return self._add_two_phase(nodes)
        for node in nodes:
            self.graph.check_node(node)
        self.resync()
        taken: list[Any] = []
        self.search.errors.clear()
        try:
            with self.graph.transaction(self.snapshot, self.defer_writes):
                # One load answers whether the ids are free and whether the chain's
                # previous memory is still there.
                self.graph.prefetch([n.id for n in nodes] + [self.ext._last_id])
                for node in nodes:
                    self.graph.add_node(node)
                    taken.append(node)
                if len(nodes) == 1:
                    result = self.ext.on_ingest(self.graph, nodes[0])
                else:
                    result = self.ext.on_ingest_batch(self.graph, nodes)
                if self.strict_search and self.search.errors:
                    raise self.search.errors[0]
                if nodes and self.ext._last_id is not None:
                    self.graph.set_last_ingested(self.ext._last_id)
        except BaseException:
            self._settle_later("add", taken)
            raise
        finally:
            self.search.errors.clear()
        return result

    def _add_two_phase(self, nodes: list[Any]) -> Any:
        self.resync()  # first: it may move the chain's end
        call = IngestRound(self.graph.stmts, self._rows, nodes, self.ext._last_id,
                           self.ext.config, exact=self.exact, strict_search=self.strict_search,
                           ef_search=self.graph.ef_search)
        started = False
        try:
            sql, params = call.plan()
            call.loaded(self.graph.statement(sql, params)[0])
            started = True  # from here on the extension may have taken the nodes
            result = call.run(self.ext, self.search)
            call.raise_failure()
            writes = call.writes()
            if writes is not None:
                self.graph.statement(*writes)
        except BaseException:
            if started:
                self._settle_later("add", call.nodes)
            raise
        if self._freezer is not None:
            self._freezer.added(len(nodes))
        return result

    def forget(self, node_ids: Iterable[str]) -> None:
        """Remove the memories and their edges in one transaction, then tell the extension."""
        ids = list(node_ids)
        self.resync()
        try:
            with self.graph.transaction(snapshot=False):
                for node_id in ids:
                    self.graph.remove_node(node_id)
        except BaseException:
            self._settle_later("forget", ids)
            raise
        self.ext.on_forget(ids)

    def _settle_later(self, kind: str, items: list[Any]) -> None:
        self._unsettled = (kind, items)
        try:
            self.resync()
        except Exception:  # noqa: S110 - the call's own error is on its way; retried later
            pass

    def resync(self) -> None:
        """After a failed call, bring the extension and the search back in step with
        what the store holds (nothing to do otherwise). Two statements (one in two
        phases); raises, and stays to be done, while the store cannot answer."""
        if self._unsettled is None:
            return
        kind, items = self._unsettled
        ids = [node.id for node in items] if kind == "add" else items
        if self.two_phase:  # the search is the store's own: only the extension to settle
            held, last = settled(self.graph.statement(
                self.graph.stmts.settle, {"ids": [i for i in ids if type(i) is str]})[0])
            settle(self.ext, ids, held, last)
            self._unsettled = None
            return
        held = self.graph.held(ids)
        last = self.graph.last_ingested()
        if kind == "add":
            for node in items:
                if node.id in held:  # stored after all (a COMMIT whose answer was lost)
                    self.search.add(node)
            self.ext.on_forget([node_id for node_id in ids if node_id not in held])
        else:
            gone = [node_id for node_id in ids if node_id not in held]
            for node_id in gone:  # removed after all
                self.search.remove(node_id)
            self.ext.on_forget(gone)
        self.ext._last_id = last
        self._unsettled = None


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
