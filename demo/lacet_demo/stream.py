"""The stream: memories stored and linked batch by batch through host.py, with
every part of each batch timed and the edges formed and evicted counted."""
from __future__ import annotations

import gc
import time
from collections import Counter
from contextlib import ExitStack
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import vantor_lacet

from lacet_demo import host
from lacet_demo.corpus import Memory
from lacet_demo.graph_view import edge_kind
from lacet_demo.progress import Progress
from lacet_demo.timing import GC, Ledger, Overhead, TimedGraph, TimedService, calibrate

# The host's edge model, which the package calls to build each edge: the names
# it looks up in its module vantor_lacet.former at each use.
EDGE_MODEL = ("MemoryEdge", "RelationshipMetadata", "WeightMetadata", "share_edge_fields_set")
_KEYWORD_CALLS = {"MemoryEdge", "RelationshipMetadata", "WeightMetadata"}


class BatchTimes(NamedTuple):
    """One batch: the memories held after it, its size, the wall-clock seconds of
    each part (the timing wrappers' own cost taken out, and shown apart), the
    batch's CPU time over its wall time, and the number of pairs the searches
    returned and of graph calls the extension made."""
    held: int
    count: int
    package: float      # the package's own work
    edge_model: float   # the host's edge model, called by the package
    search: float
    index: float
    graph: float
    gc: float
    wrappers: float     # the timing wrappers' own cost, taken out of the parts above
    cpu_share: float
    hits: int
    graph_calls: int


@dataclass
class StreamStats:
    memories: int = 0
    wall: float = 0.0
    cpu: float = 0.0                 # process CPU time of the stream
    in_batch_calls: float = 0.0      # time inside on_ingest_batch, host calls included
    search_calls: int = 0
    timed_calls: int = 0             # calls through a timing wrapper
    created: Counter = field(default_factory=Counter)
    evicted_weights: list[float] = field(default_factory=list)
    formed_weights: list[float] = field(default_factory=list)
    evictions: int = 0
    round_trips: int | None = None   # statements sent to the graph's store (see round_trips)
    per_batch: list[BatchTimes] = field(default_factory=list)

    def total(self, part: str) -> float:
        """Wall-clock seconds of a BatchTimes part over the whole stream."""
        return sum(getattr(row, part) for row in self.per_batch)

    # Each part of BatchTimes, summed over the stream.
    package = property(lambda self: self.total("package"))
    edge_model = property(lambda self: self.total("edge_model"))
    search = property(lambda self: self.total("search"))
    index = property(lambda self: self.total("index"))
    graph = property(lambda self: self.total("graph"))
    gc = property(lambda self: self.total("gc"))
    wrappers = property(lambda self: self.total("wrappers"))


class Run(NamedTuple):
    graph: Any
    service: Any
    ext: Any
    description: str              # the host's search, for the summary
    ledger: Ledger
    detail: bool                  # every host call timed, or only the search and add_node
    overhead: dict[str, Overhead]  # a timing wrapper's own cost, by the shape of its calls
    snapshot: bool = True         # on a database: the extension's calls answered in sessions


def start(search: str, config: Any, detail: bool = True, graph: Any = None,
          snapshot: bool = True) -> Run:
    """The host of host.py, its search behind timing wrappers, and with detail its
    graph too (the wrappers' own cost is measured first). Without detail, the
    package's calls on the graph and its edge model are left untimed: they count
    in the package's time."""
    made = host.make_host(search, graph, snapshot)
    ledger = Ledger()
    overhead = {"keywords": calibrate("keywords"), "positional": calibrate("positional")}
    service = TimedService(made.service, ledger, overhead["keywords"], overhead["positional"])
    graph = TimedGraph(made.graph, ledger, overhead["positional"]) if detail else made.graph
    return Run(graph, service, host.connect(graph, service, config), made.description, ledger,
               detail, overhead, snapshot)


def stream(run: Run, memories: list[Memory], batch_size: int, progress: bool = True) -> StreamStats:
    stats = StreamStats()
    semantic_weight: dict[str, float] = {}   # id -> weight of semantic edges formed so far
    bar = Progress(len(memories)) if progress else None
    store = run.ledger.timed("graph" if not run.detail else "stream", host.store)
    link = run.ledger.timed("package", host.link)
    t_start, cpu_start = time.perf_counter(), time.process_time()
    trips = round_trips(run)
    with ExitStack() as undo:
        if run.detail:
            undo.enter_context(run.ledger.installed(vantor_lacet.former, {
                name: ("edge model", run.overhead["keywords" if name in _KEYWORD_CALLS
                                                  else "positional"])
                for name in EDGE_MODEL}))
        GC.ledger = run.ledger
        undo.callback(setattr, GC, "ledger", None)
        gc.callbacks.append(GC)
        undo.callback(gc.callbacks.remove, GC)
        for begin in range(0, len(memories), batch_size):
            _stream_batch(run, store, link, memories[begin:begin + batch_size], begin, stats,
                          semantic_weight)
            if bar:
                bar.update(min(begin + batch_size, len(memories)))
    stats.wall = time.perf_counter() - t_start
    stats.cpu = time.process_time() - cpu_start
    if bar:
        bar.close()
    stats.memories = len(memories)
    if trips is not None:
        stats.round_trips = round_trips(run) - trips
    stats.search_calls = run.ledger.calls("search")
    stats.timed_calls = sum(run.ledger.calls(p) for p in ("edge model", "search", "index", "graph"))
    return stats


def round_trips(run: Run) -> int | None:
    """Statements sent to the graph's store so far; for the in-memory graph, the
    calls a store would answer with one each (counted with detailed timing only)."""
    counted = getattr(run.graph, "round_trips", None)
    if counted is None and run.detail:
        counted = run.ledger.calls("graph")
    return counted


def _stream_batch(run: Run, store: Any, link: Any, memories: list[Memory], begin: int,
                  stats: StreamStats, semantic_weight: dict[str, float]) -> None:
    ledger = run.ledger
    before = ledger.snapshot()
    w0, c0 = time.perf_counter(), time.thread_time()
    batch = [host.as_node(m) for m in memories]
    store(run.graph, batch)
    stored = ledger.snapshot()
    hits = run.service.hits
    result = link(run.graph, run.ext, batch, run.snapshot)
    stats.in_batch_calls += sum(ledger.part(p, stored) for p in ("package", "edge model",
                                                                   "search", "graph"))
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
    parts = {p: ledger.part(p, before) for p in ("package", "edge model", "search", "index",
                                                  "graph", "gc")}
    stats.per_batch.append(BatchTimes(
        begin + len(batch), len(batch), parts["package"], parts["edge model"], parts["search"],
        parts["index"], parts["graph"], parts["gc"], ledger.wrapper_cost(before),
        min(cpu_share, 1.0), run.service.hits - hits,
        ledger.calls("graph", stored)))
