"""The stream: memories stored and linked batch by batch through host.py, with
every part of each batch timed and the edges formed and evicted counted."""
from __future__ import annotations

import gc
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from lacet_demo import host
from lacet_demo.corpus import Memory
from lacet_demo.graph_view import edge_kind
from lacet_demo.progress import Progress
from lacet_demo.timing import GC, TimedGraph, TimedService, clock


class BatchTimes(NamedTuple):
    """One batch: the memories held after it, its size, the wall-clock seconds of
    each part, the batch's CPU time over its wall time, and the number of pairs
    the searches returned and of graph calls the extension made."""
    held: int
    count: int
    package: float
    search: float
    index: float
    graph: float
    gc: float
    cpu_share: float
    hits: int
    graph_calls: int


@dataclass
class StreamStats:
    memories: int = 0
    wall: float = 0.0
    cpu: float = 0.0                 # process CPU time of the stream
    in_batch_calls: float = 0.0      # time inside on_ingest_batch, search included
    search: float = 0.0
    search_calls: int = 0
    index: float = 0.0               # the service's index upkeep (add, remove)
    graph: float = 0.0               # the graph's own work: add_node and the extension's calls
    created: Counter = field(default_factory=Counter)
    evicted_weights: list[float] = field(default_factory=list)
    formed_weights: list[float] = field(default_factory=list)
    evictions: int = 0
    gc: float = 0.0                  # the cyclic garbage collector
    per_batch: list[BatchTimes] = field(default_factory=list)

    @property
    def package(self) -> float:
        return sum(row.package for row in self.per_batch)


class Run(NamedTuple):
    graph: TimedGraph
    service: TimedService
    ext: Any
    description: str  # the host's search, for the summary


def start(search: str, config: Any) -> Run:
    """The host of host.py, its graph and search behind timing wrappers."""
    made = host.make_host(search)
    graph, service = TimedGraph(made.graph), TimedService(made.service)
    return Run(graph, service, host.connect(graph, service, config), made.description)


def stream(run: Run, memories: list[Memory], batch_size: int, progress: bool = True) -> StreamStats:
    stats = StreamStats()
    semantic_weight: dict[str, float] = {}   # id -> weight of semantic edges formed so far
    bar = Progress(len(memories)) if progress else None
    t_start, cpu_start = time.perf_counter(), time.process_time()
    gc.callbacks.append(GC)
    try:
        for begin in range(0, len(memories), batch_size):
            _stream_batch(run, memories[begin:begin + batch_size], begin, stats, semantic_weight)
            if bar:
                bar.update(min(begin + batch_size, len(memories)))
    finally:
        gc.callbacks.remove(GC)
    stats.wall = time.perf_counter() - t_start
    stats.cpu = time.process_time() - cpu_start
    if bar:
        bar.close()
    stats.memories = len(memories)
    stats.search = run.service.seconds
    stats.search_calls = run.service.calls
    stats.index = sum(row.index for row in stats.per_batch)
    stats.graph = sum(row.graph for row in stats.per_batch)
    stats.gc = sum(row.gc for row in stats.per_batch)
    return stats


def _stream_batch(run: Run, memories: list[Memory], begin: int, stats: StreamStats,
                  semantic_weight: dict[str, float]) -> None:
    graph, service = run.graph, run.service
    g0, i0, gc0 = graph.seconds, service.index_seconds, GC.seconds
    w0, c0 = time.perf_counter(), time.thread_time()
    batch = [host.as_node(m) for m in memories]
    host.store(graph, batch)
    g1, i1, s1 = graph.seconds, service.index_seconds, service.seconds
    hits, calls = service.hits, graph.calls
    t0 = clock()
    result = host.link(graph, run.ext, batch)
    in_batch = clock() - t0
    search, in_graph = service.seconds - s1, graph.seconds - g1
    stats.in_batch_calls += in_batch
    for edge in result.created:
        kind = edge_kind(edge)
        stats.created[kind] += 1
        if kind == "semantic":
            w = float(edge.weight.current)
            semantic_weight[edge.id] = w
            stats.formed_weights.append(w)
    for edge_id in result.evicted_edge_ids:
        stats.evictions += 1
        w = semantic_weight.pop(edge_id, None)
        if w is not None:
            stats.evicted_weights.append(w)
    cpu_share = (time.thread_time() - c0) / max(time.perf_counter() - w0, 1e-9)
    stats.per_batch.append(BatchTimes(begin + len(batch), len(batch), in_batch - search - in_graph,
                                      search, i1 - i0, (g1 - g0) - (i1 - i0) + in_graph,
                                      GC.seconds - gc0, min(cpu_share, 1.0), service.hits - hits,
                                      graph.calls - calls))
