"""What vantor_lacet imports inside retrieval_context: two ceilings and the record it builds."""
from __future__ import annotations

from dataclasses import dataclass

MAX_RESULTS_CEILING: int = 25
SEED_COUNT_CEILING: int = 4


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
