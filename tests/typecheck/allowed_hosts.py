"""Hosts the contract allows, in the shapes a type checker meets them: each
must pass `mypy --strict` against the package's stubs (make typecheck).
Never run; only type-checked."""
from __future__ import annotations

from collections.abc import Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

import vantor_lacet
from vantor.core.ann_similarity import ApproximateSimilarityService
from vantor.core.edge import MemoryEdge
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor_lacet.protocols import Graph, Node, SimilarityService


@dataclass(frozen=True)
class TupleNode:
    """Ids of any hashable type; a read-only embedding."""
    id: tuple[str, int]
    content_embedding: tuple[float, ...] | None = None


class PropertyNode:
    def __init__(self, key: int) -> None:
        self._key = key

    @property
    def id(self) -> int:
        return self._key

    @property
    def content_embedding(self) -> list[float]:
        return [1.0, 0.0]


@dataclass(frozen=True)
class Rel:
    type: str
    subtype: str = ""


@dataclass
class Weight:
    current: Decimal


@dataclass
class StoredEdge:
    """How a database-backed graph hands its edges back: not the host's MemoryEdge."""
    id: int
    relationship: Rel
    weight: Weight = field(default_factory=lambda: Weight(Decimal(1)))


class SqlGraph:
    """Integer ids, extra optional parameters, generators, a return value of its own."""

    def all_nodes(self) -> Iterator[PropertyNode]:
        yield PropertyNode(1)

    def has_node(self, key: int) -> bool:
        return key > 0

    def add_edge(self, edge: MemoryEdge, *, commit: bool = True) -> int:
        return 1

    def get_edge_between(self, source: int, target: int, of_type: str | None = None) -> StoredEdge | None:
        return None

    def get_edges_for_node(self, key: int) -> Iterator[StoredEdge]:
        yield StoredEdge(key, Rel("semantic", "auto_discovered"))

    def remove_edge(self, edge_id: int) -> None:
        pass


class DefaultsService:
    """Other names for the two positional parameters, every keyword with a default."""

    def find_similar(self, query: Node, skip: Collection[str] = (), top_k: int | None = 10,
                     threshold: float | None = None, exclude_self: bool = True,
                     candidate_ids: Iterable[Any] | None = None,
                     node_lookup: Mapping[Any, Node] | None = None) -> list[tuple[Node, float]]:
        return []


class KwargsService:
    def find_similar(self, node: Any, exclude: list[str], **options: object) -> Iterator[tuple[TupleNode, str]]:
        yield TupleNode(("a", 1)), "0.5"


class VarargsService:
    def find_similar(self, *args: Any, **kwargs: Any) -> tuple[tuple[PropertyNode, int], ...]:
        return ()


def wire(service: SimilarityService, graph: Graph) -> vantor_lacet.LacetExtension:
    return vantor_lacet.build_extension(service, graph)


# the reference host's approximate service (the README wires the exact one)
vantor_lacet.build_extension(ApproximateSimilarityService(), MemoryGraph())

graph = SqlGraph()
for service in (DefaultsService(), KwargsService(), VarargsService()):
    ext = wire(service, graph)
    ext = vantor_lacet.LacetExtension(service, graph, vantor_lacet.LacetConfig(max_semantic_edges_per_node=None))
    ext.on_ingest(graph, PropertyNode(2))
    ext.on_ingest(graph, TupleNode(("b", 2), (0.5, 0.5)))
    ext.on_ingest_batch(graph, (PropertyNode(i) for i in range(3)))
    ext.on_forget([1, ("b", 2)])


def restart(ext: vantor_lacet.LacetExtension, last_ingested: str | None) -> list[str]:
    """A host over a store: the chain carried over a restart (or cleared), the
    candidate index checked against the stored memories, the evicted edge ids
    kept as the strings its MemoryEdge makes."""
    ext._last_id = last_ingested
    ext._last_id = None
    if last_ingested is not None:
        ext._last_id = last_ingested
    previous: str | None = ext._last_id
    assert ext._candidate_ids == ext._node_lookup.keys()
    stored: set[str] = set(ext._candidate_ids)
    for node_id, node in ext._node_lookup.items():
        assert node_id in stored and node.content_embedding is not None
    result = ext.on_ingest(MemoryGraph(), MemoryNode(id="m2", content_embedding=[0.1]))
    ids: list[str] = result.evicted_edge_ids
    return ids + [previous or ""]
