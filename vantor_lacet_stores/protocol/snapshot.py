"""The part of a graph one call looks at, held in memory: which nodes exist,
their edges in the order they were added, and the writes the call queued.

Both ways the reference hosts serve the extension's graph calls go through a
`Snapshot`:

- lazily (`fetch` given): a call that needs a node the snapshot does not hold
  loads it, with every node named by `want` since the last load, in one
  statement. `SqlGraph` sessions work this way.
- in two phases (no `fetch`): the neighbourhood is loaded before the call
  (`fill`), and a graph call that needs anything else raises `SnapshotMiss`:
  the host did not load what the call needed, which is a bug in the host, and
  nothing is fetched behind its back.

Answers are the ones the store would give at that moment: the snapshot is
loaded from the store and changed only by the call's own writes, applied in
the order the store applies them (a new edge after every stored one). That
holds while nothing else writes to the graph during the call.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

from vantor_lacet_stores.errors import SnapshotMiss
from vantor_lacet_stores.protocol.rows import RowReader

Fetch = Callable[[list[str]], tuple[set[str], list[Any]]]


class Snapshot:
    """See the module's text. `fetch(ids)` answers which of the ids exist and the
    rows of every edge at any of them in the order added (None: nothing is ever
    loaded after `fill`)."""

    def __init__(self, reader: RowReader, fetch: Fetch | None = None) -> None:
        self.reader = reader
        self.fetch = fetch
        self.present: dict[str, bool] = {}             # node id -> exists
        self.incident: dict[str, dict[str, Any]] = {}  # loaded node -> its edges, in order
        self.known: dict[str, Any] = {}                # edge id -> edge, for loaded edges
        self.wanted: dict[str, None] = {}              # nodes to load at the next miss
        self.adds: dict[str, Any] = {}                 # queued new edges, in order
        self.removes: dict[str, None] = {}             # queued removals of stored edges
        self.last: str | None = None                   # queued last-ingested id
        self.node_adds: dict[str, tuple[Any, ...]] = {}  # queued new nodes: their rows
        # Nodes whose stored edges are held in part (the two-phase hosts' first
        # statement): None, none of them (only whether the node exists); else the
        # ids of its semantic edges that are not held (the others are), and no
        # edge of another type.
        self.partial: dict[str, tuple[str, ...] | None] = {}

    # -- loading -----------------------------------------------------------------

    def want(self, node_ids: Iterable[Any]) -> None:
        """Name nodes to load with the next load."""
        for node_id in node_ids:
            if type(node_id) is str and node_id not in self.incident:
                self.wanted[node_id] = None

    def fill(self, ids: Iterable[str], present: set[str], rows: Iterable[Any]) -> None:
        """Take in a load: `ids` asked, `present` those that exist, `rows` every edge
        at any of them in the order added."""
        asked = {node_id for node_id in ids if node_id not in self.incident}
        partial = self.partial
        for node_id in asked:
            self.present[node_id] = node_id in present
        if partial:
            asked = {node_id for node_id in asked if partial.get(node_id, ()) is not None}
        for node_id in asked:
            self.incident[node_id] = {}
        # A node whose stored edges are counted holds none of them, not even one
        # loaded as another node's.
        listed = asked - {node_id for node_id, n in partial.items() if n} if partial else asked
        for cols in rows:
            edge_id = cols[0]
            if edge_id in self.removes:
                continue
            edge = self.known.get(edge_id)
            if edge is None:
                edge = self.known[edge_id] = self.reader.edge(cols)
            for end in {edge.source_node, edge.target_node} & listed:
                self.incident[end][edge_id] = edge
        for edge_id, edge in self.adds.items():  # queued: after every stored edge
            for end in {edge.source_node, edge.target_node} & asked:
                self.incident[end][edge_id] = edge

    def _load(self, node_id: str) -> None:
        if self.fetch is None:
            raise SnapshotMiss(f"node {node_id!r} is not in the call's snapshot: "
                               "the host did not load it before the call")
        self.wanted[node_id] = None
        ids = [i for i in self.wanted if i not in self.incident]
        self.wanted.clear()
        present, rows = self.fetch(ids)
        self.fill(ids, present, rows)

    def holds(self, node_id: str) -> bool:
        return node_id in self.incident

    def exists(self, node_id: str) -> bool:
        if node_id not in self.present:
            self._load(node_id)
        return self.present[node_id]

    def edges_at(self, node_id: str) -> dict[str, Any]:
        if node_id not in self.incident:
            self._load(node_id)
        return self.incident[node_id]

    # -- the graph's answers -----------------------------------------------------

    def edge_between(self, a_id: str, b_id: str) -> Any:
        """The first-added edge from a to b, or None. Every such edge is in the lists
        of both ends: a list already held serves, else a's is loaded. A list held in
        part serves only when the other end is new in this call (no stored edge
        can reach it)."""
        held, other = a_id, b_id
        edges = self.incident.get(a_id)
        if edges is None:
            held, other = b_id, a_id
            edges = self.incident.get(b_id)
        if edges is None:
            held, other = a_id, b_id
            edges = self.edges_at(a_id)
        if held in self.partial and other not in self.node_adds:
            raise SnapshotMiss(f"the edges between {a_id!r} and {b_id!r}: the call's "
                               f"snapshot holds only some of the edges of {held!r}")
        for edge in edges.values():
            if edge.source_node == a_id and edge.target_node == b_id:
                return edge
        return None

    # -- the call's writes -------------------------------------------------------

    def node_added(self, node_id: str, row: tuple[Any, ...] | None = None) -> None:
        """A new node (queued with `row`, or written already)."""
        if row is not None:
            self.node_adds[node_id] = row
        self.present[node_id] = True
        self.incident[node_id] = {}

    def check_new_edge(self, edge: Any) -> None:
        """KeyError for a missing endpoint, ValueError for an edge id the snapshot
        knows to be taken (in the graph's order of checks)."""
        if not self.exists(edge.source_node):
            raise KeyError(edge.source_node)
        if not self.exists(edge.target_node):
            raise KeyError(edge.target_node)
        if edge.id in self.known or edge.id in self.adds:
            raise ValueError(f"duplicate edge id {edge.id!r}")

    def edge_added(self, edge: Any, queue: bool) -> None:
        """After `check_new_edge`: the edge is in the graph (queued, or written)."""
        if queue:
            self.adds[edge.id] = edge
        self.known[edge.id] = edge
        for end in (edge.source_node, edge.target_node):
            ids = self.incident.get(end)
            if ids is not None:
                ids[edge.id] = edge

    def edge_removed(self, edge_id: Any, queue: bool) -> str:
        """Take an edge out. "done": it was queued (now dropped) or its removal is
        queued; "write": a stored edge the caller removes from the store now
        (`queue` false); "unknown": the snapshot does not know the edge."""
        edge = self.known.pop(edge_id, None)
        if edge is None:
            return "unknown"
        for end in (edge.source_node, edge.target_node):
            ids = self.incident.get(end)
            if ids is not None:
                ids.pop(edge_id, None)
        if self.adds.pop(edge_id, None) is not None:
            return "done"
        if queue:
            self.removes[edge_id] = None
            return "done"
        return "write"

    def node_removed(self, node_id: str, edge_ids: Iterable[str]) -> None:
        """The node and the edges it took along leave the snapshot."""
        self.present[node_id] = False
        self.incident[node_id] = {}
        for edge_id in edge_ids:
            edge = self.known.pop(edge_id, None)
            if edge is not None:
                for end in (edge.source_node, edge.target_node):
                    self.incident.get(end, {}).pop(edge_id, None)

    def queued(self) -> bool:
        return bool(self.node_adds or self.adds or self.removes or self.last is not None)

    def take(self) -> tuple[list[str], list[Any], str | None, list[tuple[Any, ...]]]:
        """The queued writes, emptying the queue: removals, additions in order, the
        last ingested id, new nodes' rows in order."""
        out = (list(self.removes), list(self.adds.values()), self.last,
               list(self.node_adds.values()))
        self.adds, self.removes, self.last, self.node_adds = {}, {}, None, {}
        return out
