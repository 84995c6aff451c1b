"""What a store keeps of nodes and edges, and what it reads back: the checks
that keep ids and texts exact, the columns of an edge row, and the objects
built from rows.

Ids are kept exactly or refused: a node or edge id must be a `str` (of that
type exactly) that encodes as UTF-8 and holds no NUL character. Edges read
from a store are new objects built from its rows; changing one does not
change the stored edge.
"""
from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import numpy as np

from vantor.core.edge import (
    MemoryEdge,
    RelationshipMetadata,
    RelationshipType,
    WeightMetadata,
    share_edge_fields_set,
)
from vantor_lacet_stores.errors import MemoryRefused
from vantor_lacet_stores.statements.columns import EDGE_COLUMNS, LAST_INGESTED
from vantor_lacet_stores.statements.pg_types import PgVector, vector_bytes

if TYPE_CHECKING:
    from vantor_lacet_stores.statements.pg_graph import PgStatements

__all__ = ["EDGE_COLUMNS", "LAST_INGESTED", "StoredNode", "RowReader", "apply_params", "check_edge",
           "check_id", "check_text", "edge_row", "embedding_bytes", "node_row", "pg_node_row",
           "vector_param"]



class StoredNode:
    """A memory read back from a store: `id`, `content`, `content_embedding` (a
    float32 array, or None) and `metadata`, as they were stored."""

    __slots__ = ("id", "content", "content_embedding", "metadata")

    def __init__(self, id: str, content: str, content_embedding: Any, metadata: Any) -> None:
        self.id = id
        self.content = content
        self.content_embedding = content_embedding
        self.metadata = metadata

    def __repr__(self) -> str:
        return f"StoredNode({self.id!r})"


def check_id(value: Any, what: str = "node id") -> str:
    """`value` if a store keeps it exactly as an id: a `str` (exactly) that encodes
    as UTF-8 and holds no NUL. Otherwise `MemoryRefused` naming it (for an edge's
    id, which the package makes: TypeError or ValueError, as a graph raises them)."""
    if type(value) is not str:
        kind = MemoryRefused if what == "node id" else TypeError
        raise kind(f"{what} {value!r} is of type {type(value).__name__}: "
                   "the stores keep str ids only")
    check_text(value, what, nul=False)
    return value


def check_text(value: Any, what: str, nul: bool) -> None:
    """`MemoryRefused` naming `value` (ValueError for a text of an edge) unless it
    encodes as UTF-8 (and, with `nul` false, holds no NUL character)."""
    kind = ValueError if "edge" in what else MemoryRefused
    if not nul and "\x00" in value:
        raise kind(f"{what} {value!r} holds a NUL character, which the store cannot keep")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise kind(f"{what} {value!r} is not valid Unicode text "
                   "(a lone surrogate), which the store cannot keep") from None


def embedding_bytes(embedding: Any) -> bytes | None:
    if embedding is None:
        return None
    return np.asarray(embedding, dtype=np.float32).ravel().tobytes()


def node_row(node: Any, nul: bool) -> tuple[Any, ...]:
    """The row `node` is stored as (id, content, embedding bytes, metadata JSON);
    `MemoryRefused`, naming the node, for an id or a text a store cannot
    keep exactly (`nul`: whether its texts may hold NUL). Writes nothing."""
    node_id = check_id(node.id)
    if type(node.content) is not str:
        raise MemoryRefused(f"content of node {node_id!r} is of type "
                        f"{type(node.content).__name__}, not str")
    check_text(node.content, f"content of node {node_id!r}", nul)
    try:
        metadata = json.dumps(node.metadata)
    except (TypeError, ValueError) as exc:
        raise MemoryRefused(f"metadata of node {node_id!r} is not JSON: {exc}") from None
    return (node_id, node.content, embedding_bytes(node.content_embedding), metadata)


def edge_row(edge: Any) -> tuple[Any, ...]:
    rel, weight = edge.relationship, edge.weight
    return (edge.id, edge.source_node, edge.target_node, rel.type.value, rel.subtype,
            rel.description, bool(rel.bidirectional), float(weight.current), float(weight.initial))


class RowReader:
    """Builds edges and nodes from rows. Relationship records are shared between
    edges of the same kind (a bounded cache); a node read twice is the same object
    while `nodes` holds it."""

    def __init__(self) -> None:
        self.nodes: dict[str, Any] = {}  # id -> the object handed out for it
        self._relationships: dict[tuple[Any, ...], RelationshipMetadata] = {}

    def edge(self, row: tuple[Any, ...] | list[Any]) -> MemoryEdge:
        edge_id, source, target, kind, subtype, description, bidirectional, current, initial = row[:9]
        key = (kind, subtype, description, bool(bidirectional))
        rel = self._relationships.get(key)
        if rel is None:
            rel = RelationshipMetadata(type=RelationshipType(kind), subtype=subtype,
                                       description=description, bidirectional=bool(bidirectional))
            if len(self._relationships) < 4096:  # free-text descriptions: keep it bounded
                self._relationships[key] = rel
        return share_edge_fields_set(MemoryEdge(
            source_node=source, target_node=target, relationship=rel,
            weight=WeightMetadata(current=float(current), initial=float(initial)), id=edge_id))

    def node(self, row: tuple[Any, ...]) -> StoredNode:
        node_id, content, embedding, metadata = row
        node = self.nodes.get(node_id)
        if node is None:
            vec = None if embedding is None else np.frombuffer(bytes(embedding), dtype=np.float32)
            node = StoredNode(id=node_id, content=content, content_embedding=vec,
                              metadata=json.loads(metadata))
            self.nodes[node_id] = node
        return node


def check_edge(edge: Any) -> None:
    """TypeError or ValueError for an edge whose id or texts a store cannot keep;
    KeyError for an endpoint that cannot be a stored node (not a str)."""
    check_id(edge.id, "edge id")
    for text in (edge.relationship.subtype, edge.relationship.description):
        if isinstance(text, str):
            check_text(text, f"a text of edge {edge.id!r}", nul=False)
    for end in (edge.source_node, edge.target_node):
        if type(end) is not str:  # no such node: the stores hold str ids only
            raise KeyError(end)


# -- rows for PostgreSQL with pgvector ------------------------------------------------

def vector_param(embedding: Any, dimensions: int, node_id: Any) -> PgVector | None:
    """The embedding in pgvector's binary form: None for a zero vector (never
    searched). `MemoryRefused` naming the node for another dimension, NaN or
    infinity. Whole-array numpy work: nothing is formatted per value."""
    vec = np.asarray(embedding, dtype=np.float32).ravel()
    if vec.size != dimensions:
        raise MemoryRefused(f"embedding of node {node_id!r} has {vec.size} dimensions, "
                         f"the graph's vectors {dimensions}")
    if not np.isfinite(vec).all():
        raise MemoryRefused(f"embedding of node {node_id!r} holds NaN or infinity")
    if not vec.any():
        return None
    return vector_bytes(vec)


def pg_node_row(node: Any, dimensions: int | None) -> tuple[Any, ...]:
    """The row a memory is stored as in a graph that keeps `dimensions`-dimensional
    vectors (None: none): `rows.node_row`, then its vector for pgvector
    (`vector_param`). `MemoryRefused` naming the node for what the store cannot keep."""
    row = node_row(node, nul=False)
    if not dimensions:
        return row
    embedding = node.content_embedding
    return row + (None if embedding is None else vector_param(embedding, dimensions, row[0]),)


def apply_params(stmts: PgStatements, removes: list[str], adds: list[Any], last: str | None,
                 nodes: list[tuple[Any, ...]]) -> dict[str, Any]:
    """The parameters of `stmts.apply`: `nodes` are rows of `node_row` (or
    `pg_node_row`). The edges' rows and the nodes' texts go as JSON arrays; a
    weight as the text of its `repr`, which reads back as the same float8 (NaN
    and infinities too, which JSON has no numbers for)."""
    edges = []
    for edge in adds:
        row = edge_row(edge)
        edges.append((*row[:7], repr(row[7]), repr(row[8])))
    params: dict[str, Any] = {
        "removes": removes, "last": last,
        "edges": json.dumps(edges, ensure_ascii=False),
        "nodes": json.dumps([row[:2] + (row[3],) for row in nodes], ensure_ascii=False),
        "embeddings": [row[2] for row in nodes]}
    if stmts.dimensions:
        params["vecs"] = [row[4] for row in nodes]
    return params
