"""One call of the extension in two phases, with no I/O inside the package's
call: the decisions of a host whose vectors are searched in PostgreSQL, with
the I/O left to the caller, so that the sync `StoreHost` and the asyncio
`AsyncStoreHost` share every rule.

    round = IngestRound(stmts, reader, nodes, ext._last_id, ext.config)
    sql, params = round.plan()              # phase 1: one statement
    round.loaded(cursor_row)                # the search and the neighbourhood;
                                            # ValueError for an id already stored
    result = round.run(ext, search)         # phase 2: the package, no I/O
    sql, params = round.writes()            # phase 3: one statement
    round.raise_failure()                   # before sending it

1. The first statement runs the similarity search of every member (pgvector's
   HNSW index on cosine distance, among the graph's stored memories, which are
   the extension's candidates) and loads the neighbourhood: whether the
   previous memory, the members and every hit exist, and all their edges in
   the order they were added. The members' similarities to each other come
   from the same statement: a batch's members are candidates before its first
   search.
2. The package runs against `SnapshotGraph`, which answers from that snapshot
   and queues the writes, and a search that replays the first statement's
   answers for the arguments the package passes (`top_k`, `threshold`,
   `exclude_self`, the excluded ids, the live `candidate_ids` and
   `node_lookup`). A graph call or a search that would need anything outside
   the snapshot raises `SnapshotMiss`: the host loaded too little, which is a
   bug, and nothing is fetched behind its back.
3. One statement writes the memories, the edges added and removed, and the
   id of the memory ingested last.

The call fails (`raise_failure`, before the writes are sent, so nothing is
stored) when a `SnapshotMiss` was met, even one the package caught (a batch
member's failure, a failed search), and with `strict_search` when the search
raised anything.

What the first statement finds is exact for the search as pgvector answers it:
with `top_k` the `top_k` nearest by the index (approximate, as HNSW is; its
breadth is `hnsw.ef_search`, which must be at least `top_k`), without it
(`top_k` None or not positive) every stored memory at or above the threshold,
by a scan of them all.
"""
from __future__ import annotations

import gc
import json
from collections.abc import Iterable
from typing import Any

from vantor_lacet_stores.statements.pg_graph import PgStatements, apply_params, pg_node_row, vectors_param
from vantor_lacet_stores.protocol.rows import RowReader, check_edge
from vantor_lacet_stores.errors import AlreadyStored, SnapshotMiss
from vantor_lacet_stores.protocol.snapshot import Snapshot


class VectorInStore:
    """The `content_embedding` of a light node: the vector is in the store, and
    the search runs there, so the process keeps none."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<vector in the store>"


IN_STORE = VectorInStore()


class LightNode:
    """A stored memory as the extension's candidate index holds it: its id and the
    mark that it has a vector. About 100 bytes with its id, and no dict."""

    __slots__ = ("id", "content_embedding")

    def __init__(self, node_id: str, content_embedding: Any = IN_STORE) -> None:
        self.id = node_id
        self.content_embedding = content_embedding

    def __repr__(self) -> str:
        return f"LightNode({self.id!r})"


class LightNodes:
    """What `build_extension` is given as its graph: the stored memories that have
    a vector, as light nodes (`all_nodes`). Nothing else is asked of it."""

    def __init__(self, ids: Iterable[str]) -> None:
        self.nodes = [LightNode(node_id) for node_id in ids]

    def all_nodes(self) -> list[LightNode]:
        return self.nodes


def _limit(top_k: Any) -> int | None:
    """`top_k` as the reference searches read it: None or not positive is no limit."""
    return top_k if top_k is not None and top_k > 0 else None


class SnapshotGraph:
    """The graph the package sees during phase 2: every answer from the snapshot,
    every write queued. A call outside it raises `SnapshotMiss` (and is recorded)."""

    def __init__(self, snapshot: Snapshot) -> None:
        self.snapshot = snapshot
        self.misses: list[SnapshotMiss] = []

    def _miss(self, exc: SnapshotMiss) -> SnapshotMiss:
        self.misses.append(exc)
        return exc

    def has_node(self, node_id: Any) -> bool:
        if type(node_id) is not str:
            return False
        try:
            return self.snapshot.exists(node_id)
        except SnapshotMiss as exc:
            raise self._miss(exc) from None

    def add_edge(self, edge: Any) -> None:
        check_edge(edge)
        try:
            self.snapshot.check_new_edge(edge)
        except SnapshotMiss as exc:
            raise self._miss(exc) from None
        self.snapshot.edge_added(edge, queue=True)

    def get_edge_between(self, a_id: Any, b_id: Any) -> Any:
        if type(a_id) is not str or type(b_id) is not str:
            return None
        try:
            return self.snapshot.edge_between(a_id, b_id)
        except SnapshotMiss as exc:
            raise self._miss(exc) from None

    def get_edges_for_node(self, node_id: Any) -> list[Any]:
        if type(node_id) is not str:
            return []
        try:
            return list(self.snapshot.edges_at(node_id).values())
        except SnapshotMiss as exc:
            raise self._miss(exc) from None

    def remove_edge(self, edge_id: Any) -> None:
        if self.snapshot.edge_removed(edge_id, queue=True) == "unknown":
            raise self._miss(SnapshotMiss(f"edge {edge_id!r} is not in the call's snapshot"))

    def all_nodes(self) -> list[Any]:
        raise self._miss(SnapshotMiss("all_nodes during a two-phase call"))


class RoundSearch:
    """The similarity service an extension of a two-phase host is built with: it
    replays the search of the call in progress (`round`)."""

    def __init__(self) -> None:
        self.round: IngestRound | None = None

    def find_similar(self, node: Any, exclude: Any = None, top_k: Any = 10,
                     threshold: Any = None, exclude_self: bool = True,
                     candidate_ids: Any = None, node_lookup: Any = None) -> list[tuple[Any, float]]:
        current = self.round
        if current is None:
            raise SnapshotMiss("a search outside a two-phase call")
        try:
            return current.replay(node, exclude, top_k, threshold, exclude_self,
                                  candidate_ids, node_lookup)
        except Exception as exc:
            current.search_errors.append(exc)
            raise


class IngestRound:
    """One `add` call of a two-phase host; see the module's text. `nodes` are
    checked here (TypeError or ValueError before anything is sent). `exact`:
    search every stored memory, without the index (the search of the tests that
    compare against a search run live). `ef_search`: the connection's
    `hnsw.ef_search`."""

    def __init__(self, stmts: PgStatements, reader: RowReader, nodes: list[Any],
                 previous: str | None, config: Any, exact: bool = False,
                 strict_search: bool = False, ef_search: int = 100) -> None:
        if not stmts.dimensions:
            raise ValueError(f"graph {stmts.graph!r} keeps no vectors: give it dimensions")
        self.stmts = stmts
        self.rows = [pg_node_row(node, stmts.dimensions) for node in nodes]
        # What the package is handed: light nodes, so that its candidate index keeps
        # no texts or vectors alive (they are in the store, and searched there).
        self.nodes = [LightNode(row[0], None if row[2] is None else IN_STORE) for row in self.rows]
        self._planned = {row[0] for row in self.rows if row[2] is not None}
        self.previous = previous
        self.strict_search = strict_search
        self.snapshot = Snapshot(reader)
        self.graph = SnapshotGraph(self.snapshot)
        self.search_errors: list[BaseException] = []
        self.top_k = config.max_semantic_edges_per_node
        self.threshold = config.similarity_threshold
        # The index returns at most ef_search rows: a larger top_k, or none, is
        # answered by the exact search.
        limit = _limit(self.top_k)
        self.exact = exact or limit is None or limit > ef_search
        self._hits: dict[str, list[tuple[str, float]]] = {}
        self._pairs: dict[str, list[tuple[str, float]]] = {}

    # -- phase 1 -----------------------------------------------------------------

    def plan(self, lease: dict[str, Any] | None = None) -> tuple[str, dict[str, Any]]:
        """The first statement. `lease`: the holder and token (see `ownership`) whose
        hold on the graph the statement reads too (`lease_held`)."""
        names = [row[0] for row in self.rows]
        if self.previous is not None:
            names.append(self.previous)
        threshold = self.threshold
        if self.exact and threshold is not None:
            threshold = float(threshold)
        params = {"vecs": vectors_param([row[4] for row in self.rows]), "names": names,
                  "k": _limit(self.top_k), "threshold": threshold,
                  "holder": None, "token": None, **(lease or {})}
        return (self.stmts.plan_exact if self.exact else self.stmts.plan_approximate), params

    def loaded(self, row: tuple[Any, ...]) -> None:
        """Take in the answer of the first statement."""
        hits, pairs, present, edges = (json.loads(value) for value in row[:4])
        self.lease_held = bool(row[4])
        ids = [r[0] for r in self.rows]
        for ord_, node_id, sim in hits:
            self._hits.setdefault(ids[ord_ - 1], []).append((node_id, sim))
        for ord_, other, sim in pairs:
            self._pairs.setdefault(ids[ord_ - 1], []).append((ids[other - 1], sim))
        loaded = set(ids)
        loaded.update(node_id for found in self._hits.values() for node_id, _ in found)
        if self.previous is not None:
            loaded.add(self.previous)
        self.snapshot.fill(loaded, set(present), edges)
        # The members join the snapshot, queued; an id the graph has (or the call
        # has twice) is refused here, before the extension is touched.
        for row in self.rows:
            if self.snapshot.exists(row[0]):
                raise AlreadyStored(row[0])
            self.snapshot.node_added(row[0], row)

    # -- phase 2 -----------------------------------------------------------------

    def replay(self, node: Any, exclude: Any, top_k: Any, threshold: Any, exclude_self: bool,
               candidate_ids: Any, node_lookup: Any) -> list[tuple[Any, float]]:
        node_id = node.id
        if type(node_id) is not str or node_id not in self._planned:
            raise SnapshotMiss(f"no search of node {node_id!r} was made before the call")
        stored = self._hits.get(node_id, [])
        planned = _limit(self.top_k)
        limit = _limit(top_k)
        full = planned is not None and len(stored) >= planned
        if full and (limit is None or limit > planned):
            raise SnapshotMiss(f"the search of node {node_id!r} was made for top_k={planned}, "
                               f"not {top_k}")
        if self.exact and self.threshold is not None and (
                threshold is None or threshold < self.threshold):
            raise SnapshotMiss(f"the search of node {node_id!r} was made for "
                               f"threshold={self.threshold}, not {threshold}")
        skip = set(exclude or ())
        if exclude_self:
            skip.add(node_id)
        picked: list[tuple[Any, float]] = []
        for origin, found in ((0, stored), (1, self._pairs.get(node_id, []))):
            for other, sim in found:
                if other in skip:
                    continue
                if other not in candidate_ids or other not in node_lookup:
                    if origin == 0 and full:
                        # the next nearest stored memory may have been the answer
                        raise SnapshotMiss(f"hit {other!r} of node {node_id!r} is not a "
                                           "candidate of the extension")
                    continue
                if threshold is not None and not sim >= threshold:  # NaN never passes
                    continue
                picked.append((node_lookup[other], sim))
        picked.sort(key=lambda pair: -pair[1])  # stable: stored hits first among equals
        return picked[:limit] if limit is not None else picked

    def run(self, ext: Any, search: RoundSearch) -> Any:
        """Phase 2: the package's call, then the last ingested id (queued). Raises
        what the package raised."""
        search.round = self
        try:
            if len(self.nodes) == 1:
                result = ext.on_ingest(self.graph, self.nodes[0])
            else:
                result = ext.on_ingest_batch(self.graph, self.nodes)
        finally:
            search.round = None
        if self.nodes and ext._last_id is not None:
            self.snapshot.last = ext._last_id
        return result

    def raise_failure(self) -> None:
        """Fail the call when it met a snapshot miss, or (with `strict_search`) a
        failed search, even where the package caught it."""
        for exc in self.graph.misses + [e for e in self.search_errors
                                         if isinstance(e, SnapshotMiss)]:
            raise exc
        if self.strict_search and self.search_errors:
            raise self.search_errors[0]

    # -- phase 3 -----------------------------------------------------------------

    def writes(self, lease: dict[str, Any] | None = None) -> tuple[str, dict[str, Any]] | None:
        """The third statement (None: nothing to write). `lease`: the holder and token
        the write is fenced by (see `ownership`); its last column is then the
        graph's write counter, null where the lease was lost."""
        if not self.snapshot.queued():
            return None
        removes, adds, last, nodes = self.snapshot.take()
        params = apply_params(self.stmts, removes, adds, last, nodes)
        if lease is None:
            return self.stmts.apply, params
        return self.stmts.apply_fenced, {**params, **lease}


def settled(row: tuple[Any, ...]) -> tuple[set[str], str | None]:
    """The answer of `stmts.settle`: the ids held, and the last ingested id."""
    return set(json.loads(row[0])), row[1]


def light_ids(row: tuple[Any, ...]) -> tuple[list[str], str | None]:
    """The answer of `stmts.light_nodes`: the candidates' ids, and the last id."""
    return json.loads(row[0]), row[1]



class Freezer:
    """Keeps what a host loaded, and what it goes on adding, out of the garbage
    collector's way: `gc.freeze()` once loaded, and again after every `every`
    memories, each time after a young collection (so that cyclic garbage of the
    last calls is collected, not frozen for good). A full collection then walks
    only what was made since the last freeze."""

    def __init__(self, every: int | None = 5000) -> None:
        self.every = every
        self._since = 0

    def loaded(self) -> None:
        gc.collect(1)
        gc.freeze()
        self._since = 0

    def added(self, count: int) -> None:
        self._since += count
        if self.every is not None and self._since >= self.every:
            self.loaded()


def settle(ext: Any, ids: Iterable[Any], held: set[str], last: str | None) -> None:
    """After a failed call on the memories `ids` (added or forgotten): the extension
    forgets those the store does not hold and goes on from the stored last id."""
    ext.on_forget([node_id for node_id in ids if node_id not in held])
    ext._last_id = last
