"""A host around a graph store: the search that names the neighbourhood, the
ingest in sessions, and the chain carried over a restart.

    graph = SqliteGraph("memories.db")
    host = GraphStoreHost(graph, ApproximateSimilarityService(), config)
    host.add([node])          # stores the node, ingests it, remembers it as the last one

`NeighbourhoodSearch` passes `find_similar` through to the host's service and,
when it answers, names the new memory and the candidates to the graph
(`prefetch`): the graph then loads their edges in one statement at the next
call that needs them. `GraphStoreHost` runs each call in a graph transaction with a
snapshot, so the extension's calls are answered from the snapshot and the
writes (the memories, the edges added and removed, the id of the memory
ingested last) go in one statement at the end: three statements a memory (the
memory's and the previous memory's state, the neighbourhood, the writes). With
`snapshot=False` it runs them without a snapshot: one statement per graph call,
between BEGIN and COMMIT.

A call is stored whole or not at all. When it fails (the store failed, even
inside a batch, where the extension only logs a member's failure; or anything
else raised), the call raises and `GraphStoreHost` brings the extension and the
search back in step with the store (`recover`): the memories of the call that
the store does not hold are forgotten by the extension (and taken out of the
search by the graph), and the extension's previous memory becomes the stored
last ingested id. If the store cannot answer then, the next call tries first.

A restart continues the chain the same way: the stored last ingested id
becomes the new extension's previous memory (`_last_id`).

A failed search is the package's to handle: it logs a WARNING and forms no
semantic edges. With `strict_search=True` the host records an exception from
the search during the call and fails the call once the package returns
(nothing is stored; `recover` as after any failure).
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import vantor_lacet


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


class GraphStoreHost:
    """One graph, its search and its extension: `service` is the host's similarity
    service (fed by the graph as a listener). For a graph in PostgreSQL whose
    vectors are searched there, use `StoreHost` or `AsyncStoreHost` instead."""

    def __init__(self, graph: Any, service: Any, config: Any = None, snapshot: bool = True,
                 defer_writes: bool = True, strict_search: bool = False) -> None:
        if service is None:
            raise TypeError("GraphStoreHost needs the host's similarity service; a graph "
                            "searched in PostgreSQL is served by StoreHost or AsyncStoreHost")
        self.graph = graph
        self.snapshot = snapshot
        self.defer_writes = defer_writes
        self.strict_search = strict_search
        self.search = NeighbourhoodSearch(service, graph)
        graph.add_listener(self.search)
        ext: Any = vantor_lacet.build_extension(self.search, graph, config)  # `_last_id` is set
        # Where the chain stopped before a restart: the extension goes on from there.
        ext._last_id = graph.last_ingested()
        self.ext = ext
        # A failed call whose outcome the extension and the search do not match
        # yet: ("add", the nodes the graph took) or ("forget", the ids).
        self._unrecovered: tuple[str, list[Any]] | None = None

    def add(self, nodes: Iterable[Any]) -> Any:
        """Store the nodes and ingest them, one by one for one node, as a batch for
        more, in one transaction. Returns the extension's result. Raises before
        anything is done for a node the store cannot keep (`MemoryRefused`), and
        raises whatever failed the call (see the module's text)."""
        nodes = list(nodes)
        for node in nodes:
            self.graph.check_node(node)
        self.recover()
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
            self._recover_later("add", taken)
            raise
        finally:
            self.search.errors.clear()
        return result

    def forget(self, node_ids: Iterable[str]) -> None:
        """Remove the memories and their edges in one transaction, then tell the extension."""
        ids = list(node_ids)
        self.recover()
        try:
            with self.graph.transaction(snapshot=False):
                for node_id in ids:
                    self.graph.remove_node(node_id)
        except BaseException:
            self._recover_later("forget", ids)
            raise
        self.ext.on_forget(ids)

    def _recover_later(self, kind: str, items: list[Any]) -> None:
        self._unrecovered = (kind, items)
        try:
            self.recover()
        except Exception:  # noqa: S110 - the call's own error is on its way; retried later
            pass

    def recover(self) -> None:
        """After a failed call, bring the extension and the search back in step with
        what the store holds (nothing to do otherwise). Two statements; raises, and
        stays to be done, while the store cannot answer."""
        if self._unrecovered is None:
            return
        kind, items = self._unrecovered
        ids = [node.id for node in items] if kind == "add" else items
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
        self._unrecovered = None
