"""The host objects vantor_lacet calls, as structural types for a type checker.

The package's stubs type its graph, similarity service and node arguments
with these protocols, so `mypy --strict` rejects a host whose graph lacks a
method or whose `find_similar` lacks (or misspells) a keyword. A host may
also annotate its own code with them:

    from vantor_lacet.protocols import Graph, SimilarityService

Importing this module is cheap and optional; the package itself never
imports it. Parameters that receive ids are typed `Any`, so that a graph or
service may name its own id type (any hashable value); positional
parameters are positional-only, so that a host may name them as it likes.
"""
from __future__ import annotations

from collections.abc import Hashable, Iterable
from typing import TYPE_CHECKING, Any, Protocol, SupportsFloat

if TYPE_CHECKING:
    from _typeshed import ConvertibleToFloat
    from vantor.core.edge import MemoryEdge as _MemoryEdge

__all__ = ["Edge", "EdgeRelationship", "EdgeWeight", "Graph", "Node", "SimilarityService"]


class Node(Protocol):
    """A memory: the package reads `id` and tests `content_embedding is None`."""

    @property
    def id(self) -> Hashable: ...
    @property
    def content_embedding(self) -> object: ...


class EdgeRelationship(Protocol):
    """`type` is compared with `RelationshipType.SEMANTIC`; on semantic edges,
    a `subtype` starting with "auto_discovered" marks the package's own."""

    @property
    def type(self) -> object: ...
    @property
    def subtype(self) -> str | None: ...


class EdgeWeight(Protocol):
    """`current` is compared between the package's own edges and with a float."""

    @property
    def current(self) -> SupportsFloat: ...


class Edge(Protocol):
    """An edge as `Graph.get_edges_for_node` returns it."""

    @property
    def id(self) -> Hashable: ...
    @property
    def relationship(self) -> EdgeRelationship: ...
    @property
    def weight(self) -> EdgeWeight: ...


class Graph(Protocol):
    """The six graph methods the package calls; their results are read as
    stated (`has_node` for its truth, `get_edge_between` against None)."""

    def all_nodes(self) -> Iterable[Node]: ...
    def has_node(self, node_id: Any, /) -> object: ...
    def add_edge(self, edge: _MemoryEdge, /) -> object: ...
    def get_edge_between(self, a_id: Any, b_id: Any, /) -> object: ...
    def get_edges_for_node(self, node_id: Any, /) -> Iterable[Edge]: ...
    def remove_edge(self, edge_id: Any, /) -> object: ...


class SimilarityService(Protocol):
    """`find_similar(node, [], top_k=..., threshold=..., exclude_self=True,
    candidate_ids=..., node_lookup=...)`: the node being ingested and a fresh
    empty list by position, then five keywords. `top_k` is the configured cap
    (None when it is off), `candidate_ids` and `node_lookup` the extension's
    own live set and dict. Returns (candidate node, similarity) pairs."""

    def find_similar(
        self,
        node: Any,
        exclude: list[Any],
        /,
        *,
        top_k: int | None,
        threshold: float,
        exclude_self: bool,
        candidate_ids: set[Any],
        node_lookup: dict[Any, Any],
    ) -> Iterable[tuple[Node, ConvertibleToFloat]]: ...
