"""End-to-end demo: real memories streaming into the reference host.

Memories (Python standard-library docstrings with all-MiniLM-L6-v2 sentence
embeddings, shipped in demo/data/) are added to a fresh reference
``MemoryGraph`` batch by batch, and each batch is handed to the extension
through ``on_ingest_batch``. The extension forms the temporal chain and the
semantic edges under the per-node cap. At the end the demo prints a summary
table, shows three memories with the memories they were linked to, and saves
three pictures.

    .venv/bin/python demo/lacet_demo.py            # all 3,801 memories
    .venv/bin/python demo/lacet_demo.py --help     # the options
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import sys
import textwrap
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NamedTuple

# The host's exact search is one small matrix-vector product per memory: BLAS
# threads only add hand-over costs there, which grow badly on a busy machine.
# Set for command-line runs only (before numpy loads); an explicit setting wins.
if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "demo" / "data"
DEFAULT_OUT = ROOT / "demo" / "out"
_HOST = str(ROOT / "host_contracts")
if _HOST not in sys.path:
    sys.path.insert(0, _HOST)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

import vantor_lacet  # noqa: E402
from vantor.core.edge import RelationshipType  # noqa: E402
from vantor.core.graph import MemoryGraph  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor.core.similarity import SimilarityService  # noqa: E402

SEMANTIC = RelationshipType.SEMANTIC
TEMPORAL = RelationshipType.TEMPORAL


# -- data ---------------------------------------------------------------------

@dataclass(slots=True)
class Memory:
    id: str
    source: str
    text: str
    embedding: np.ndarray


def load_corpus(limit: int | None) -> list[Memory]:
    emb = np.load(DATA / "embeddings.f16.npy")
    memories = []
    with open(DATA / "corpus.jsonl", encoding="utf-8") as fh:
        for i, line in enumerate(fh):
            if limit is not None and i >= limit:
                break
            rec = json.loads(line)
            memories.append(Memory(rec["id"], rec["source"], rec["text"],
                                   emb[i].astype(np.float32)))
    if len(memories) > emb.shape[0]:
        raise SystemExit("corpus.jsonl and embeddings.f16.npy disagree in length")
    return memories


def synthetic_corpus(n: int, clusters: int = 20, dim: int = 64, seed: int = 0) -> list[Memory]:
    """n memories around `clusters` random centres, in random order."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dim))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    labels = rng.integers(0, clusters, size=n)
    vecs = np.empty((n, dim), dtype=np.float32)
    for start in range(0, n, 65536):  # in slices: no n x dim float64 temporary
        part = slice(start, min(start + 65536, n))
        block = centres[labels[part]] + rng.normal(scale=0.09, size=(part.stop - start, dim))
        vecs[part] = block / np.linalg.norm(block, axis=1, keepdims=True)
    width = max(5, len(str(n - 1)))
    return [Memory(f"s{i:0{width}d}", f"cluster{labels[i]:02d}.item{i}",
                   f"synthetic memory {i} drawn around centre {labels[i]}", vecs[i])
            for i in range(n)]


# -- host side ----------------------------------------------------------------

class GcTimer:
    """Wall-clock seconds spent in the cyclic garbage collector (a gc callback)."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self._t0 = 0.0

    def __call__(self, phase: str, info: dict) -> None:
        if phase == "start":
            self._t0 = time.perf_counter()
        else:
            self.seconds += time.perf_counter() - self._t0


_GC = GcTimer()


def _clock() -> float:
    """Wall-clock seconds, less the collector's: a collection runs inside whatever
    call allocates, and scans the whole heap, so it is timed as a part of its own."""
    return time.perf_counter() - _GC.seconds


class TimedService:
    """Passes every call through to the host's similarity service, timing the
    searches (find_similar) and the index upkeep (add, remove) apart."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.seconds = 0.0        # in find_similar
        self.calls = 0
        self.index_seconds = 0.0  # in add and remove
        self.hits = 0             # pairs returned

    def find_similar(self, *args: Any, **kwargs: Any) -> Any:
        t0 = _clock()
        try:
            result = self.inner.find_similar(*args, **kwargs)
            self.hits += len(result)
            return result
        finally:
            self.seconds += _clock() - t0
            self.calls += 1

    def add(self, node: Any) -> None:
        self._upkeep(self.inner.add, node)

    def remove(self, node_id: str) -> None:
        self._upkeep(self.inner.remove, node_id)

    def _upkeep(self, method: Any, argument: Any) -> None:
        t0 = _clock()
        try:
            method(argument)
        finally:
            self.index_seconds += _clock() - t0


def _timed(method: Any) -> Any:
    def call(self: TimedGraph, *args: Any, **kwargs: Any) -> Any:
        t0 = _clock()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.seconds += _clock() - t0
            self.calls += 1
    call.__name__ = call.__qualname__ = method.__name__
    return call


class TimedGraph(MemoryGraph):
    """The reference graph, timing the calls the extension makes on it and add_node.

    add_node includes the similarity service's index upkeep (the graph tells the
    service of each node it stores); the stream takes that back out."""

    def __init__(self) -> None:
        super().__init__()
        self.seconds = 0.0
        self.calls = 0

    add_node = _timed(MemoryGraph.add_node)
    has_node = _timed(MemoryGraph.has_node)
    add_edge = _timed(MemoryGraph.add_edge)
    get_edge_between = _timed(MemoryGraph.get_edge_between)
    get_edges_for_node = _timed(MemoryGraph.get_edges_for_node)
    remove_edge = _timed(MemoryGraph.remove_edge)


def make_service(kind: str) -> tuple[Any, str]:
    if kind == "approx":
        try:
            from vantor.core.ann_similarity import ApproximateSimilarityService
        except ImportError as exc:
            print(f"note: approximate search needs usearch, which is not importable here "
                  f"({exc}); using exact search instead", file=sys.stderr)
        else:
            return ApproximateSimilarityService(), "approximate (usearch HNSW)"
    return SimilarityService(), "exact (numpy cosine)"


class Progress:
    def __init__(self, total: int, stream=sys.stderr, width: int = 32) -> None:
        self.total, self.stream, self.width = total, stream, width
        self.t0 = time.perf_counter()
        # redrawn in place on a terminal; in a log, one line per tenth
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.next_tenth = 1

    def update(self, done: int) -> None:
        frac = done / self.total if self.total else 1.0
        if not self.live:
            if frac * 10 < self.next_tenth and done < self.total:
                return
            self.next_tenth = int(frac * 10) + 1
        fill = int(round(frac * self.width))
        rate = done / max(time.perf_counter() - self.t0, 1e-9)
        self.stream.write(f"{'\r' if self.live else ''}  [{'#' * fill}{'.' * (self.width - fill)}] "
                          f"{done:>6}/{self.total} memories  {rate:7.0f}/s{'' if self.live else chr(10)}")
        self.stream.flush()

    def close(self) -> None:
        if self.live:
            self.stream.write("\n")
            self.stream.flush()


# -- the stream ---------------------------------------------------------------

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


def edge_kind(edge: Any) -> str:
    rel = edge.relationship
    if rel.type == SEMANTIC:
        return "semantic"
    if rel.type == TEMPORAL:
        return "temporal chain"
    return str(rel.type)


def stream(memories: list[Memory], batch_size: int, config: Any, service: TimedService,
           progress: bool = True) -> tuple[MemoryGraph, Any, StreamStats]:
    graph = TimedGraph()
    graph.add_listener(service)  # the search's index follows the graph's nodes
    ext = vantor_lacet.build_extension(service, graph, config)
    stats = StreamStats()
    semantic_weight: dict[str, float] = {}   # id -> weight of semantic edges formed so far
    bar = Progress(len(memories)) if progress else None
    t_start, cpu_start = time.perf_counter(), time.process_time()
    gc.callbacks.append(_GC)
    try:
        for start in range(0, len(memories), batch_size):
            _stream_batch(memories[start:start + batch_size], start, graph, ext, service, stats,
                          semantic_weight)
            if bar:
                bar.update(min(start + batch_size, len(memories)))
    finally:
        gc.callbacks.remove(_GC)
    stats.wall = time.perf_counter() - t_start
    stats.cpu = time.process_time() - cpu_start
    if bar:
        bar.close()
    stats.memories = len(memories)
    stats.search = service.seconds
    stats.search_calls = service.calls
    stats.index = sum(row.index for row in stats.per_batch)
    stats.graph = sum(row.graph for row in stats.per_batch)
    stats.gc = sum(row.gc for row in stats.per_batch)
    return graph, ext, stats


def _stream_batch(memories: list[Memory], start: int, graph: TimedGraph, ext: Any,
                  service: TimedService, stats: StreamStats, semantic_weight: dict[str, float]) -> None:
    g0, i0, gc0 = graph.seconds, service.index_seconds, _GC.seconds
    w0, c0 = time.perf_counter(), time.thread_time()
    batch = []
    for m in memories:
        node = MemoryNode(id=m.id, content=m.text, content_embedding=m.embedding,
                          metadata={"source": m.source})
        graph.add_node(node)
        batch.append(node)
    g1, i1, s1 = graph.seconds, service.index_seconds, service.seconds
    hits, calls = service.hits, graph.calls
    t0 = _clock()
    result = ext.on_ingest_batch(graph, batch)
    in_batch = _clock() - t0
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
    stats.per_batch.append(BatchTimes(start + len(batch), len(batch), in_batch - search - in_graph,
                                      search, i1 - i0, (g1 - g0) - (i1 - i0) + in_graph,
                                      _GC.seconds - gc0, min(cpu_share, 1.0), service.hits - hits,
                                      graph.calls - calls))


# -- time per memory as memories accumulate ------------------------------------

PARTS = ("package", "host search: queries", "host search: index upkeep", "host graph",
         "garbage collector")


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
    return [1e6 * sum(getattr(r, part) * r.cpu_share for r in rows) / count
            for part in ("package", "search", "index", "graph", "gc")]


def work_per_memory(stats: StreamStats, held_from: float, held_to: float) -> tuple[float, float]:
    """Pairs the search returned and graph calls the extension made, per memory."""
    rows = [r for r in stats.per_batch if held_from < r.held <= held_to]
    count = max(sum(r.count for r in rows), 1)
    return sum(r.hits for r in rows) / count, sum(r.graph_calls for r in rows) / count


def checkpoints(total: int) -> list[int]:
    marks = [10 ** e for e in range(3, 8) if 10 ** e < total]
    return marks + [total]


def print_time_per_memory(stats: StreamStats) -> dict[int, list[float]]:
    """Time per memory by part in the last tenth before each power of ten and the end."""
    table: dict[int, list[float]] = {}
    for mark in checkpoints(stats.memories):
        row = time_per_memory(stats, 0.9 * mark, mark)
        if row is not None:
            table[mark] = row
    if not table:
        return table
    heads = ("memories held",) + PARTS + ("total", "search hits", "graph calls")
    widths = [max(len(h), 9) for h in heads]
    print("\nCPU time per memory (us) by part, over the last tenth of the stream up to each mark;"
          "\nthe work per memory: pairs the search returned, graph calls the extension made")
    print("  ".join(h.rjust(w) for h, w in zip(heads, widths)))
    for mark, row in table.items():
        cells = ([f"{mark:,}"] + [f"{v:.1f}" for v in row] + [f"{sum(row):.1f}"]
                 + [f"{v:.1f}" for v in work_per_memory(stats, 0.9 * mark, mark)])
        print("  ".join(c.rjust(w) for c, w in zip(cells, widths)))
    if 10_000 in table and stats.memories > 10_000:
        first, last = table[10_000][0], table[stats.memories][0]
        print(f"package time per memory at {stats.memories:,} against 10,000: "
              f"{last:.1f} / {first:.1f} us = {last / first:.2f}")
    return table


def plot_time_per_memory(stats: StreamStats, path: Path, title_note: str) -> None:
    held = np.array([r.held for r in stats.per_batch], dtype=float)
    lo, hi = held.min(), held.max()
    edges = np.unique(np.geomspace(max(lo, 1.0), hi, 41)) if hi > lo else np.array([lo, hi])
    # Each point averages at least a few batches: a single batch is at the mercy
    # of whatever else the machine ran at that moment.
    ends = held.tolist()
    centres, rows = [], []
    prev = 0.0
    for edge in edges:
        batches = sum(1 for h in ends if prev < h <= edge)
        if batches < 8 and edge < hi:
            continue
        row = time_per_memory(stats, prev, edge)
        if row is not None:
            centres.append(edge)
            rows.append(row)
        prev = edge
    data = np.array(rows)
    overall = time_per_memory(stats, 0, hi) or [0.0] * len(PARTS)
    fig, ax = plt.subplots(figsize=(9, 5.5))
    colours = ("#c44e52", "#4c72b0", "#8fb0d8", "#55a868", "#937860")
    for k, (name, colour) in enumerate(zip(PARTS, colours)):
        ax.plot(centres, data[:, k], marker="o", markersize=3, linewidth=1.8, color=colour,
                label=f"{name} ({overall[k]:.0f} us mean)")
    ax.plot(centres, data.sum(axis=1), color="#333333", linewidth=1.2, linestyle="--",
            label=f"total ({sum(overall):.0f} us mean)")
    ax.set_xscale("log")
    ax.set_ylim(0, None)
    ax.set_xlabel("memories held (log scale)")
    ax.set_ylabel("CPU time per memory (us)")
    ax.set_title(f"CPU time per memory as memories accumulate\n{title_note}", fontsize=11)
    ax.grid(alpha=0.3, which="both")
    ax.legend(loc="upper left", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def semantic_degrees(graph: MemoryGraph) -> dict[str, int]:
    return {n.id: sum(1 for e in graph.get_edges_for_node(n.id) if e.relationship.type == SEMANTIC)
            for n in graph.all_nodes()}


def semantic_neighbours(graph: MemoryGraph, node_id: str) -> list[tuple[str, float]]:
    """(other id, similarity) of the node's semantic edges, strongest first."""
    out = []
    for e in graph.get_edges_for_node(node_id):
        if e.relationship.type == SEMANTIC:
            other = e.target_node if e.source_node == node_id else e.source_node
            out.append((other, float(e.weight.current)))
    out.sort(key=lambda p: (-p[1], p[0]))
    return out


# -- printing -----------------------------------------------------------------

def shorten(text: str, width: int) -> str:
    return textwrap.shorten(text, width=width, placeholder=" ...")


def print_table(rows: list[tuple[str, str]], title: str) -> None:
    w = max(len(k) for k, _ in rows)
    v = max(len(x) for _, x in rows)
    line = "+" + "-" * (w + 2) + "+" + "-" * (v + 2) + "+"
    print(f"\n{title}")
    print(line)
    for k, x in rows:
        print(f"| {k:<{w}} | {x:>{v}} |")
    print(line)


def summary_rows(graph: MemoryGraph, stats: StreamStats, degrees: dict[str, int],
                 cap: Any, search_name: str, batch_size: int) -> list[tuple[str, str]]:
    by_kind = Counter(edge_kind(e) for e in graph.edges())
    degs = np.array(list(degrees.values()) or [0])
    package = stats.package
    per = 1e6 / max(stats.memories, 1)
    at_cap = int((degs >= cap).sum()) if cap else 0
    return [
        ("memories", f"{stats.memories:,}"),
        ("search", search_name),
        ("batch size", str(batch_size)),
        ("temporal chain edges", f"{by_kind['temporal chain']:,}"),
        ("semantic edges (in graph)", f"{by_kind['semantic']:,}"),
        ("semantic edges formed", f"{stats.created['semantic']:,}"),
        ("evictions by the cap", f"{stats.evictions:,}"),
        ("semantic degree mean", f"{degs.mean():.2f}"),
        ("semantic degree max (cap)", f"{degs.max()} ({cap})"),
        ("memories at the cap", f"{at_cap:,} ({100.0 * at_cap / max(len(degs), 1):.1f}%)"),
        ("memories without a semantic edge", f"{int((degs == 0).sum()):,}"),
        ("wall time of the stream", f"{stats.wall:.2f} s"),
        ("memories per second", f"{stats.memories / max(stats.wall, 1e-9):,.0f}"),
        ("time in the package", f"{package:.3f} s ({per * package:.0f} us/memory)"),
        ("time in the host's search", f"{stats.search:.3f} s ({per * stats.search:.0f} us/memory, "
                                      f"{stats.search_calls:,} calls)"),
        ("time in the search's index upkeep", f"{stats.index:.3f} s ({per * stats.index:.0f} us/memory)"),
        ("time in the host's graph", f"{stats.graph:.3f} s ({per * stats.graph:.0f} us/memory)"),
        ("time in the garbage collector", f"{stats.gc:.3f} s ({per * stats.gc:.0f} us/memory)"),
        ("process CPU time / wall time", f"{stats.cpu:.2f} s / {stats.wall:.2f} s"),
    ]


def pick_showcase(graph: MemoryGraph, degrees: dict[str, int], cap: int, count: int = 3) -> list[str]:
    """Memories with several semantic links, spread over the stream (deterministic)."""
    order = [n.id for n in graph.all_nodes()]
    want = max(3, min(cap, 8) // 2) if cap else 3
    rich = [i for i in order if degrees.get(i, 0) >= want]
    if len(rich) < count:
        rich = sorted(order, key=lambda i: (-degrees.get(i, 0), i))[:count]
        return rich
    step = len(rich) / count
    return [rich[int(step * (k + 0.5))] for k in range(count)]


def two_hop(graph: MemoryGraph, centre: str, per_neighbour: int = 3) -> tuple[list[str], list[str], dict[str, str]]:
    """The centre's semantic neighbours, and the strongest few further neighbours of each."""
    ring1 = [o for o, _ in semantic_neighbours(graph, centre)]
    ring2: list[str] = []
    parent: dict[str, str] = {}
    for r in ring1:
        taken = 0
        for o, _ in semantic_neighbours(graph, r):
            if o == centre or o in ring1 or o in parent:
                continue
            parent[o] = r
            ring2.append(o)
            taken += 1
            if taken == per_neighbour:
                break
    return ring1, ring2, parent


def pick_drawing_centre(graph: MemoryGraph, degrees: dict[str, int], cap: int) -> str:
    """The memory with the largest two-step neighbourhood, at most ~25 memories so labels stay legible."""
    best, best_key = None, None
    for node_id, deg in degrees.items():
        if deg < 3:
            continue
        ring1, ring2, _ = two_hop(graph, node_id)
        size = len(ring1) + len(ring2)
        key = (min(size, 25), -abs(size - 25), deg)
        if best_key is None or key > best_key:
            best, best_key = node_id, key
    return best if best is not None else max(degrees, key=lambda i: degrees[i])


def print_showcase(graph: MemoryGraph, ids: list[str]) -> None:
    print("\nThree memories and the memories they were linked to (similarity, source, text):")
    for node_id in ids:
        node = graph.get_node(node_id)
        print(f"\n* {node_id}  {node.metadata['source']}")
        print(f"    {shorten(node.content, 110)}")
        for other, sim in semantic_neighbours(graph, node_id):
            o = graph.get_node(other)
            print(f"    {sim:5.3f}  {o.metadata['source']:<38.38}  {shorten(o.content, 70)}")


# -- pictures -----------------------------------------------------------------

def plot_degrees(degrees: dict[str, int], cap: int, path: Path, title_note: str) -> None:
    degs = np.array(list(degrees.values()))
    top = int(max(degs.max(initial=0), cap or 0))
    bins = np.arange(-0.5, top + 1.5, 1.0)
    fig, ax = plt.subplots(figsize=(8, 5))
    counts, _, patches = ax.hist(degs, bins=bins, color="#4c72b0", edgecolor="white", rwidth=0.9)
    if cap and 0 <= cap < len(patches):
        patches[cap].set_facecolor("#c44e52")  # the memories the cap is holding back
    ax.set_ylim(0, counts.max() * 1.12 + 1)
    if cap:
        ax.axvline(cap + 0.5, color="#c44e52", linestyle="--", linewidth=2,
                   label=f"cap = {cap} semantic edges per memory")
        at_cap = int((degs >= cap).sum())
        ax.legend(loc="upper center", title=f"{at_cap:,} memories at the cap", fontsize=9,
                  title_fontsize=9)
    for x, c in zip(range(0, top + 1), counts):
        if c:
            ax.text(x, c, f"{int(c)}", ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(0, top + 1))
    ax.set_xlabel("semantic edges of a memory (degree)")
    ax.set_ylabel("memories")
    ax.set_title(f"Semantic degree per memory, {len(degs):,} memories\n{title_note}", fontsize=11)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_weights(formed: list[float], evicted: list[float], threshold: float, path: Path,
                 title_note: str) -> None:
    fig, ax = plt.subplots(figsize=(8, 5))
    lo = min([threshold] + formed + evicted)
    bins = np.linspace(lo, 1.0, 31)
    # densities, so the few evicted edges are as visible as the many formed ones
    ax.hist(formed, bins=bins, density=True, color="#4c72b0", alpha=0.5,
            label=f"all formed semantic edges ({len(formed):,})")
    if evicted:
        ax.hist(evicted, bins=bins, density=True, histtype="stepfilled", color="#dd8452",
                alpha=0.55, edgecolor="#a04e1a", linewidth=1.2,
                label=f"of these, evicted later by the cap ({len(evicted):,})")
    ax.axvline(threshold, color="#555555", linestyle=":", linewidth=1.5,
               label=f"search threshold = {threshold:g}")
    if formed:
        ax.axvline(float(np.median(formed)), color="#4c72b0", linewidth=1.2, linestyle="--",
                   label=f"median formed = {np.median(formed):.3f}")
    if evicted:
        ax.axvline(float(np.median(evicted)), color="#dd8452", linewidth=1.2, linestyle="--",
                   label=f"median evicted = {np.median(evicted):.3f}")
    ax.set_xlabel("cosine similarity = edge weight")
    ax.set_ylabel("density (area of each group = 1)")
    ax.set_title(f"Similarity of formed and evicted semantic edges\n{title_note}", fontsize=11)
    ax.legend(loc="upper right", fontsize=9)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def spring_layout(n: int, edges: list[tuple[int, int, float]], init: np.ndarray,
                  pinned: int | None = 0, iterations: int = 400, seed: int = 0) -> np.ndarray:
    """Fruchterman-Reingold layout; edge weights strengthen the pull."""
    rng = np.random.default_rng(seed)
    pos = init + rng.normal(scale=0.01, size=init.shape)
    k = 1.8 / np.sqrt(max(n, 1))   # natural edge length
    temp = 0.3
    for _ in range(iterations):
        delta = pos[:, None, :] - pos[None, :, :]
        dist = np.maximum(np.linalg.norm(delta, axis=2), 1e-3)
        disp = (delta / dist[..., None] * (k * k / dist)[..., None]).sum(axis=1)
        for a, b, w in edges:
            d = pos[a] - pos[b]
            dd = max(float(np.linalg.norm(d)), 1e-3)
            f = d / dd * (dd * dd / k) * (0.5 + w)
            disp[a] -= f
            disp[b] += f
        length = np.maximum(np.linalg.norm(disp, axis=1), 1e-9)
        pos += disp / length[:, None] * np.minimum(length, temp)[:, None]
        if pinned is not None:
            pos -= pos[pinned]
        temp = max(temp * 0.99, 0.002)
    return pos


def plot_neighbourhood(graph: MemoryGraph, centre: str, path: Path, per_neighbour: int = 3) -> None:
    ring1, ring2, parent = two_hop(graph, centre, per_neighbour)
    chain = []  # the memories chained directly to the centre
    for e in graph.get_edges_for_node(centre):
        if e.relationship.type == TEMPORAL:
            other = e.target_node if e.source_node == centre else e.source_node
            if other not in ring1 and other not in parent:
                chain.append(other)
    nodes = [centre] + ring1 + ring2 + chain
    index = {nid: i for i, nid in enumerate(nodes)}

    sem_edges: list[tuple[int, int, float]] = []
    chain_edges: list[tuple[int, int]] = []
    seen = set()
    for nid in nodes:
        for e in graph.get_edges_for_node(nid):
            if e.id in seen or e.source_node not in index or e.target_node not in index:
                continue
            seen.add(e.id)
            a, b = index[e.source_node], index[e.target_node]
            if e.relationship.type == SEMANTIC:
                sem_edges.append((a, b, float(e.weight.current)))
            elif e.relationship.type == TEMPORAL:
                chain_edges.append((a, b))

    # start from rings around the centre so the layout settles the same way each run
    init = np.zeros((len(nodes), 2))
    for j, r in enumerate(ring1):
        ang = 2 * np.pi * j / max(len(ring1), 1)
        init[index[r]] = [np.cos(ang), np.sin(ang)]
    for o in ring2:
        p = init[index[parent[o]]]
        sib = [x for x in ring2 if parent[x] == parent[o]]
        ang = np.arctan2(p[1], p[0]) + 0.5 * (sib.index(o) - (len(sib) - 1) / 2)
        init[index[o]] = 2.1 * np.array([np.cos(ang), np.sin(ang)])
    for j, c in enumerate(chain):
        init[index[c]] = [0.0, 0.8 if j == 0 else -0.8]
    pos = spring_layout(len(nodes), sem_edges + [(a, b, 1.0) for a, b in chain_edges], init)

    fig, ax = plt.subplots(figsize=(13, 10.5))
    cmap = plt.get_cmap("viridis")
    sims = [w for _, _, w in sem_edges] or [0.0]
    lo, hi = min(sims), max(sims)
    norm = matplotlib.colors.Normalize(vmin=lo, vmax=max(hi, lo + 1e-6))
    for a, b, w in sem_edges:
        ax.plot(*zip(pos[a], pos[b]), color=cmap(norm(w)), linewidth=1.0 + 4.0 * norm(w),
                alpha=0.85, zorder=1)
    for a, b in chain_edges:
        ax.annotate("", xy=pos[b], xytext=pos[a], zorder=1,
                    arrowprops=dict(arrowstyle="-|>", color="#c44e52", linestyle=(0, (4, 3)),
                                    linewidth=1.6, shrinkA=8, shrinkB=8,
                                    connectionstyle="arc3,rad=0.25"))
    groups = [([centre], "#c44e52", 420, "the memory"),
              (ring1, "#4c72b0", 220, "its semantic neighbours"),
              (ring2, "#8fb0d8", 120, "their neighbours (strongest 3 each)"),
              (chain, "#bbbbbb", 120, "chained to it only (ingest order)")]
    for ids, colour, size, _ in groups:
        if ids:
            xy = pos[[index[i] for i in ids]]
            ax.scatter(xy[:, 0], xy[:, 1], s=size, color=colour, edgecolor="black",
                       linewidth=0.6, zorder=2)
    for nid in nodes:
        i = index[nid]
        src = graph.get_node(nid).metadata["source"]
        bold = nid == centre
        ax.annotate(src, pos[i], xytext=(0, 9 if not bold else 12), textcoords="offset points",
                    ha="center", fontsize=10 if bold else 7.5,
                    fontweight="bold" if bold else "normal", zorder=3,
                    bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.75))
    handles = [Line2D([], [], marker="o", linestyle="", markersize=s ** 0.5 / 1.6,
                      markerfacecolor=c, markeredgecolor="black", label=lab)
               for ids, c, s, lab in groups if ids]
    handles.append(Line2D([], [], color=cmap(0.8), linewidth=3,
                          label="semantic edge (colour, width: similarity)"))
    if chain_edges:
        handles.append(Line2D([], [], color="#c44e52", linestyle=(0, (4, 3)), linewidth=1.6,
                              label="temporal chain edge (earlier -> later)"))
    fig.legend(handles=handles, loc="lower center", ncol=3, fontsize=9, frameon=False)
    sm = matplotlib.cm.ScalarMappable(norm=norm, cmap=cmap)
    fig.colorbar(sm, ax=ax, shrink=0.5, pad=0.01, label="similarity of semantic edge")
    text = shorten(graph.get_node(centre).content, 120)
    ax.set_title(f"Neighbourhood of {graph.get_node(centre).metadata['source']} ({centre})\n"
                 f"\"{text}\"", fontsize=11)
    pad = 0.25
    ax.set_xlim(pos[:, 0].min() - pad, pos[:, 0].max() + pad)
    ax.set_ylim(pos[:, 1].min() - pad, pos[:, 1].max() + pad)
    ax.set_axis_off()
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


# -- forgetting ---------------------------------------------------------------

def forget_demo(graph: MemoryGraph, ext: Any, service: TimedService, count: int,
                cap: int) -> dict[str, Any]:
    ids = [n.id for n in graph.all_nodes()]
    count = min(count, len(ids))
    rng = np.random.default_rng(7)
    forgotten = sorted(rng.choice(ids, size=count, replace=False).tolist()) if count else []
    kept_nodes = {fid: graph.get_node(fid) for fid in forgotten}
    before = (len(ext._candidate_ids), len(ext._node_lookup))
    edges_before = graph.edge_count
    for fid in forgotten:
        graph.remove_node(fid)
    ext.on_forget(forgotten)
    after = (len(ext._candidate_ids), len(ext._node_lookup))
    gone = set(forgotten)
    still_indexed = sorted(gone & ext._candidate_ids | gone & set(ext._node_lookup))
    print(f"\nForgetting {count} memories (removed from the graph, then ext.on_forget):")
    print(f"  edges in the graph       : {edges_before:,} -> {graph.edge_count:,}")
    print(f"  candidate index size     : {before[0]:,} -> {after[0]:,} ids, "
          f"{before[1]:,} -> {after[1]:,} lookup entries")
    print(f"  forgotten ids still indexed: {len(still_indexed)}")

    # Ask the search about each forgotten memory's own embedding: while it was
    # indexed it was its own best match. Afterwards none may come back.
    returned_forgotten: set[str] = set()
    probes = forgotten[:5]
    for fid in probes:
        hits = service.find_similar(kept_nodes[fid], [], top_k=10, threshold=None,
                                    exclude_self=False, candidate_ids=ext._candidate_ids,
                                    node_lookup=ext._node_lookup)
        hit_ids = [n.id for n, _ in hits]
        returned_forgotten |= gone & set(hit_ids)
        best = hits[0] if hits else None
        shown = f"{best[0].id} ({best[1]:.3f})" if best else "none"
        print(f"  search with {fid}'s own embedding: best hit {shown}; "
              f"forgotten ids among top 10: {len(gone & set(hit_ids))}")
    # New memories carrying the forgotten embeddings: their edges must avoid the forgotten ids.
    linked_to_forgotten = 0
    for k, fid in enumerate(probes):
        probe = MemoryNode(id=f"probe-{k}", content=kept_nodes[fid].content,
                           content_embedding=kept_nodes[fid].content_embedding,
                           metadata={"source": f"probe of {fid}"})
        graph.add_node(probe)
        res = ext.on_ingest(graph, probe)
        linked_to_forgotten += sum(1 for e in res.created
                                   if e.source_node in gone or e.target_node in gone)
    print(f"  {len(probes)} new memories with forgotten embeddings ingested: "
          f"edges to forgotten memories = {linked_to_forgotten}")
    degs = semantic_degrees(graph)
    max_deg = max(degs.values(), default=0)
    print(f"  semantic degree max after forgetting and probing: {max_deg} (cap {cap})")
    return {"forgotten": forgotten, "index_before": before, "index_after": after,
            "still_indexed": still_indexed, "returned_forgotten": sorted(returned_forgotten),
            "linked_to_forgotten": linked_to_forgotten, "max_degree_after": max_deg}


# -- main ---------------------------------------------------------------------

def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--cap", type=int, default=8, help="max semantic edges per memory")
    p.add_argument("--threshold", type=float, default=0.7, help="similarity threshold of the search")
    p.add_argument("--no-chain", action="store_true", help="do not form temporal chain edges")
    p.add_argument("--batch-size", type=int, default=50, help="memories per on_ingest_batch call")
    p.add_argument("--limit", type=int, default=None, help="number of memories (default: all)")
    p.add_argument("--search", choices=("exact", "approx"), default="exact",
                   help="host similarity search: exact numpy cosine or approximate usearch HNSW")
    p.add_argument("--out", type=Path, default=DEFAULT_OUT, help="folder for the pictures")
    p.add_argument("--forget", type=int, default=0, metavar="N",
                   help="after the stream, forget N memories and show the index staying in step")
    p.add_argument("--synthetic", type=int, default=None, metavar="N",
                   help="use N synthetic memories (20 clusters, 64 dims) instead of the corpus")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.batch_size < 1:
        p.error("--batch-size must be at least 1")
    return args


def main(argv: list[str] | None = None) -> dict[str, Any]:
    args = parse_args(argv)
    if args.synthetic is not None:
        memories = synthetic_corpus(args.synthetic)
        what = f"{len(memories):,} synthetic memories (20 clusters, 64 dims)"
    else:
        memories = load_corpus(args.limit)
        what = f"{len(memories):,} standard-library docstrings (all-MiniLM-L6-v2)"
    if not memories:
        raise SystemExit("no memories to stream")
    config = vantor_lacet.LacetConfig(similarity_threshold=args.threshold,
                                      max_semantic_edges_per_node=args.cap,
                                      temporal_chain=not args.no_chain)
    inner, search_name = make_service(args.search)
    service = TimedService(inner)
    print(f"Streaming {what} into the reference host, batches of {args.batch_size}, "
          f"cap {args.cap}, threshold {args.threshold:g}, chain {'off' if args.no_chain else 'on'}, "
          f"{search_name} search", flush=True)
    load = os.getloadavg()
    graph, ext, stats = stream(memories, args.batch_size, config, service,
                               progress=not args.no_progress)
    load = (load[0], os.getloadavg()[0])
    load_note = (f"load average {load[0]:.1f} at the start, {load[1]:.1f} at the end, "
                 f"{os.cpu_count()} cores")

    degrees = semantic_degrees(graph)
    print_table(summary_rows(graph, stats, degrees, args.cap, search_name, args.batch_size)
                + [("machine", load_note),
                   ("peak memory of the process (RSS)", f"{peak_rss_mib():,.0f} MiB")],
                "Summary")
    timings = print_time_per_memory(stats)
    showcase = pick_showcase(graph, degrees, args.cap)
    print_showcase(graph, showcase)

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    note = f"{what}; cap {args.cap}, threshold {args.threshold:g}"
    pictures = [out / "semantic_degree.png", out / "edge_similarity.png", out / "neighbourhood.png",
                out / "time_per_memory.png"]
    plot_degrees(degrees, args.cap, pictures[0], note)
    plot_weights(stats.formed_weights, stats.evicted_weights, args.threshold, pictures[1], note)
    plot_neighbourhood(graph, pick_drawing_centre(graph, degrees, args.cap), pictures[2])
    plot_time_per_memory(stats, pictures[3], f"{what}, {search_name} search\n{load_note}")

    report: dict[str, Any] = {"graph": graph, "ext": ext, "stats": stats, "degrees": degrees,
                              "cap": args.cap, "pictures": pictures, "showcase": showcase,
                              "time_per_memory": timings}
    if args.forget:
        report["forget"] = forget_demo(graph, ext, service, args.forget, args.cap)
    print(f"\nPictures saved to {out.resolve()}{os.sep}:")
    for p in pictures:
        print(f"  {p.name}")
    return report


if __name__ == "__main__":
    main()
