"""What every connection to a graph's server sets first."""
from __future__ import annotations


def session_settings(ef_search: int | None, lease_seconds: float | None = 5.0) -> list[str]:
    """The settings of a host's sessions. A generic plan cannot know how many ids
    an array holds and may scan every edge for a neighbourhood: each statement
    is planned for its values (a tenth of a millisecond) rather than with one plan
    made when the graph was small. `ef_search`: pgvector's HNSW search breadth
    (None: the server has no pgvector to set it for). No transaction may stay
    open, nor a lock be waited for, much longer than a lease: a holder stopped
    inside one (paused, cut off) would keep the graph's owner row locked, and
    every other process from taking the graph, for as long as it is stopped."""
    settings = ["SET plan_cache_mode TO force_custom_plan"]
    if ef_search is not None:
        settings.append(f"SET hnsw.ef_search TO {int(ef_search)}")
    bound = 5.0 if lease_seconds is None else float(lease_seconds)
    settings.append(f"SET idle_in_transaction_session_timeout TO {int(bound * 1000)}")
    settings.append(f"SET lock_timeout TO {int(bound * 1000)}")
    return settings
