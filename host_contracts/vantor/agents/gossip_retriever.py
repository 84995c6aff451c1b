from __future__ import annotations

from dataclasses import dataclass

# Upper bounds the retriever accepts; callers clamp to them before building a context.
MAX_RESULTS_CEILING: int = 50
SEED_COUNT_CEILING: int = 10


# No defaults on purpose: a caller that forgets a parameter fails loudly.
@dataclass
class RetrievalContext:
    seed_count: int
    max_iterations: int
    max_results: int
    degree_normalization: bool
    use_volume_termination: bool
    strengthen_on_retrieval: bool
    coverage_harvest: bool
    coverage_gossip_weight: float
