"""Hosts the contract does not allow, each one change away from one it does:
`make typecheck` requires mypy --strict to reject exactly the lines that end
in a "rejected:" comment, each with an error or note containing the comment's
text (tests/typecheck/check_rejected.py). Never run; only type-checked."""
from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import vantor_lacet
from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService
from vantor_lacet.protocols import Edge


class MisspeltService:
    def find_similar(self, node: Any, exclude: list[str], *, top_k: int | None, thresold: float,
                     exclude_self: bool, candidate_ids: Iterable[str],
                     node_lookup: Mapping[str, Any]) -> list[tuple[MemoryNode, float]]:
        return []


class NoLookupService:
    def find_similar(self, node: Any, exclude: list[str], top_k: int | None = None,
                     threshold: float | None = None, exclude_self: bool = True,
                     candidate_ids: Iterable[str] = ()) -> list[tuple[MemoryNode, float]]:
        return []


class KeywordNodeService:
    def find_similar(self, *, node: Any, exclude: list[str], **options: Any) -> list[tuple[MemoryNode, float]]:
        return []


class NoRemoveGraph:
    def all_nodes(self) -> list[MemoryNode]:
        return []

    def has_node(self, node_id: str) -> bool:
        return False

    def add_edge(self, edge: MemoryEdge) -> None:
        pass

    def get_edge_between(self, a_id: str, b_id: str) -> MemoryEdge | None:
        return None

    def get_edges_for_node(self, node_id: str) -> list[MemoryEdge]:
        return []


class BareEdge:
    """An edge row without the weight the cap reads."""

    def __init__(self, edge: MemoryEdge) -> None:
        self.id = edge.id
        self.relationship = edge.relationship


class BareEdgeGraph(NoRemoveGraph):
    def get_edges_for_node(self, node_id: str) -> list[BareEdge]:  # type: ignore[override]
        return []

    def remove_edge(self, edge_id: str) -> None:
        pass


class IdOnly:
    id = "n1"


graph = MemoryGraph()
graph_rel = RelationshipMetadata(type=RelationshipType.SEMANTIC)
vantor_lacet.build_extension(MisspeltService(), graph)  # rejected: thresold
vantor_lacet.build_extension(NoLookupService(), graph)  # rejected: candidate_ids: Iterable[str] = ...)
vantor_lacet.build_extension(KeywordNodeService(), graph)  # rejected: def find_similar(self, *, node
vantor_lacet.build_extension(SimilarityService(), NoRemoveGraph())  # rejected: remove_edge
vantor_lacet.build_extension(SimilarityService(), BareEdgeGraph())  # rejected: list[BareEdge]
bare: Edge = BareEdge(MemoryEdge(source_node="a", target_node="b", relationship=graph_rel))  # rejected: weight
ext = vantor_lacet.build_extension(SimilarityService(), graph)
ext.on_ingest(graph, IdOnly())  # rejected: content_embedding
ext.on_ingest_batch(NoRemoveGraph(), [])  # rejected: remove_edge
ext._last_id = 3  # rejected: variable has type "str | None"
ext._candidate_ids = set()  # rejected: Cannot assign to final attribute "_candidate_ids"
ext._node_lookup = {}  # rejected: Cannot assign to final attribute "_node_lookup"
