"""A small host for vantor_lacet: a graph over plain dicts and an exact cosine search.

No numpy and nothing from the package's own repository: only what the host contract
(docs/host-contract.md) asks for, plus what a host needs for itself (adding and
removing nodes, saving and loading the graph).
"""
from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata


@dataclass(eq=False)
class Memory:
    id: str
    text: str = ""
    content_embedding: list[float] | None = None   # None: no embedding


class DictGraph:
    """Directed multigraph keyed by id. Refuses, with the exceptions the package
    expects, an edge with an unknown end (KeyError), a repeated id (ValueError) and a
    second edge of the same type running the same way between the same two memories
    (ValueError), which makes a retried ingest safe."""

    def __init__(self) -> None:
        self.nodes: dict[str, Memory] = {}
        self.edges: dict[str, MemoryEdge] = {}
        self._incident: dict[str, dict[str, None]] = {}   # node id -> its edge ids, in order

    # -- what the host itself uses --------------------------------------------

    def add_node(self, node: Memory) -> None:
        if node.id in self.nodes:
            raise ValueError(f"duplicate node {node.id!r}")
        self.nodes[node.id] = node
        self._incident[node.id] = {}

    def remove_node(self, node_id: str) -> list[str]:
        removed = list(self._incident[node_id])
        for edge_id in removed:
            self.remove_edge(edge_id)
        del self._incident[node_id]
        del self.nodes[node_id]
        return removed

    def to_json(self) -> str:
        return json.dumps({
            "nodes": [[n.id, n.text, n.content_embedding] for n in self.nodes.values()],
            "edges": [{
                "id": e.id, "source": e.source_node, "target": e.target_node,
                "type": e.relationship.type.value, "subtype": e.relationship.subtype,
                "description": e.relationship.description,
                "bidirectional": e.relationship.bidirectional,
                "current": e.weight.current, "initial": e.weight.initial,
            } for e in self.edges.values()],
        })

    @classmethod
    def from_json(cls, text: str) -> DictGraph:
        data = json.loads(text)
        graph = cls()
        for node_id, body, embedding in data["nodes"]:
            graph.add_node(Memory(node_id, body, embedding))
        for e in data["edges"]:
            graph.add_edge(MemoryEdge(
                source_node=e["source"], target_node=e["target"],
                relationship=RelationshipMetadata(
                    type=RelationshipType(e["type"]), subtype=e["subtype"],
                    description=e["description"], bidirectional=e["bidirectional"]),
                weight=WeightMetadata(current=e["current"], initial=e["initial"]),
                id=e["id"]))
        return graph

    # -- what the package calls -----------------------------------------------

    def all_nodes(self) -> list[Memory]:
        return list(self.nodes.values())

    def has_node(self, node_id: str) -> bool:
        return node_id in self.nodes

    def add_edge(self, edge: MemoryEdge) -> None:
        for end in (edge.source_node, edge.target_node):
            if end not in self.nodes:
                raise KeyError(end)
        if edge.id in self.edges:
            raise ValueError(f"duplicate edge id {edge.id!r}")
        same = self.get_edge_between(edge.source_node, edge.target_node, edge.relationship.type)
        if same is not None:
            raise ValueError(f"{edge.source_node!r} -> {edge.target_node!r} already has a "
                             f"{edge.relationship.type.value} edge")
        self.edges[edge.id] = edge
        self._incident[edge.source_node][edge.id] = None
        self._incident[edge.target_node][edge.id] = None

    def get_edge_between(self, a_id: str, b_id: str,
                         of_type: RelationshipType | None = None) -> MemoryEdge | None:
        for edge_id in self._incident.get(a_id, ()):
            edge = self.edges[edge_id]
            if edge.source_node == a_id and edge.target_node == b_id and (
                    of_type is None or edge.relationship.type == of_type):
                return edge
        return None

    def get_edges_for_node(self, node_id: str) -> list[MemoryEdge]:
        # Incoming and outgoing; an id the graph does not hold has no edges.
        return [self.edges[edge_id] for edge_id in self._incident.get(node_id, ())]

    def remove_edge(self, edge_id: str) -> None:
        edge = self.edges.pop(edge_id)
        self._incident[edge.source_node].pop(edge_id, None)
        self._incident[edge.target_node].pop(edge_id, None)


def cosine(a: Sequence[float], b: Sequence[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b))
    norm = math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b))
    return dot / norm if norm else 0.0


class ExactSearch:
    """Scores every candidate it is handed. Reads candidate_ids and node_lookup and
    never changes them: they are the extension's own live index."""

    def __init__(self) -> None:
        self.searches = 0
        self.last_candidates: frozenset[str] = frozenset()   # a copy, for the host's checks

    def find_similar(
        self,
        node: Memory,
        exclude: Iterable[str],
        *,
        top_k: int | None,
        threshold: float | None,
        exclude_self: bool,
        candidate_ids: Iterable[str],
        node_lookup: Mapping[str, Any],
    ) -> list[tuple[Memory, float]]:
        self.searches += 1
        self.last_candidates = frozenset(candidate_ids)
        query = node.content_embedding
        if query is None:
            return []
        skip = set(exclude)
        if exclude_self:
            skip.add(node.id)
        hits: list[tuple[float, str]] = []
        for cid in self.last_candidates - skip:
            embedding = node_lookup[cid].content_embedding
            score = cosine(query, embedding) if embedding else 0.0
            if threshold is None or score >= threshold:
                hits.append((score, cid))
        hits.sort(key=lambda hit: (-hit[0], hit[1]))          # best first, ties by id
        if top_k is not None and top_k > 0:                    # None, 0, negative: no limit
            hits = hits[:top_k]
        return [(node_lookup[cid], score) for score, cid in hits]
