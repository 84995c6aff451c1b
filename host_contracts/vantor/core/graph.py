from __future__ import annotations

from typing import Any

from vantor.core.edge import MemoryEdge
from vantor.core.node import MemoryNode


class MemoryGraph:
    """In-memory directed multigraph of memories.

    Every operation is O(1) or O(degree of the nodes involved); `all_nodes` and
    `edges` are O(size of the graph) since they copy.
    """

    def __init__(self) -> None:
        self._nodes: dict[str, MemoryNode] = {}
        self._edges: dict[str, MemoryEdge] = {}
        # node id -> ids of its incident edges (outgoing and incoming), in insertion
        # order; dicts serve as ordered sets with O(1) removal.
        self._incident: dict[str, dict[str, None]] = {}
        # (source id, target id) -> ids of the edges running that way, in insertion order
        self._between: dict[tuple[str, str], dict[str, None]] = {}
        self._listeners: list[Any] = []

    def add_listener(self, listener: Any) -> None:
        """Keep `listener` told of the nodes: `listener.add(node)` for each node in
        the graph now and each one added later, `listener.remove(node_id)` for each
        node removed. A similarity service keeps its index this way."""
        self._listeners.append(listener)
        for node in self._nodes.values():
            listener.add(node)

    # -- nodes ---------------------------------------------------------------

    def add_node(self, node: MemoryNode) -> None:
        """Raises ValueError when a node with the same id is already present."""
        if node.id in self._nodes:
            raise ValueError(f"duplicate node id {node.id!r}")
        for listener in self._listeners:  # first: a listener that fails leaves the node out
            listener.add(node)
        self._nodes[node.id] = node
        self._incident[node.id] = {}

    def has_node(self, node_id: str) -> bool:
        return node_id in self._nodes

    def get_node(self, node_id: str) -> MemoryNode | None:
        return self._nodes.get(node_id)

    def all_nodes(self) -> list[MemoryNode]:
        return list(self._nodes.values())

    def remove_node(self, node_id: str) -> list[str]:
        """Remove the node and its edges; return the removed edge ids. Unknown id: KeyError."""
        if node_id not in self._nodes:
            raise KeyError(node_id)
        removed = list(self._incident[node_id])
        for edge_id in removed:
            self.remove_edge(edge_id)
        del self._incident[node_id]
        del self._nodes[node_id]
        for listener in self._listeners:
            listener.remove(node_id)
        return removed

    @property
    def node_count(self) -> int:
        return len(self._nodes)

    # -- edges ---------------------------------------------------------------

    def add_edge(self, edge: MemoryEdge) -> None:
        """Raises KeyError for an endpoint not in the graph, ValueError for a duplicate edge id."""
        source, target = edge.source_node, edge.target_node
        if source not in self._nodes:
            raise KeyError(source)
        if target not in self._nodes:
            raise KeyError(target)
        if edge.id in self._edges:
            raise ValueError(f"duplicate edge id {edge.id!r}")
        self._edges[edge.id] = edge
        self._incident[source][edge.id] = None
        self._incident[target][edge.id] = None  # a self-loop is listed once
        self._between.setdefault((source, target), {})[edge.id] = None

    def get_edge(self, edge_id: str) -> MemoryEdge | None:
        return self._edges.get(edge_id)

    def get_edge_between(self, a_id: str, b_id: str) -> MemoryEdge | None:
        """The first-added edge stored as running from a to b, or None.

        A bidirectional edge is found only in the direction it was stored.
        """
        ids = self._between.get((a_id, b_id))
        if not ids:
            return None
        return self._edges[next(iter(ids))]

    def get_edges_for_node(self, node_id: str) -> list[MemoryEdge]:
        """A new list of the node's outgoing and incoming edges, in the order they were added.

        An unknown node has no edges: the result is empty.
        """
        ids = self._incident.get(node_id)
        if not ids:
            return []
        edges = self._edges
        return [edges[edge_id] for edge_id in ids]

    def remove_edge(self, edge_id: str) -> None:
        """Unknown id: KeyError."""
        edge = self._edges.pop(edge_id)
        source, target = edge.source_node, edge.target_node
        self._incident[source].pop(edge_id, None)
        self._incident[target].pop(edge_id, None)
        key = (source, target)
        ids = self._between[key]
        del ids[edge_id]
        if not ids:
            del self._between[key]

    def edges(self) -> list[MemoryEdge]:
        return list(self._edges.values())

    @property
    def edge_count(self) -> int:
        return len(self._edges)
