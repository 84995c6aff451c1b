from __future__ import annotations

import enum
import uuid
from dataclasses import dataclass, field


class RelationshipType(enum.Enum):
    TEMPORAL = "temporal"
    SEMANTIC = "semantic"
    CAUSAL = "causal"
    ASSOCIATIVE = "associative"


# Frozen so that one instance can be shared by many edges (see share_edge_fields_set).
@dataclass(frozen=True)
class RelationshipMetadata:
    type: RelationshipType
    subtype: str | None = None
    description: str | None = None
    bidirectional: bool = False


DEFAULT_WEIGHT: float = 0.5


# Mutable: retrieval may strengthen or decay `current`; `initial` keeps the weight at creation.
@dataclass
class WeightMetadata:
    current: float = DEFAULT_WEIGHT
    initial: float = DEFAULT_WEIGHT


def _next_edge_id() -> str:
    # Random rather than counted: a counter starts again in every process, so
    # new edges would repeat the ids of a graph reloaded from an earlier one,
    # and add_edge would refuse them as duplicates.
    return f"edge-{uuid.uuid4().hex}"


@dataclass
class MemoryEdge:
    source_node: str
    target_node: str
    relationship: RelationshipMetadata
    weight: WeightMetadata = field(default_factory=WeightMetadata)
    id: str = field(default_factory=_next_edge_id)


# Distinct relationship field sets are few in practice (a handful of types and
# subtypes), so edges share one metadata object per set. The pool is bounded so
# that free-text descriptions cannot grow it without limit.
_SHARED_POOL_LIMIT = 4096
_shared_relationships: dict[RelationshipMetadata, RelationshipMetadata] = {}


def share_edge_fields_set(edge: MemoryEdge) -> MemoryEdge:
    """Point the edge at the pooled RelationshipMetadata equal to its own; return the edge."""
    rel = edge.relationship
    try:
        shared = _shared_relationships.get(rel)
    except TypeError:  # a field that cannot be hashed: leave the edge as it is
        return edge
    if shared is None:
        if len(_shared_relationships) < _SHARED_POOL_LIMIT:
            _shared_relationships[rel] = rel
    elif shared is not rel:
        edge.relationship = shared
    return edge
