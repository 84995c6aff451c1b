"""Memories a second and statements a memory on the graph stores.

    .venv/bin/python benchmarks/stores.py latency   # against round-trip latency, +/- snapshot
    .venv/bin/python benchmarks/stores.py scale     # whole streams at 10^4 (and more)
    .venv/bin/python benchmarks/stores.py graphs    # 1, 2, 4 graphs: threads and processes
    .venv/bin/python benchmarks/stores.py calls     # the graph calls by kind, per memory
    .venv/bin/python benchmarks/stores.py recover    # a host back in step after a failed call

Synthetic memories (20 clusters, 64 dimensions, as the demo's), the
approximate (usearch) search, the default configuration (threshold 0.7, cap
8, chain on), one `on_ingest` a memory unless `--batch` says otherwise. The
stores: the in-memory graph ("memory", every call counted as the statement a
store would send), SQLite in a temporary file, PostgreSQL in a throwaway
cluster started for the run (one schema a graph). A round trip is one
statement sent to the store; `--latency` adds a wait before each (a stand-in
for a network; the in-memory graph waits at each call): a busy loop in
`latency` (a sleep on a busy machine wakes late, 0.2 ms became 0.7), a sleep
in `graphs` (threads must be free to run while one waits).
"""
from __future__ import annotations

import argparse
import contextlib
import json
import multiprocessing
import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "host_contracts"))

import numpy as np  # noqa: E402

import vantor_lacet  # noqa: E402
from vantor.core.ann_similarity import ApproximateSimilarityService  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost
from vantor_lacet_stores.testing.graphs import open_graph  # noqa: E402

sys.path.insert(0, str(HERE))
from pg_bench import server_cpu  # noqa: E402

RESULTS = HERE / "results"


def synthetic(n: int, seed: int = 0, clusters: int = 20, dim: int = 64) -> np.ndarray:
    """Unit vectors around `clusters` random centres (the demo's recipe)."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dim))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    vecs = centres[rng.integers(0, clusters, size=n)] + rng.normal(scale=0.09, size=(n, dim))
    return (vecs / np.linalg.norm(vecs, axis=1, keepdims=True)).astype(np.float32)


def node(i: int, vec: np.ndarray) -> MemoryNode:
    return MemoryNode(id=f"s{i:07d}", content=f"synthetic memory {i}", content_embedding=vec)


@contextlib.contextmanager
def stores(names: list[str], latency: float = 0.0) -> Any:
    """name -> a function that opens a fresh graph of that store (a context manager)."""
    with contextlib.ExitStack() as stack:
        conninfo = None
        if "postgresql" in names:
            from vantor_lacet_stores.testing.cluster import ThrowawayCluster
            conninfo = stack.enter_context(ThrowawayCluster(pgvector=False)).conninfo
        count = iter(range(10**6))

        def opener(name: str) -> Any:
            if name == "postgresql":
                return open_graph(f"postgresql:{conninfo}", latency, name=f"g{next(count)}")
            return open_graph(name, latency)
        yield opener, conninfo


def new_host(graph: Any, snapshot: bool = True) -> GraphStoreHost:
    return GraphStoreHost(graph, ApproximateSimilarityService(), vantor_lacet.LacetConfig(),
                     snapshot=snapshot)


class Window:
    """Memories ingested, wall seconds, statements and edges over a stretch of a stream."""

    def __init__(self, graph: Any) -> None:
        self.graph = graph
        self.t0, self.rt0, self.slept0 = time.perf_counter(), graph.round_trips, graph.slept
        self.memories = self.created = self.evicted = 0

    def add(self, host: GraphStoreHost, nodes: list[Any]) -> None:
        result = host.add(nodes)
        self.memories += len(nodes)
        self.created += len(result.created)
        self.evicted += len(result.evicted_edge_ids)

    def close(self) -> dict[str, float]:
        wall = time.perf_counter() - self.t0
        n = max(self.memories, 1)
        trips = self.graph.round_trips - self.rt0
        return {"memories": self.memories, "seconds": wall, "per_second": self.memories / wall,
                "round_trips_per_memory": trips / n,
                "slept_per_round_trip_ms": 1e3 * (self.graph.slept - self.slept0) / max(trips, 1),
                "created": self.created, "evicted": self.evicted}


def ingest(host: GraphStoreHost, vecs: np.ndarray, start: int, stop: int, batch: int,
           window: Window) -> None:
    for lo in range(start, stop, batch):
        window.add(host, [node(i, vecs[i]) for i in range(lo, min(lo + batch, stop))])


# -- latency ---------------------------------------------------------------------

def run_latency(args: argparse.Namespace) -> dict[str, Any]:
    latencies = [float(x) for x in args.latency.split(",")]
    vecs = synthetic(args.held + args.window * len(latencies) * 2)
    rows = []
    with stores(args.stores) as (opener, _):
        for name in args.stores:
            with opener(name) as graph:
                host = new_host(graph)
                t0 = time.perf_counter()
                ingest(host, vecs, 0, args.held, 100, Window(graph))
                print(f"{name}: {args.held:,} memories held ({time.perf_counter() - t0:.0f} s)",
                      flush=True)
                at = args.held
                for ms in latencies:
                    for snapshot in (False, True):
                        if name == "memory" and snapshot:
                            continue  # the in-memory graph has no snapshot
                        graph.latency, host.snapshot = ms / 1000, snapshot
                        graph.spin = args.wait == "spin"
                        window = Window(graph)
                        ingest(host, vecs, at, at + args.window, 1, window)
                        at += args.window
                        row = {"store": name, "snapshot": snapshot, "latency_ms": ms,
                               **window.close()}
                        rows.append(row)
                        print(f"  latency {ms:g} ms, snapshot {'on ' if snapshot else 'off'}: "
                              f"{row['per_second']:8.1f} memories/s, "
                              f"{row['round_trips_per_memory']:5.2f} round trips a memory, "
                              f"{row['slept_per_round_trip_ms']:.3f} ms slept a round trip",
                              flush=True)
    if args.plot:
        plot_latency(rows, Path(args.plot), args)
    return {"held": args.held, "window": args.window, "rows": rows}


def plot_latency(rows: list[dict[str, Any]], path: Path, args: argparse.Namespace) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(8, 5))
    colours = {"memory": "#555555", "sqlite": "#4c72b0", "postgresql": "#c44e52"}
    for name in args.stores:
        for snapshot in (False, True):
            pts = [(r["latency_ms"], r["per_second"], r["round_trips_per_memory"]) for r in rows
                   if r["store"] == name and r["snapshot"] == snapshot]
            if not pts:
                continue
            trips = np.mean([p[2] for p in pts])
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o",
                    color=colours.get(name), linestyle="-" if snapshot else "--",
                    label=f"{name}, {'snapshot' if snapshot else 'no snapshot'} "
                          f"({trips:.1f} round trips a memory)")
    ax.set_yscale("log")
    ax.set_xlabel("latency added to each round trip (ms)")
    ax.set_ylabel("memories a second (log scale)")
    ax.set_title(f"One graph, one extension: memories a second against round-trip latency\n"
                 f"{args.window} single ingests into a graph of {args.held:,} synthetic memories, "
                 f"approximate search", fontsize=10)
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


# -- scale -------------------------------------------------------------------------

def run_scale(args: argparse.Namespace) -> dict[str, Any]:
    rows = []
    sizes = [int(float(x)) for x in args.memories.split(",")]
    snapshots = {"on": [True], "off": [False], "both": [False, True]}[args.snapshot]
    with stores(args.stores) as (opener, _):
        for n in sizes:
            vecs = synthetic(n)
            for name in args.stores:
                for snapshot in snapshots:
                    if name == "memory" and snapshot:
                        continue
                    with opener(name) as graph:
                        host = new_host(graph, snapshot)
                        window = Window(graph)
                        ingest(host, vecs, 0, n, args.batch, window)
                        row = {"store": name, "snapshot": snapshot, "memories": n,
                               "batch": args.batch, **window.close(),
                               "edges_in_graph": graph.edge_count}
                    rows.append(row)
                    print(f"{name:10} {n:>7,} memories, batch {args.batch}, snapshot "
                          f"{'on ' if snapshot else 'off'}: {row['per_second']:7.1f} memories/s, "
                          f"{row['round_trips_per_memory']:5.2f} round trips a memory, "
                          f"{row['created']:,} edges created, {row['evicted']:,} evicted, "
                          f"{row['edges_in_graph']:,} in the graph", flush=True)
    return {"rows": rows}


# -- calls by kind ------------------------------------------------------------------

class CountingSearch:
    """The service, counting the calls and the pairs they return."""

    def __init__(self, inner: Any) -> None:
        self.inner, self.calls, self.pairs = inner, 0, 0

    def find_similar(self, *args: Any, **kwargs: Any) -> Any:
        result = self.inner.find_similar(*args, **kwargs)
        self.calls += 1
        self.pairs += len(result)
        return result

    def add(self, node: Any) -> None:
        self.inner.add(node)

    def remove(self, node_id: str) -> None:
        self.inner.remove(node_id)


def run_calls(args: argparse.Namespace) -> dict[str, Any]:
    """The in-memory graph's calls by kind, per memory, beside what decides them."""
    from vantor.core.edge import RelationshipType
    from vantor.core.counting_graph import CountingMemoryGraph
    vecs = synthetic(args.memories)
    rows = []
    for cap in [int(x) for x in args.cap.split(",")]:
        graph = CountingMemoryGraph()
        config = vantor_lacet.LacetConfig(max_semantic_edges_per_node=cap or None)
        search = CountingSearch(ApproximateSimilarityService())
        host = GraphStoreHost(graph, search, config, snapshot=False)
        semantic = chain = evicted = 0
        for i in range(args.memories):
            result = host.add([node(i, vecs[i])])
            evicted += len(result.evicted_edge_ids)
            for edge in result.created:
                if edge.relationship.type == RelationshipType.SEMANTIC:
                    semantic += 1
                else:
                    chain += 1
        n = args.memories
        row = {"cap": cap, "memories": n, "pairs_returned": search.pairs / n,
               "semantic_created": semantic / n, "chain_created": chain / n, "evicted": evicted / n,
               "calls": {k: v / n for k, v in sorted(graph.calls.items())},
               "round_trips_per_memory": graph.round_trips / n}
        rows.append(row)
        print(f"cap {cap or 'off'}: per memory {row['pairs_returned']:.2f} pairs returned, "
              f"{row['semantic_created']:.2f} semantic + {row['chain_created']:.2f} chain edges "
              f"created, {row['evicted']:.2f} evicted; calls: "
              + ", ".join(f"{k} {v:.2f}" for k, v in row["calls"].items())
              + f"; {row['round_trips_per_memory']:.2f} in all", flush=True)
    return {"rows": rows}


# -- many graphs -----------------------------------------------------------------

def one_graph(conninfo: str, name: str, seed: int, count: int, latency: float,
              barrier: Any) -> dict[str, Any]:
    """One graph, its own search and extension: `count` single ingests."""
    vecs = synthetic(count, seed=seed)
    with open_graph(f"postgresql:{conninfo}", latency, name=name) as graph:
        host = new_host(graph)
        barrier.wait()
        window, cpu = Window(graph), time.thread_time()
        ingest(host, vecs, 0, count, 1, window)
        row = window.close()
        row["cpu"] = time.thread_time() - cpu
        row["end"] = time.time()
        row["start"] = row["end"] - row["seconds"]
        return row


def _in_process(conninfo: str, name: str, seed: int, count: int, latency: float, barrier: Any,
                out: Any) -> None:
    out.put(one_graph(conninfo, name, seed, count, latency, barrier))


def run_graphs(args: argparse.Namespace) -> dict[str, Any]:
    rows = []
    counts = [int(x) for x in args.graphs.split(",")]
    latencies = [float(x) for x in args.latency.split(",")]
    ctx = multiprocessing.get_context("spawn")
    run = iter(range(10**6))
    with stores(["postgresql"]) as (_, conninfo):
        data_dir = Path(conninfo.split()[0].removeprefix("host=")).parent / "data"
        for ms in latencies:
            for mode in args.mode.split(","):
                for n in counts:
                    names = [f"run{next(run)}" for _ in range(n)]
                    server0 = server_cpu(data_dir)
                    if mode == "threads":
                        barrier = threading.Barrier(n)
                        results: list[dict[str, Any]] = []
                        threads = [threading.Thread(target=lambda k=k: results.append(one_graph(
                            conninfo, names[k], k, args.per_graph, ms / 1000, barrier)))
                            for k in range(n)]
                        for t in threads:
                            t.start()
                        for t in threads:
                            t.join()
                    else:
                        barrier, out = ctx.Barrier(n), ctx.Queue()
                        procs = [ctx.Process(target=_in_process, args=(
                            conninfo, names[k], k, args.per_graph, ms / 1000, barrier, out))
                            for k in range(n)]
                        for p in procs:
                            p.start()
                        results = [out.get() for _ in procs]
                        for p in procs:
                            p.join()
                    if len(results) != n:
                        raise SystemExit(f"{mode}: {n - len(results)} graphs failed")
                    server = server_cpu(data_dir) - server0
                    client = sum(r["cpu"] for r in results)
                    span = max(r["end"] for r in results) - min(r["start"] for r in results)
                    total = sum(r["memories"] for r in results)
                    row = {"mode": mode, "graphs": n, "latency_ms": ms, "memories": total,
                           "seconds": span, "per_second": total / span,
                           "per_graph": [r["per_second"] for r in results],
                           "client_cpu_seconds": client, "server_cpu_seconds": server,
                           "load_average": os.getloadavg()[0],
                           "round_trips_per_memory": sum(r["round_trips_per_memory"] * r["memories"]
                                                         for r in results) / total}
                    rows.append(row)
                    print(f"{mode:9} {n} graph{'s' if n > 1 else ' '}, latency {ms:g} ms: "
                          f"{row['per_second']:7.1f} memories/s in all "
                          f"({', '.join(f'{x:.0f}' for x in row['per_graph'])} each), "
                          f"{row['round_trips_per_memory']:.2f} round trips a memory; CPU: "
                          f"clients {client:.1f} s, server {server:.1f} s over {span:.1f} s, "
                          f"load average {row['load_average']:.1f}", flush=True)
    return {"per_graph": args.per_graph, "rows": rows}


# -- recovery ---------------------------------------------------------------------

class FailingWrite:
    """The graph's next write of a call fails, as a store error would (the statement
    is not sent)."""

    def __init__(self, graph: Any) -> None:
        self.graph, self.execute, self.armed = graph, graph._execute, False
        graph._execute = self

    def __call__(self, sql: str, params: Any = ()) -> Any:
        if self.armed and sql.lstrip().upper().startswith(("INSERT", "WITH")):
            self.armed = False
            raise RuntimeError("injected store failure")
        return self.execute(sql, params)


def run_recover(args: argparse.Namespace) -> dict[str, Any]:
    """What it costs to bring a host back in step with its store after a failed
    call: `GraphStoreHost.recover` (forget what the store does not hold, take the chain
    from the store), against rebuilding the search and the extension from the
    store (a new `GraphStoreHost`: the search fed every stored memory, the extension
    seeded from `all_nodes()`), and the first ingest after the rebuild."""
    sizes = [int(x) for x in args.memories.split(",")]
    rows = []
    with stores(args.stores) as (opener, _):
        for name in args.stores:
            for n in sizes:
                vecs = synthetic(n + 20)
                with opener(name) as graph:
                    for lo in range(0, n, 5000):  # stored in chunks: one statement each
                        with graph.transaction():
                            for i in range(lo, min(lo + 5000, n)):
                                graph.add_node(node(i, vecs[i]))
                    graph.set_last_ingested(node(n - 1, vecs[n - 1]).id)
                    t0 = time.perf_counter()
                    host = new_host(graph)
                    rebuild = time.perf_counter() - t0
                    t0 = time.perf_counter()
                    host.ext = vantor_lacet.build_extension(host.search, graph, host.ext.config)
                    host.ext._last_id = graph.last_ingested()
                    extension = time.perf_counter() - t0  # the extension alone, again
                    t0 = time.perf_counter()
                    host.add([node(n, vecs[n])])
                    first = time.perf_counter() - t0
                    fault = FailingWrite(graph)
                    fault.armed = True
                    batch = [node(i, vecs[i]) for i in range(n + 1, n + 11)]
                    with contextlib.suppress(RuntimeError):
                        host.add(batch)  # fails at its write; recovered there
                    host._unrecovered = ("add", batch)  # again, timed
                    rt0 = graph.round_trips
                    t0 = time.perf_counter()
                    host.recover()
                    targeted = time.perf_counter() - t0
                    row = {"store": name, "memories": n, "rebuild_s": rebuild,
                           "extension_alone_s": extension,
                           "first_ingest_after_rebuild_s": first, "recover_s": targeted,
                           "recover_statements": graph.round_trips - rt0,
                           "in_step": host.ext._last_id == graph.last_ingested()
                           and len(host.ext._candidate_ids) == n + 1}
                    rows.append(row)
                    print(f"{name:10} {n:>7} memories: rebuild {rebuild:7.2f} s (the extension "
                          f"alone {extension:5.2f} s), first ingest "
                          f"after it {first * 1e3:8.1f} ms; recover {targeted * 1e3:6.2f} ms "
                          f"({row["recover_statements"]} statements), in step: {row['in_step']}",
                          flush=True)
    return {"rows": rows}


def main(argv: list[str] | None = None) -> None:
    # Stopped from outside: unwind, so that the throwaway cluster is stopped and removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="what", required=True)
    lat = sub.add_parser("latency", help="memories/s against round-trip latency, +/- snapshot")
    lat.add_argument("--stores", default="memory,sqlite,postgresql")
    lat.add_argument("--held", type=int, default=10_000, help="memories in the graph beforehand")
    lat.add_argument("--window", type=int, default=300, help="memories timed per measurement")
    lat.add_argument("--latency", default="0,0.2,1", help="milliseconds, comma-separated")
    lat.add_argument("--plot", default=None, help="save a picture here")
    lat.add_argument("--wait", choices=("spin", "sleep"), default="spin",
                     help="how the latency is waited: a busy loop (exact) or a sleep (overshoots)")
    sc = sub.add_parser("scale", help="whole streams")
    sc.add_argument("--stores", default="memory,sqlite,postgresql")
    sc.add_argument("--memories", default="10000")
    sc.add_argument("--snapshot", choices=("on", "off", "both"), default="both")
    sc.add_argument("--batch", type=int, default=1)
    gr = sub.add_parser("graphs", help="many graphs on one PostgreSQL server")
    gr.add_argument("--graphs", default="1,2,4")
    gr.add_argument("--per-graph", type=int, default=1000)
    gr.add_argument("--latency", default="0")
    gr.add_argument("--mode", default="threads,processes")
    ca = sub.add_parser("calls", help="the in-memory graph's calls by kind, per memory")
    ca.add_argument("--memories", type=int, default=10_000)
    ca.add_argument("--cap", default="8,0", help="caps to run, comma-separated (0: off)")
    rs = sub.add_parser("recover", help="back in step after a failed call, against a rebuild")
    rs.add_argument("--stores", default="sqlite,postgresql")
    rs.add_argument("--memories", default="10000,100000")
    for s in (lat, sc, gr, ca, rs):
        s.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    args = p.parse_args(argv)
    if hasattr(args, "stores"):
        args.stores = args.stores.split(",")
    report = {"latency": run_latency, "scale": run_scale, "graphs": run_graphs,
              "calls": run_calls, "recover": run_recover}[args.what](args)
    report["command"] = " ".join([Path(sys.argv[0]).name] + (argv if argv is not None
                                                              else sys.argv[1:]))
    report["load_average"] = os.getloadavg()
    out = Path(args.json) if args.json else RESULTS / f"stores-{args.what}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(report, indent=1))
    print(f"results: {out}")


if __name__ == "__main__":
    main()
