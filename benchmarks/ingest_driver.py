"""Fixed workload 1 on the thin host, for instruction counting and profiling.

    python benchmarks/ingest_driver.py IMPL N [--batch SIZE]

Builds the thin-host stream (pool of 4000 at the cap, 8 candidates per
search) and ingests its first N memories with IMPL ("native" or "model").
N = 0 only sets up, which gives the baseline to subtract.
"""
from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import thin_host  # noqa: E402
import workloads as W  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=("native", "model"))
    ap.add_argument("n", type=int)
    ap.add_argument("--batch", type=int, default=0)
    ap.add_argument("--stream", type=int, default=2000, help="stream length built (>= n)")
    args = ap.parse_args()
    impls = W.implementations()
    pkg, former = impls[args.impl]
    with thin_host.plugged(*(f for _, f in impls.values())):
        # The stream is built at its full length whatever n is, so that set-up
        # costs the same in the baseline run.
        stream = W.ThinStream(n_ingest=max(args.stream, args.n), pool=4000)
        ext, graph = stream.fresh(pkg)
        nodes = stream.stream[:args.n]
        if args.batch:
            created, evicted = W.ingest_batches(ext, graph, nodes, args.batch)
        else:
            created, evicted = W.ingest_all(ext, graph, nodes)
    print(f"{args.impl}: {args.n} ingests, {created} edges created, {evicted} evicted", file=sys.stderr)


if __name__ == "__main__":
    main()
