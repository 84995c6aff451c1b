"""The reference graph kept in a SQL database, with a neighbourhood snapshot.

`SqlGraph` answers every call the extension makes with statements on one
database connection, and counts them: `round_trips` is the number of
statements sent to the store. Outside a session each call is one statement
(write-through). Inside `with graph.session():` the graph keeps a snapshot of
the part of the graph the ingest looks at and answers from it:

- `prefetch(ids)` names the nodes to load (the search does it when it answers:
  the new memory and the candidates). The next call that needs a node the
  snapshot does not hold loads all named nodes in one statement: whether each
  exists, and all their edges in the order they were added.
- `has_node`, `get_edge_between` and `get_edges_for_node` are answered from the
  snapshot when it holds the node; `add_node` in a session puts the new node in
  the snapshot with no edges.
- `add_edge` and `remove_edge` update the snapshot and queue the write; the
  queue is sent in one statement (one transaction) before any statement that
  reads or writes outside the snapshot, and when the session ends, whether it
  ends normally or by an exception.

Every answer is the one the database would give at that moment: the snapshot
is loaded from the database, and changed only by this graph's own writes,
which it applies in the order the database will. That holds while nothing else
writes to the graph during the session, the rule the extension already sets
for an ingest. A new edge's place is after every edge stored so far, in the
database (its `seq`) as in the snapshot, so edges come back in the same order
with or without it.

What the snapshot cannot see: an `add_edge` whose id is already taken by an
edge outside the snapshot (the contract requires fresh ids; `MemoryEdge`
makes random ones). That edge is refused by the database when the queue is
sent, not by `add_edge`: the queue's statement then fails as a whole, nothing
of it is stored, and the session raises `ValueError`. Open the session with
`defer_writes=False` to send each write at once instead (exact in every case,
one statement per write).

One call of the host, one transaction: inside `with graph.transaction():`
every write is stored together with the others or not at all. In a session
(the default) new nodes are queued like edges, so a call whose writes all wait
for the end goes in one statement, atomic by itself; a write that must go
earlier opens a transaction first (BEGIN ... COMMIT). A store error met during
the block (a statement the store failed, even one the caller went on from, as
the extension's batch does) fails the block: every later statement in it
raises `TransactionFailed` at once, nothing of it is stored, the store's error
is raised when the block ends, and the listeners are told that the nodes added
in it are gone. A transaction that fails in COMMIT may have been
stored all the same (a server that went away after it committed): ask the
store (`held`, `last_ingested`) rather than assume.

Ids are kept exactly or refused (`rows.check_id`): `add_node` and `add_edge`
raise TypeError or ValueError naming an id the store cannot keep, before
anything is written. Node texts are kept whole (NUL characters too, in
SQLite); PostgreSQL cannot hold a NUL in text and refuses it in `add_node`.
The snapshot itself is `protocol.snapshot.Snapshot`, shared with `StoreHost` and
`AsyncStoreHost`.
"""
from __future__ import annotations

import contextlib
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from vantor_lacet_stores.errors import TransactionFailed
from vantor_lacet_stores.protocol.rows import (  # noqa: F401 - names the stores import from here
    EDGE_COLUMNS,
    LAST_INGESTED,
    RowReader,
    check_edge,
    check_id,
    check_text,
    edge_row,
    embedding_bytes,
    node_row,
    StoredNode,
)
from vantor_lacet_stores.protocol.snapshot import Snapshot




class SqlGraph:
    """The graph calls of `MemoryGraph` on a SQL store; see the module's text.

    Subclasses give the statements (`_sql_*`), how a list of values is passed
    (`_list`), and which exceptions mean a refused insert (`_integrity_error`).
    `latency` seconds are slept before each statement: a stand-in for a network.
    """

    _integrity_error: type[Exception] = Exception
    _nul_in_text = False  # whether node texts may hold NUL characters
    _sql_begin = "BEGIN"
    _sql_commit = "COMMIT"

    def __init__(self, latency: float = 0.0) -> None:
        self.latency = latency
        self.round_trips = 0
        self.slept = 0.0  # seconds actually waited for `latency` (a sleep overshoots)
        self.spin = False  # wait for `latency` in a busy loop (exact, but holds a core)
        self._listeners: list[Any] = []
        self._rows = RowReader()
        self._depth = 0
        self._defer = True
        # The open transaction: whether one is open, whether BEGIN was sent, whether
        # its last write is being sent, the first store error met in it, the nodes
        # added and removed in it (the listeners are told of removals at COMMIT).
        self._tx = self._begun = self._closing = False
        self._tx_error: BaseException | None = None
        self._tx_added: list[str] = []
        self._tx_removed: list[str] = []
        self._reset_snapshot()

    # -- the connection ------------------------------------------------------

    def _execute(self, sql: str, params: Any = ()) -> Any:
        """Send one statement: a cursor over its rows."""
        raise NotImplementedError

    def _run(self, sql: str, params: Any = ()) -> list[tuple[Any, ...]]:
        if self._tx_error is not None:
            # The transaction has failed: the rest of the call (a batch's other
            # members) fails at once instead of waiting on a store that went away.
            raise TransactionFailed("the call's transaction failed already") from self._tx_error
        self.round_trips += 1
        if self.latency:
            from vantor_lacet_stores.testing.latency import wait
            self.slept += wait(self.latency, self.spin)
        try:
            cur = self._execute(sql, params)
            return cur.fetchall() if cur.description is not None else []
        except Exception as exc:
            # Whoever called this may go on (the extension's batch does): the
            # transaction fails at its end all the same.
            if self._tx and self._tx_error is None:
                self._tx_error = exc
            raise

    def _write(self, sql: str, params: Any = ()) -> list[tuple[Any, ...]]:
        """Send a statement that writes. In a transaction, every write but the one
        that ends it goes after a BEGIN."""
        if self._tx and not self._begun and not self._closing:
            self._begun = True  # before: a BEGIN whose answer was lost is rolled back too
            self._run(self._sql_begin)
        return self._run(sql, params)

    def _rollback(self) -> None:
        """End the open transaction without storing it, whatever the connection's state
        (none open, or a connection gone, included)."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> SqlGraph:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- sessions and the snapshot -------------------------------------------

    def _reset_snapshot(self) -> None:
        self._snap = Snapshot(self._rows, self._fetch)

    @property
    def in_session(self) -> bool:
        return self._depth > 0

    @contextlib.contextmanager
    def session(self, defer_writes: bool = True) -> Iterator[SqlGraph]:
        """Serve the extension's calls from a snapshot until the block ends (see
        the module's text). Sessions nest; the outermost one decides."""
        if self._depth == 0:
            self._defer = defer_writes
        self._depth += 1
        try:
            yield self
        finally:
            self._depth -= 1
            if self._depth == 0:
                try:
                    self.flush()
                finally:
                    self._reset_snapshot()

    @contextlib.contextmanager
    def transaction(self, snapshot: bool = True,
                    defer_writes: bool = True) -> Iterator[SqlGraph]:
        """Store every write of the block together, or none of it (see the module's
        text). With `snapshot`, the block is also a session (`defer_writes` as
        there). On failure the listeners are told that the nodes added in the block
        are gone; at COMMIT, of the nodes removed in it."""
        if self._tx or self._depth:
            raise RuntimeError("a transaction must open outside any session or transaction")
        self._tx, self._tx_error, self._tx_added, self._tx_removed = True, None, [], []
        if snapshot:
            self._depth, self._defer = 1, defer_writes
        stored = False
        try:
            try:
                yield self
            except TransactionFailed:
                if self._tx_error is None:
                    raise
            if self._tx_error is not None:  # the store's error, not what followed from it
                raise self._tx_error
            self._closing = True
            self.flush()
            if self._begun:
                self._run(self._sql_commit)
            stored = True
        finally:
            begun, added, removed = self._begun, self._tx_added, self._tx_removed
            self._tx = self._begun = self._closing = False
            self._tx_error, self._tx_added, self._tx_removed = None, [], []
            self._depth = 0
            self._reset_snapshot()
            if stored:
                for node_id in removed:
                    for listener in self._listeners:
                        listener.remove(node_id)
            else:
                if begun:
                    self._rollback()
                for node_id in reversed(added):
                    self._rows.nodes.pop(node_id, None)
                    for listener in self._listeners:
                        listener.remove(node_id)

    def held(self, node_ids: Iterable[str]) -> set[str]:
        """The ids among `node_ids` that the store holds: one statement, answered by
        the store (not the snapshot)."""
        self._direct()
        ids = [node_id for node_id in node_ids if type(node_id) is str]
        return {row[0] for row in self._run(self._sql_nodes_present, self._load_params(ids))}

    def prefetch(self, node_ids: Iterable[str]) -> None:
        """Name nodes to load with the next load (in a session; otherwise nothing)."""
        if self._depth:
            self._snap.want(node_ids)

    def flush(self) -> None:
        """Send the queued writes in one statement."""
        if not self._snap.queued():
            return
        removes, adds, last, nodes = self._snap.take()
        try:
            self._apply(removes, adds, last, nodes)
        except self._integrity_error as exc:
            raise ValueError(f"the queued writes were refused as a whole: {exc}") from exc

    def _apply(self, removes: list[str], adds: list[Any], last: str | None,
               nodes: Sequence[tuple[Any, ...]] = ()) -> int:
        """One statement (through `_write`): add the nodes `nodes` (rows of
        `_node_row`) in order, remove the edges `removes`, add `adds` in order, set
        the last ingested id when not None. Returns the number of edges removed."""
        raise NotImplementedError

    def _fetch(self, ids: list[str]) -> tuple[set[str], list[tuple[Any, ...]]]:
        """One statement: which of the nodes exist, and the columns of every edge at
        any of them, in the order the edges were added."""
        raise NotImplementedError

    def _fetch_edges_of(self, node_id: str) -> list[tuple[Any, ...]]:
        """One statement: the columns of the node's edges, in the order added."""
        raise NotImplementedError

    def _row_edge(self, row: tuple[Any, ...]) -> tuple[Any, ...]:
        """The edge columns of a row of `_sql_edge_between` or `_sql_all_edges`."""
        return row

    def _node_state(self, node_id: str) -> bool | None:
        """In a session: whether the node exists, loading it if the snapshot does not
        know. Outside: None."""
        return self._snap.exists(node_id) if self._depth else None

    def _direct(self) -> None:
        """Before a statement outside the snapshot: send what is queued first."""
        if self._depth:
            self.flush()

    # -- nodes -----------------------------------------------------------------

    def add_listener(self, listener: Any) -> None:
        """As `MemoryGraph.add_listener`: told of every node now and later."""
        self._listeners.append(listener)
        for node in self.all_nodes():
            listener.add(node)

    def check_node(self, node: Any) -> tuple[Any, ...]:
        """The row `node` is stored as; TypeError or ValueError, naming the node, for
        an id or a text the store cannot keep exactly. Writes nothing."""
        return node_row(node, self._nul_in_text)

    def add_node(self, node: StoredNode) -> None:
        """Raises ValueError when a node with the same id is already stored, and
        TypeError or ValueError for a node the store cannot keep (`check_node`).
        In a session with deferred writes the node is queued with the edges."""
        row = self.check_node(node)
        queued = bool(self._depth and self._defer)
        if queued:
            if self._node_state(node.id):
                raise ValueError(f"duplicate node id {node.id!r}")
            self._snap.node_adds[node.id] = row
        elif not self._write(self._sql_add_node, row):
            # Queued edge writes stay queued: a new node changes none of their outcomes.
            raise ValueError(f"duplicate node id {node.id!r}")
        try:
            for listener in self._listeners:
                listener.add(node)
        except BaseException:
            if queued:  # a failing listener leaves it out
                del self._snap.node_adds[node.id]
            else:
                self._write(self._sql_delete_node, (node.id,))
            raise
        self._rows.nodes[node.id] = node
        if self._tx:
            self._tx_added.append(node.id)
        if self._depth:
            self._snap.node_added(node.id)

    def has_node(self, node_id: str) -> bool:
        if type(node_id) is not str:  # SQL would compare 5 equal to the id "5"
            return False
        known = self._node_state(node_id)
        if known is not None:
            return known
        return bool(self._run(self._sql_has_node, (node_id,)))

    def get_node(self, node_id: str) -> StoredNode | None:
        self._direct()
        rows = self._run(self._sql_get_node, (node_id,))
        return self._rows.node(rows[0]) if rows else None

    def all_nodes(self) -> list[StoredNode]:
        self._direct()
        return [self._rows.node(row) for row in self._run(self._sql_all_nodes)]

    def remove_node(self, node_id: str) -> list[str]:
        """Remove the node and its edges; return the removed edge ids in the order
        they were added. Unknown id: KeyError."""
        self._direct()
        removed = [row[0] for row in self._run(self._sql_incident_ids, (node_id, node_id))]
        if not self._write(self._sql_delete_node, (node_id,)):
            raise KeyError(node_id)
        self._rows.nodes.pop(node_id, None)
        if self._depth:  # the node and the edges it took along leave the snapshot
            self._snap.node_removed(node_id, removed)
        if self._tx:
            self._tx_removed.append(node_id)
        else:
            for listener in self._listeners:
                listener.remove(node_id)
        return removed

    @property
    def node_count(self) -> int:
        self._direct()
        return int(self._run(self._sql_node_count)[0][0])

    # -- edges -----------------------------------------------------------------

    def add_edge(self, edge: Any) -> None:
        """Raises KeyError for an endpoint not in the graph, ValueError for a duplicate edge id,
        TypeError or ValueError for an edge id or text the store cannot keep."""
        check_edge(edge)
        if self._depth:
            self._snap.check_new_edge(edge)
            if not self._defer:
                self._write_edge(edge)
            self._snap.edge_added(edge, queue=self._defer)
            return
        self._write_edge(edge)

    def _write_edge(self, edge: Any) -> None:
        self._direct()
        try:
            self._apply([], [edge], None)
        except self._integrity_error:
            # Which rule was broken: ask, in the order MemoryGraph checks them.
            ends = [edge.source_node, edge.target_node]
            present = {row[0] for row in self._run(self._sql_nodes_present, self._load_params(ends))}
            for end in (edge.source_node, edge.target_node):
                if end not in present:
                    raise KeyError(end) from None
            raise ValueError(f"duplicate edge id {edge.id!r}") from None

    def get_edge_between(self, a_id: str, b_id: str) -> Any:
        """The first-added edge stored as running from a to b, or None."""
        if type(a_id) is not str or type(b_id) is not str:
            return None
        if self._depth:
            return self._snap.edge_between(a_id, b_id)
        rows = self._run(self._sql_edge_between, (a_id, b_id))
        return self._rows.edge(self._row_edge(rows[0])) if rows else None

    def get_edges_for_node(self, node_id: str) -> list[Any]:
        """A new list of the node's outgoing and incoming edges, in the order they
        were added (a self-loop once). An unknown node has none."""
        if type(node_id) is not str:
            return []
        if self._depth:
            return list(self._snap.edges_at(node_id).values())
        return [self._rows.edge(cols) for cols in self._fetch_edges_of(node_id)]

    def remove_edge(self, edge_id: str) -> None:
        """Unknown id: KeyError."""
        if self._depth:
            outcome = self._snap.edge_removed(edge_id, queue=self._defer)
            if outcome == "done":
                return
            if outcome == "write":
                if not self._apply([edge_id], [], None):
                    raise KeyError(edge_id)
                return
            self.flush()
        if not self._apply([edge_id], [], None):
            raise KeyError(edge_id)

    def edges(self) -> list[Any]:
        """Every edge, in the order added."""
        self._direct()
        return [self._rows.edge(self._row_edge(row)) for row in self._run(self._sql_all_edges)]

    @property
    def edge_count(self) -> int:
        self._direct()
        return int(self._run(self._sql_edge_count)[0][0])

    # -- the host's own record -------------------------------------------------

    def set_last_ingested(self, node_id: str) -> None:
        """Keep the id of the memory ingested last (the extension keeps it only in
        memory); in a session it goes with the queued writes."""
        if self._depth and self._defer:
            self._snap.last = node_id
        else:
            self._direct()
            self._apply([], [], node_id)

    def last_ingested(self) -> str | None:
        self._direct()
        rows = self._run(self._sql_get_meta, (LAST_INGESTED,))
        return rows[0][0] if rows else None

    # -- statements, given by each store -----------------------------------------

    _sql_add_node: str
    _sql_delete_node: str
    _sql_has_node: str
    _sql_get_node: str
    _sql_all_nodes: str
    _sql_node_count: str
    _sql_nodes_present: str
    _sql_incident_ids: str
    _sql_edge_between: str
    _sql_all_edges: str
    _sql_edge_count: str
    _sql_get_meta: str

    def _load_params(self, ids: list[str]) -> Any:
        """The parameters of `_sql_nodes_present` for these ids."""
        raise NotImplementedError
