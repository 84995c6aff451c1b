"""The options and the run: stream, tables, pictures, and forgetting if asked."""
from __future__ import annotations

import argparse
import os
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import vantor_lacet

import lacet_demo
from lacet_demo import ROOT
from lacet_demo.corpus import load_corpus, synthetic_corpus
from lacet_demo.forget import forget_demo
from lacet_demo.host import open_store
from lacet_demo.graph_view import semantic_degrees
from lacet_demo.layout import pick_drawing_centre
from lacet_demo.slots import edge_classes_with_slots
from lacet_demo.pictures import plot_degrees, plot_neighbourhood, plot_time_per_memory, plot_weights
from lacet_demo.stats import peak_rss_mib
from lacet_demo.stream import start, stream
from lacet_demo.tables import pick_showcase, print_showcase, print_table, print_time_per_memory, summary_rows

DEFAULT_OUT = ROOT / "demo" / "out"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="lacet_demo", description=lacet_demo.__doc__.split("\n\n")[0],
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
    p.add_argument("--store", default="memory", metavar="memory|sqlite[:PATH]|postgresql",
                   help="where the graph lives: in memory, in a SQLite file (a temporary one "
                        "without PATH) or in PostgreSQL (a throwaway cluster, or "
                        "postgresql:CONNINFO)")
    p.add_argument("--latency", type=float, default=0.0, metavar="MS",
                   help="milliseconds waited before each statement sent to the store (each "
                        "graph call, in memory): a stand-in for a network")
    p.add_argument("--no-snapshot", action="store_true",
                   help="on a database, one statement per graph call instead of answering "
                        "the extension from the loaded neighbourhood")
    p.add_argument("--edge-slots", action="store_true",
                   help="the host's edge dataclasses rebuilt with slots=True, to see what the host "
                        "gains by declaring them so")
    p.add_argument("--coarse-timing", action="store_true",
                   help="time the package with its calls on the graph and the edge model included "
                        "(only the search is timed apart): a check of the detailed split")
    args = p.parse_args(argv)
    if args.batch_size < 1:
        p.error("--batch-size must be at least 1")
    return args


def main(argv: list[str] | None = None) -> dict[str, Any]:
    args = parse_args(argv)
    with ExitStack() as run_only:
        if args.edge_slots:
            run_only.enter_context(edge_classes_with_slots(vantor_lacet.former))
        graph = run_only.enter_context(open_store(args.store, args.latency))
        return _run(args, graph)


def _run(args: argparse.Namespace, graph: Any) -> dict[str, Any]:
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
    run = start(args.search, config, detail=not args.coarse_timing, graph=graph,
                snapshot=not args.no_snapshot)
    search_name = run.description
    print(f"Streaming {what} into the reference host, batches of {args.batch_size}, "
          f"cap {args.cap}, threshold {args.threshold:g}, chain {'off' if args.no_chain else 'on'}, "
          f"{search_name} search{', edge classes with slots' if args.edge_slots else ''}, "
          f"graph store {store_name(args, graph)}",
          flush=True)
    load = os.getloadavg()
    stats = stream(run, memories, args.batch_size, progress=not args.no_progress)
    graph = run.graph
    load = (load[0], os.getloadavg()[0])
    load_note = (f"load average {load[0]:.1f} at the start, {load[1]:.1f} at the end, "
                 f"{os.cpu_count()} cores")

    degrees = semantic_degrees(graph)
    print_table(summary_rows(graph, stats, degrees, args.cap, search_name, args.batch_size,
                             run.detail)
                + store_rows(args, graph, stats)
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

    report: dict[str, Any] = {"graph": graph, "ext": run.ext, "stats": stats, "degrees": degrees,
                              "cap": args.cap, "pictures": pictures, "showcase": showcase,
                              "time_per_memory": timings}
    if args.forget:
        report["forget"] = forget_demo(graph, run.ext, run.service, args.forget, args.cap)
    print(f"\nPictures saved to {out.resolve()}{os.sep}:")
    for p in pictures:
        print(f"  {p.name}")
    return report


def store_name(args: argparse.Namespace, graph: Any) -> str:
    kind = args.store.partition(":")[0]
    where = getattr(graph, "path", None)
    name = f"{kind} ({where})" if where and where != ":memory:" else kind
    if kind != "memory":
        name += ", no snapshot" if args.no_snapshot else ", snapshot"
    if args.latency:
        name += f", {args.latency:g} ms a round trip"
    return name


def store_rows(args: argparse.Namespace, graph: Any, stats: Any) -> list[tuple[str, str]]:
    """The store, and the statements sent to it per memory (for the in-memory
    graph: its calls, each of which a store would answer with a statement)."""
    if stats.round_trips is None:
        trips = "not counted (--coarse-timing)"
    else:
        trips = f"{stats.round_trips / max(stats.memories, 1):.2f}"
        slept = getattr(graph, "slept", 0.0)
        if args.latency and stats.round_trips:
            trips += f" ({1e3 * slept / stats.round_trips:.3f} ms waited each)"
    return [("graph store", store_name(args, graph)), ("graph round trips per memory", trips)]
