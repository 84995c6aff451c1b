"""Reading the finished graph: edge kinds, semantic degrees and neighbours."""
from __future__ import annotations

from typing import Any

from vantor.core.edge import RelationshipType

SEMANTIC = RelationshipType.SEMANTIC
TEMPORAL = RelationshipType.TEMPORAL


def edge_kind(edge: Any) -> str:
    rel = edge.relationship
    if rel.type == SEMANTIC:
        return "semantic"
    if rel.type == TEMPORAL:
        return "temporal chain"
    return str(rel.type)


def semantic_degrees(graph: Any) -> dict[str, int]:
    return {n.id: sum(1 for e in graph.get_edges_for_node(n.id) if e.relationship.type == SEMANTIC)
            for n in graph.all_nodes()}


def semantic_neighbours(graph: Any, node_id: str) -> list[tuple[str, float]]:
    """(other id, similarity) of the node's semantic edges, strongest first."""
    out = []
    for e in graph.get_edges_for_node(node_id):
        if e.relationship.type == SEMANTIC:
            other = e.target_node if e.source_node == node_id else e.source_node
            out.append((other, float(e.weight.current)))
    out.sort(key=lambda p: (-p[1], p[0]))
    return out
