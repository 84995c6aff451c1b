"""Fixed workloads on a thin host, for instruction counting and profiling.

    python benchmarks/ingest_driver.py IMPL N [--host slots|dict] [--batch SIZE] [--construct]
                                             [--counts FILE]

Builds the thin-host stream of workload 1 (pool of 4000 at the cap, 8
candidates per search) and ingests its first N memories with IMPL ("native"
or "model"), one by one or in batches. With --construct it instead builds N
extensions over a graph of --nodes nodes. N = 0 only sets up, which gives
the baseline to subtract. With --counts, the native package's cache hits
and misses at the end are written to FILE (JSON); the driver then sets
VANTOR_LACET_CACHE_COUNTS=1 before the import, which makes the package
offer them (vantor_lacet._cache_counts()).
"""
from __future__ import annotations

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import thin_host  # noqa: E402
import workloads as W  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=("native", "model"))
    ap.add_argument("n", type=int)
    ap.add_argument("--host", choices=sorted(thin_host.KINDS), default="slots")
    ap.add_argument("--batch", type=int, default=0)
    ap.add_argument("--stream", type=int, default=2000, help="stream length built (>= n)")
    ap.add_argument("--construct", action="store_true", help="construction instead of ingests")
    ap.add_argument("--nodes", type=int, default=10**5, help="graph size for --construct")
    ap.add_argument("--counts", help="write the native package's cache counts here at the end")
    args = ap.parse_args()
    if args.counts:
        # The package offers its counts only when asked for before its import.
        os.environ["VANTOR_LACET_CACHE_COUNTS"] = "1"
    try:
        run(args)
    finally:
        if args.counts and args.impl == "native":
            import vantor_lacet
            with open(args.counts, "w") as f:
                json.dump(vantor_lacet._cache_counts(), f)


def run(args):
    impls = W.implementations()
    pkg, former = impls[args.impl]
    kind = thin_host.KINDS[args.host]
    with thin_host.plugged(*(f for _, f in impls.values()), kind=kind):
        if args.construct:
            graph = W.thin_big_graph(args.nodes, kind=kind)
            search = thin_host.Search([])
            for _ in range(args.n):
                pkg.build_extension(search, graph, None)
            print(f"{args.impl}: {args.n} constructions over {args.nodes} nodes", file=sys.stderr)
            return
        # The stream is built at its full length whatever n is, so that set-up
        # costs the same in the baseline run.
        stream = W.ThinStream(n_ingest=max(args.stream, args.n), pool=4000, kind=kind)
        ext, graph = stream.fresh(pkg)
        nodes = stream.stream[:args.n]
        if args.batch:
            created, evicted = W.ingest_batches(ext, graph, nodes, args.batch)
        else:
            created, evicted = W.ingest_all(ext, graph, nodes)
    print(f"{args.impl}: {args.n} ingests, {created} edges created, {evicted} evicted", file=sys.stderr)


if __name__ == "__main__":
    main()
