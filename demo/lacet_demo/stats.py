"""Time and work per memory, from the stream's records of each batch."""
from __future__ import annotations

import resource

from lacet_demo.stream import StreamStats

PARTS = ("package (own work)", "host edge model, called by the package", "host search: queries",
         "host search: index upkeep", "host graph", "garbage collector")
_FIELDS = ("package", "edge_model", "search", "index", "graph", "gc")  # BatchTimes field of each


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux: KiB


def time_per_memory(stats: StreamStats, held_from: float, held_to: float) -> list[float] | None:
    """CPU microseconds per memory of each part over the batches that ended with
    held_from < memories held <= held_to; None when there are none.

    The parts are timed on the wall clock, which on a shared machine also counts
    the time other processes held the core. Each batch's parts are therefore
    scaled by that batch's share of CPU time (thread CPU time over wall time):
    CPU time split between the parts as the wall clock saw it."""
    rows = [r for r in stats.per_batch if held_from < r.held <= held_to]
    count = sum(r.count for r in rows)
    if not count:
        return None
    return [1e6 * sum(getattr(r, part) * r.cpu_share for r in rows) / count for part in _FIELDS]


def work_per_memory(stats: StreamStats, held_from: float, held_to: float) -> tuple[float, float]:
    """Pairs the search returned and graph calls the extension made, per memory."""
    rows = [r for r in stats.per_batch if held_from < r.held <= held_to]
    count = max(sum(r.count for r in rows), 1)
    return sum(r.hits for r in rows) / count, sum(r.graph_calls for r in rows) / count


def checkpoints(total: int) -> list[int]:
    marks = [10 ** e for e in range(3, 8) if 10 ** e < total]
    return marks + [total]


def time_per_memory_at_checkpoints(stats: StreamStats) -> dict[int, list[float]]:
    """Time per memory by part in the last tenth before each power of ten and the end."""
    table: dict[int, list[float]] = {}
    for mark in checkpoints(stats.memories):
        row = time_per_memory(stats, 0.9 * mark, mark)
        if row is not None:
            table[mark] = row
    return table
