"""One `add` call of a host whose vectors are searched in PostgreSQL, as a state
machine with no I/O: the decisions, with the statements left to the caller
(`calls.add` drives it for both hosts). Each step may be taken only after the
one before it, once; a step out of order raises `StepOutOfOrder`.

    round = IngestRound(stmts, reader, nodes, ext._last_id, ext.config)
    sql, params = round.plan(lease)         # 1. the first statement
    round.loaded(first_row)                 # 2. its answer: AlreadyStored for a
                                            #    stored id, `lease_held`
    result = round.run(ext, search)         # 3. the package, no I/O
    writes = round.writes(lease)            # 4. the write statement (None: none);
                                            #    raises what failed the call first
    number = round.written(write_row)       # 5. its answer: the write number,
                                            #    GraphLost where the lease was lost

1. The first statement runs the similarity search of every member (pgvector's
   HNSW index on cosine distance, among the graph's stored memories, which are
   the extension's candidates) and loads the neighbourhood: whether the
   previous memory, the members and every hit exist, and all their edges in
   the order they were added. The members' nearest other members come from
   the same statement (a batch's members are candidates before its first
   search), as many a member as the search's `top_k`: n * top_k pairs for a
   batch of n, never all n * (n - 1).
2. The package runs against `SnapshotGraph`, which answers from that snapshot
   and queues the writes, and a search that replays the first statement's
   answers for the arguments the package passes (`top_k`, `threshold`,
   `exclude_self`, the excluded ids, the live `candidate_ids` and
   `node_lookup`). A graph call or a search that would need anything outside
   the snapshot raises `SnapshotMiss`: the host loaded too little, which is a
   bug, and nothing is fetched behind its back.
3. One statement writes the memories, the edges added and removed, and the
   id of the memory ingested last.

The call fails (in `writes`, before the writes are sent, so nothing is
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

from typing import Any

from vantor.core.edge import RelationshipType
from vantor_lacet_stores.statements.columns import SEMANTIC
from vantor_lacet_stores.statements.pg_graph import PgStatements
from vantor_lacet_stores.protocol.light_nodes import IN_STORE, LightNode
from vantor_lacet_stores.protocol.rows import (
    RowReader,
    apply_params,
    check_edge,
    pg_node_row,
)
from vantor_lacet_stores.errors import (
    AlreadyStored,
    BatchTooLarge,
    GraphLost,
    SnapshotMiss,
    StepOutOfOrder,
)
from vantor_lacet_stores.protocol.snapshot import Snapshot


def _limit(top_k: Any) -> int | None:
    """`top_k` as the reference searches read it: None or not positive is no limit."""
    return top_k if top_k is not None and top_k > 0 else None


class SnapshotGraph:
    """The graph the package sees during phase 2: every answer from the snapshot,
    every write queued. A call outside it raises `SnapshotMiss` (and is recorded)."""

    def __init__(self, snapshot: Snapshot) -> None:
        self.snapshot = snapshot
        self.misses: list[SnapshotMiss] = []
        self._unloaded_relationship = _UnloadedRelationship(self)

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
            edges = list(self.snapshot.edges_at(node_id).values())
        except SnapshotMiss as exc:
            raise self._miss(exc) from None
        unloaded = self.snapshot.partial.get(node_id)
        if unloaded:  # stored semantic edges counted, not loaded: they come first
            return [UnloadedEdge(self, edge_id) for edge_id in unloaded] + edges
        return edges

    def remove_edge(self, edge_id: Any) -> None:
        if self.snapshot.edge_removed(edge_id, queue=True) == "unknown":
            raise self._miss(SnapshotMiss(f"edge {edge_id!r} is not in the call's snapshot"))

    def all_nodes(self) -> list[Any]:
        raise self._miss(SnapshotMiss("all_nodes during a two-phase call"))


class _UnloadedRelationship:
    __slots__ = ("_graph", "type")

    def __init__(self, graph: SnapshotGraph) -> None:
        self._graph = graph
        self.type = RelationshipType.SEMANTIC

    def __getattr__(self, name: str) -> Any:
        raise self._graph._miss(SnapshotMiss(
            f"the {name} of a stored semantic edge that was counted, not loaded"))


class UnloadedEdge:
    """A stored semantic edge of a hit whose edges were only counted: its id and
    its type are all it has. The package reads no more of an edge it only counts
    towards the cap; anything more raises `SnapshotMiss` (recorded, so the call
    fails)."""

    __slots__ = ("_graph", "id", "relationship")

    def __init__(self, graph: SnapshotGraph, edge_id: str) -> None:
        self._graph = graph
        self.id = edge_id
        self.relationship = graph._unloaded_relationship

    def __getattr__(self, name: str) -> Any:
        raise self._graph._miss(SnapshotMiss(
            f"the {name} of a stored semantic edge that was counted, not loaded"))


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


def _other_members(call: IngestRound, node_id: str) -> int:
    """How many members of `call` other than `node_id` have a searchable vector
    (a zero vector is not searched): a member's pair list that holds them all is
    whole, however long. Counted once a call."""
    searchable = call.__dict__.get("_searchable")
    if searchable is None:
        searchable = call.__dict__["_searchable"] = {
            row[0] for row in call.rows if row[-1] is not None}
    return len(searchable) - (node_id in searchable)


def _take_pairs(pairs: list[tuple[str, float]], skip: set[Any], threshold: Any,
                candidate_ids: Any, node_lookup: Any, picked: list[tuple[Any, float]]) -> int:
    """Append to `picked` the members of `pairs` the search may answer: not
    skipped, candidates, at or above the threshold. Returns how many."""
    count = 0
    for other, sim in pairs:
        if other in skip or other not in candidate_ids or other not in node_lookup:
            continue
        if threshold is not None and not sim >= threshold:  # NaN never passes
            continue
        picked.append((node_lookup[other], sim))
        count += 1
    return count


class IngestRound:
    """One `add` call of a two-phase host; see the module's text. `nodes` are
    checked here (TypeError or ValueError before anything is sent). `exact`:
    search every stored memory, without the index (the search of the tests that
    compare against a search run live). `ef_search`: the connection's
    `hnsw.ef_search`."""

    def __init__(self, stmts: PgStatements, reader: RowReader, nodes: list[Any],
                 previous: str | None, config: Any, exact: bool = False,
                 strict_search: bool = False, ef_search: int = 100,
                 max_batch: int | None = None) -> None:
        if max_batch is not None and len(nodes) > max_batch:
            raise BatchTooLarge(len(nodes), max_batch)
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
        self._lease_held: bool | None = None
        self._step = "new"

    _ORDER = {"plan": "new", "loaded": "planned", "run": "loaded", "writes": "ran",
              "written": "writing"}
    _AFTER = {"plan": "planned", "loaded": "loaded", "run": "ran", "writes": "writing",
              "written": "done"}

    def _enter(self, step: str) -> None:
        """Take `step` now, or raise StepOutOfOrder. A step that raises leaves the
        round failed: nothing after it may be taken."""
        if self._step != self._ORDER[step]:
            raise StepOutOfOrder(f"{step}() of an ingest round whose last step was "
                                 f"{self._step!r}: the steps are plan, loaded, run, "
                                 "writes, written, each once")
        self._step = "failed"

    @property
    def step(self) -> str:
        """The last step taken: new, planned, loaded, ran, writing, done or failed."""
        return self._step

    @property
    def lease_held(self) -> bool:
        """Whether the first statement found the lease it was planned with still held
        (True without a lease). Known once `loaded` has run."""
        if self._lease_held is None:
            raise StepOutOfOrder("lease_held is known once loaded() has taken the answer")
        return self._lease_held

    # -- phase 1 -----------------------------------------------------------------

    def plan(self, lease: dict[str, Any] | None = None) -> tuple[str, dict[str, Any]]:
        """The first statement. `lease`: the holder and token (see `statements.owner`) whose
        hold on the graph the statement reads too (`lease_held`)."""
        self._enter("plan")
        names = [row[0] for row in self.rows]
        if self.previous is not None:
            names.append(self.previous)
        threshold = self.threshold
        if self.exact and threshold is not None:
            threshold = float(threshold)
        cap = self.top_k  # the package's cap: what the answer may leave out depends on it
        params = {"vecs": [row[4] for row in self.rows], "names": names,
                  "k": _limit(self.top_k), "threshold": threshold,
                  "cap": cap if type(cap) is int else 1,
                  "holder": None, "token": None, **(lease or {})}
        self._lease = lease
        self._step = "planned"
        return (self.stmts.plan_exact if self.exact else self.stmts.plan_approximate), params

    def loaded(self, row: tuple[Any, ...]) -> None:
        """Take in the answer of the first statement (`PLAN_COLUMNS`). AlreadyStored
        for a member the graph holds (or the call holds twice)."""
        self._enter("loaded")
        (hit_ords, hit_ids, hit_sims, pair_ords, pair_others, pair_sims, present,
         counted_hits, counted_edges, *edge_columns, lease_held) = (
            () if value is None else value for value in row)
        self._lease_held = self._lease is None or bool(lease_held)
        ids = [r[0] for r in self.rows]
        hits = self._hits
        for ord_, node_id, sim in zip(hit_ords, hit_ids, hit_sims):
            found = hits.get(ids[ord_ - 1])
            if found is None:
                found = hits[ids[ord_ - 1]] = []
            found.append((node_id, sim))
        for ord_, other, sim in zip(pair_ords, pair_others, pair_sims):
            self._pairs.setdefault(ids[ord_ - 1], []).append((ids[other - 1], sim))
        snapshot = self.snapshot
        # Of the previous memory only whether it exists (unless it is a hit too);
        # of a hit its semantic edges, or only how many it has (see `_plan`).
        loaded = set(ids)
        if self.previous is not None:
            loaded.add(self.previous)
            snapshot.partial[self.previous] = None
        loaded.update(hit_ids)
        partial = snapshot.partial
        partial.update(dict.fromkeys(hit_ids, ()))
        for hit, edge_id in zip(counted_hits, counted_edges):
            partial[hit] += (edge_id,)  # type: ignore[operator]
        edge_ids, sources, targets, *rest = edge_columns
        kinds = [SEMANTIC] * len(edge_ids)
        # a hit is a stored memory: it exists
        snapshot.fill(loaded, {*present, *hit_ids}, zip(edge_ids, sources, targets, kinds, *rest))
        # The members join the snapshot, queued; an id the graph has (or the call
        # has twice) is refused here, before the extension is touched.
        for row in self.rows:
            if snapshot.exists(row[0]):
                raise AlreadyStored(row[0])
            snapshot.node_added(row[0], row)
        self._step = "loaded"

    # -- phase 2 -----------------------------------------------------------------

    def replay(self, node: Any, exclude: Any, top_k: Any, threshold: Any, exclude_self: bool,
               candidate_ids: Any, node_lookup: Any) -> list[tuple[Any, float]]:
        """The search of `node` as the package asks for it, from the first statement's
        answer: its stored hits and its nearest other members, merged. Both lists
        were loaded `top_k` deep (the exact search without `top_k`: down to the
        threshold); a request that could need anything past that raises
        `SnapshotMiss` rather than answering wrongly."""
        node_id = node.id
        if type(node_id) is not str or node_id not in self._planned:
            raise SnapshotMiss(f"no search of node {node_id!r} was made before the call")
        stored = self._hits.get(node_id, [])
        pairs = self._pairs.get(node_id, [])
        planned = _limit(self.top_k)
        limit = _limit(top_k)
        full = planned is not None and len(stored) >= planned
        pairs_full = planned is not None and len(pairs) >= planned and \
            _other_members(self, node_id) > planned
        if planned is not None and (full or pairs_full) and (limit is None or limit > planned):
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
        for other, sim in stored:
            if other in skip:
                continue
            if other not in candidate_ids or other not in node_lookup:
                if full:
                    # the next nearest stored memory may have been the answer
                    raise SnapshotMiss(f"hit {other!r} of node {node_id!r} is not a "
                                       "candidate of the extension")
                continue
            if threshold is not None and not sim >= threshold:  # NaN never passes
                continue
            picked.append((node_lookup[other], sim))
        taken = _take_pairs(pairs, skip, threshold, candidate_ids, node_lookup, picked)
        if pairs_full and limit is not None and taken < limit and (threshold is None or pairs[-1][1] >= threshold):
            # fewer than `limit` of the loaded members count, and the next nearest
            # member, not loaded, might have
            raise SnapshotMiss(f"the members nearest to node {node_id!r} were loaded "
                               f"{planned} deep, and only {taken} of them are candidates")
        picked.sort(key=lambda pair: -pair[1])  # stable: stored hits first among equals
        return picked[:limit] if limit is not None else picked

    def run(self, ext: Any, search: RoundSearch) -> Any:
        """Phase 2: the package's call, then the last ingested id (queued). Raises
        what the package raised. Not before the lease is known to be held."""
        self._enter("run")
        if not self._lease_held:
            raise StepOutOfOrder("run() on a round whose lease was lost")
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
        self._step = "ran"
        return result

    def _raise_failure(self) -> None:
        """Fail the call when it met a snapshot miss, or (with `strict_search`) a
        failed search, even where the package caught it."""
        for exc in self.graph.misses + [e for e in self.search_errors
                                         if isinstance(e, SnapshotMiss)]:
            raise exc
        if self.strict_search and self.search_errors:
            raise self.search_errors[0]

    # -- phase 3 -----------------------------------------------------------------

    def writes(self) -> tuple[str, dict[str, Any]] | None:
        """The write statement, fenced by the lease the round was planned with (None:
        nothing to write; the round is done). Raises first what failed the call:
        a snapshot miss, or with `strict_search` a failed search."""
        self._enter("writes")
        self._raise_failure()
        if not self.snapshot.queued():
            self._step = "done"
            return None
        removes, adds, last, nodes = self.snapshot.take()
        params = apply_params(self.stmts, removes, adds, last, nodes)
        self._step = "writing"
        if self._lease is None:
            return self.stmts.apply, params
        return self.stmts.apply_fenced, {**params, **self._lease}

    def written(self, row: tuple[Any, ...]) -> int | None:
        """Take in the answer of the write: the graph's write number after it (None
        without a lease). GraphLost where the lease was lost: nothing was written."""
        self._enter("written")
        if self._lease is None:
            self._step = "done"
            return None
        if row[-1] is None:
            raise GraphLost(self.stmts.graph, self._lease["holder"])
        self._step = "done"
        return int(row[-1])
