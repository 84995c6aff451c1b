import logging as logging
from collections.abc import Hashable, Iterable
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import Any as Any
from typing import Final
from typing import Optional as Optional

from vantor.core.edge import MemoryEdge as MemoryEdge
from vantor.core.edge import RelationshipMetadata as RelationshipMetadata
from vantor.core.edge import RelationshipType as RelationshipType
from vantor.core.edge import WeightMetadata as WeightMetadata
from vantor.core.edge import share_edge_fields_set as share_edge_fields_set

# The record retrieval_context builds is the host's own class; a stub is never
# run, so naming it here imports nothing when the package loads.
from vantor.agents.gossip_retriever import RetrievalContext

# The host objects, as structural types (vantor_lacet/protocols.py); named
# here without re-export, so the native module is not expected to hold them.
from vantor_lacet.protocols import Graph, Node, SimilarityService

annotations: Any
logger: logging.Logger

DEFAULT_SIMILARITY_THRESHOLD: float
DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE: int
DEFAULT_SEED_COUNT: int
DEFAULT_MAX_ITERATIONS: int
SEMANTIC_SUBTYPE: str
CHAIN_SUBTYPE: str

@dataclass
class LacetConfig:
    similarity_threshold: float = ...
    max_semantic_edges_per_node: int | None = ...
    temporal_chain: bool = ...
    seed_count: int = ...
    max_iterations: int = ...
    coverage_gossip_weight: float = ...

# The fields as the record's own __annotations__ declare them. Edge ids are
# str in practice (MemoryEdge makes them); a host whose ids are of another
# hashable type gets them in evicted_edge_ids as they are.
@dataclass
class LacetIngestResult:
    created: list[MemoryEdge] = ...
    evicted_edge_ids: list[str] = ...

class LacetExtension:
    def __init__(
        self, service: SimilarityService, graph: Graph, config: Optional[LacetConfig] = None
    ) -> None: ...
    @property
    def config(self) -> LacetConfig: ...
    # The state a host may use between calls (docs/host-contract.md), plain
    # instance attributes at run time. Ids are typed str, as the record types
    # edge ids; other hashable ids are kept as they are.
    # The previous memory of the chain: a host may set it, to a node id or
    # None, to carry the chain over a restart.
    _last_id: str | None
    # The candidate index: read-only. Replacing either object is rejected
    # here; change their contents only through on_ingest, on_ingest_batch
    # and on_forget.
    _candidate_ids: Final[set[str]]
    _node_lookup: Final[dict[str, Node]]
    def on_ingest(self, graph: Graph, node: Node) -> LacetIngestResult: ...
    def on_ingest_batch(self, graph: Graph, nodes: Iterable[Node]) -> LacetIngestResult: ...
    def on_forget(self, node_ids: Iterable[Hashable]) -> None: ...
    def retrieval_context(self, max_results: int) -> RetrievalContext: ...
    @staticmethod
    def _are_connected(graph: Graph, a_id: Hashable, b_id: Hashable) -> bool: ...
    def _enforce_cap(
        self, graph: Graph, a_id: Hashable, b_id: Hashable, similarity: float,
        result: LacetIngestResult,
    ) -> bool: ...
