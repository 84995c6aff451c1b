"""The edge model vantor_lacet imports when it loads: five names, nothing more."""
from __future__ import annotations

import enum
import uuid
from dataclasses import dataclass, field


class RelationshipType(enum.Enum):
    TEMPORAL = "temporal"
    SEMANTIC = "semantic"


@dataclass
class RelationshipMetadata:
    type: RelationshipType
    subtype: str | None = None
    description: str | None = None    # the package sets it on chain edges only
    bidirectional: bool = False       # the package sets it on semantic edges only


@dataclass
class WeightMetadata:
    current: float = 1.0              # chain edges are built without a weight
    initial: float = 1.0


def _new_edge_id() -> str:
    # Random, so that ids made after a restart never repeat those of a reloaded graph.
    return uuid.uuid4().hex


@dataclass
class MemoryEdge:
    source_node: str
    target_node: str
    relationship: RelationshipMetadata
    weight: WeightMetadata = field(default_factory=WeightMetadata)
    id: str = field(default_factory=_new_edge_id)


def share_edge_fields_set(edge: MemoryEdge) -> MemoryEdge:
    # Nothing to share in this host: the edge built is the edge added.
    return edge
