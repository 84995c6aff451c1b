from __future__ import annotations

import logging
from dataclasses import dataclass, field
from typing import Any, Optional

from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata, share_edge_fields_set

logger = logging.getLogger("vantor_lacet.former")

DEFAULT_SIMILARITY_THRESHOLD = 0.7
DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE = 8
DEFAULT_SEED_COUNT = 5
DEFAULT_MAX_ITERATIONS = 3
SEMANTIC_SUBTYPE = "auto_discovered"
CHAIN_SUBTYPE = "auto_chain"


@dataclass
class LacetConfig:
    similarity_threshold: float = DEFAULT_SIMILARITY_THRESHOLD
    max_semantic_edges_per_node: int = DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE
    temporal_chain: bool = True
    seed_count: int = DEFAULT_SEED_COUNT
    max_iterations: int = DEFAULT_MAX_ITERATIONS
    coverage_gossip_weight: float = 0.25


@dataclass
class LacetIngestResult:
    created: list[MemoryEdge] = field(default_factory=list)
    evicted_edge_ids: list[str] = field(default_factory=list)


def _register(candidate_ids: Any, node_lookup: Any, node: Any, owner: Any = None) -> None:
    """`candidate_ids.add(node.id)`, then `node_lookup[node.id] = node`
    (`node_lookup` read from `owner` when not given). When the second half
    fails, the id the first half added is taken out of the set again, so
    that every id of the set resolves through the dict."""
    node_id = node.id
    size_before = set.__len__(candidate_ids) if isinstance(candidate_ids, set) else -1
    candidate_ids.add(node_id)
    try:
        if owner is not None:
            node_lookup = owner._node_lookup
        node_lookup[node.id] = node
    except BaseException:
        if size_before >= 0 and set.__len__(candidate_ids) > size_before:
            candidate_ids.discard(node_id)
        raise


class LacetExtension:
    def __init__(self, service: Any, graph: Any, config: Optional[LacetConfig] = None) -> None:
        self._service = service
        self._config = config or LacetConfig()
        self._last_id = None
        self._candidate_ids = candidate_ids = set()
        self._node_lookup = node_lookup = {}
        for node in graph.all_nodes():
            if node.content_embedding is None:
                continue
            _register(candidate_ids, node_lookup, node)

    @property
    def config(self) -> LacetConfig:
        return self._config

    def on_ingest(self, graph: Any, node: Any) -> LacetIngestResult:
        result = LacetIngestResult()

        if (
            self._config.temporal_chain
            and self._last_id is not None
            and self._last_id != node.id
            and graph.has_node(self._last_id)
        ):
            chain_edge = share_edge_fields_set(
                MemoryEdge(
                    source_node=self._last_id,
                    target_node=node.id,
                    relationship=RelationshipMetadata(
                        type=RelationshipType.TEMPORAL,
                        subtype=CHAIN_SUBTYPE,
                        description="adjacent ingest order",
                    ),
                )
            )
            try:
                graph.add_edge(chain_edge)
                result.created.append(chain_edge)
            except (ValueError, KeyError):
                logger.debug("lacet: chain edge rejected", exc_info=True)

        similar = []
        if node.content_embedding is not None and self._candidate_ids:
            try:
                similar = self._service.find_similar(
                    node,
                    [],
                    top_k=self._config.max_semantic_edges_per_node,
                    threshold=self._config.similarity_threshold,
                    exclude_self=True,
                    candidate_ids=self._candidate_ids,
                    node_lookup=self._node_lookup,
                )
            except Exception:
                logger.warning("lacet: similarity search failed", exc_info=True)
                similar = []

        for candidate, similarity in similar:
            if candidate.id == node.id:
                continue
            if self._are_connected(graph, node.id, candidate.id):
                continue
            sim = float(similarity)
            if sim != sim:
                # NaN orders with nothing: it can neither win nor lose a cap
                # contest, so such a candidate is passed over.
                continue
            if not self._enforce_cap(graph, node.id, candidate.id, sim, result):
                continue
            edge = share_edge_fields_set(
                MemoryEdge(
                    source_node=node.id,
                    target_node=candidate.id,
                    relationship=RelationshipMetadata(
                        type=RelationshipType.SEMANTIC,
                        subtype=SEMANTIC_SUBTYPE,
                        bidirectional=True,
                    ),
                    weight=WeightMetadata(current=sim, initial=sim),
                )
            )
            try:
                graph.add_edge(edge)
                result.created.append(edge)
            except (ValueError, KeyError):
                logger.debug("lacet: semantic edge rejected", exc_info=True)

        if node.content_embedding is not None:
            _register(self._candidate_ids, None, node, self)
        self._last_id = node.id
        return result

    def on_ingest_batch(self, graph: Any, nodes: list[Any]) -> LacetIngestResult:
        # One private pass-safe copy: a one-shot iterator would otherwise be
        # used up by the registration pass and leave nothing to form edges for.
        nodes = list(nodes)
        result = LacetIngestResult()
        for node in nodes:
            if node.content_embedding is not None:
                _register(self._candidate_ids, None, node, self)
        for node in nodes:
            try:
                one = self.on_ingest(graph, node)
            except Exception:
                logger.warning("lacet: batched formation failed for %s", node.id, exc_info=True)
                continue
            result.created.extend(one.created)
            result.evicted_edge_ids.extend(one.evicted_edge_ids)
        return result

    def on_forget(self, node_ids: list[str]) -> None:
        for node_id in node_ids:
            self._candidate_ids.discard(node_id)
            self._node_lookup.pop(node_id, None)
            if self._last_id == node_id:
                self._last_id = None

    def retrieval_context(self, max_results: int) -> Any:
        from vantor.agents.gossip_retriever import MAX_RESULTS_CEILING, SEED_COUNT_CEILING, RetrievalContext

        return RetrievalContext(
            seed_count=min(self._config.seed_count, SEED_COUNT_CEILING),
            max_iterations=self._config.max_iterations,
            max_results=min(max(int(max_results), 1), MAX_RESULTS_CEILING),
            degree_normalization=False,
            use_volume_termination=False,
            strengthen_on_retrieval=False,
            coverage_harvest=True,
            coverage_gossip_weight=self._config.coverage_gossip_weight,
        )

    @staticmethod
    def _are_connected(graph: Any, a_id: str, b_id: str) -> bool:
        if graph.get_edge_between(a_id, b_id) is not None:
            return True
        return graph.get_edge_between(b_id, a_id) is not None

    def _enforce_cap(self, graph: Any, a_id: str, b_id: str, similarity: float, result: LacetIngestResult) -> bool:
        cap = self._config.max_semantic_edges_per_node
        if cap is None:
            return True
        if cap <= 0:
            return True

        def weight_of(edge):
            return edge.weight.current

        # Decide for both ends before touching the graph: a proposal refused at
        # either end removes nothing. Returns the edges to evict, or None to refuse.
        def plan(node_id, already):
            semantic_type = RelationshipType.SEMANTIC
            semantic = [e for e in graph.get_edges_for_node(node_id) if e.relationship.type == semantic_type]
            for p in already:
                pid = p.id
                semantic = [e for e in semantic if e.id != pid]
            planned = []
            while len(semantic) >= cap:
                prunable = [e for e in semantic if (e.relationship.subtype or "").startswith(SEMANTIC_SUBTYPE)]
                if not prunable:
                    return None
                weakest = min(prunable, key=weight_of)
                if weakest.weight.current >= similarity:
                    return None
                planned.append(weakest)
                wid = weakest.id
                semantic = [e for e in semantic if e.id != wid]
            return planned

        plan_a = plan(a_id, ())
        if plan_a is None:
            return False
        plan_b = plan(b_id, plan_a)
        if plan_b is None:
            return False
        for e in plan_a + plan_b:
            graph.remove_edge(e.id)
            result.evicted_edge_ids.append(e.id)
        return True
