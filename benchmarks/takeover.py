"""Takeover: from the SIGKILL of the process serving a graph to the first
request on that graph served by another process, at 10^4 and 10^5 memories.

    .venv/bin/python benchmarks/takeover.py                    # 10^4 and 10^5, 5 kills each
    .venv/bin/python benchmarks/takeover.py --memories 2000 --repeat 2     # about 30 s
    .venv/bin/python benchmarks/takeover.py --lease 1               # shorter leases
    .venv/bin/python benchmarks/takeover.py --hand-over        # handed over, not killed

Two service processes (the race tests' `instance.py`: an `AsyncStoreHost` behind
a Unix socket) serve one graph, filled in bulk (`pg_bench.fill_graph`: 128
dimensions, no edges). The one that holds the graph serves an add, is left to
renew its lease for a random part of a renewal period, and is killed; a client
then sends adds on the graph to the other process every `--poll` seconds
(GraphTaken until the lease runs out) until one is served. The killed process
is started again, and the next round kills the other one.

With `--hand-over` the holder is not killed but asked to hand the graph over
to the other process (`AsyncStoreHost.hand_over`), which is then sent adds at
once: the time from the request to the first add served by the other.

For each kill: the takeover time; the lease still to run at the kill (the
owner row's deadline less the server's now(), read just before the kill);
the round trip of the request that was served (the process opens the graph:
takes the lease, reads the memories as light nodes, builds the extension;
then the add itself); how many requests were refused with GraphTaken before.
"""
from __future__ import annotations

import argparse
import asyncio
import random
import shutil
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT / "host_contracts"), str(ROOT / "tests" / "stores" / "race")]

import psycopg  # noqa: E402
from psycopg import sql  # noqa: E402

import pg_bench  # noqa: E402
from fleet import Fleet  # noqa: E402
from pg_bench import clustered, fill_graph  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster  # noqa: E402

DIMENSIONS = 128


def lease_left(conninfo: str, graph: str) -> float:
    with psycopg.connect(conninfo) as conn:
        row = conn.execute(sql.SQL("SELECT extract(epoch FROM deadline - now())::float8 "
                                   "FROM {}.owner").format(sql.Identifier(graph))).fetchone()
    return float(row[0])


async def measure(conninfo: str, graph: str, n: int, args: argparse.Namespace,
                  rng: random.Random) -> dict[str, Any]:
    folder = Path(tempfile.mkdtemp(prefix="lacet-takeover-"))
    fleet = Fleet(folder, conninfo, n=2, lease=args.lease, dimensions=DIMENSIONS,
                  pool_timeout=5.0)
    vecs = clustered(2 * args.repeat + 2, seed=n + 1)
    made = 0

    def request() -> dict[str, Any]:
        nonlocal made
        made += 1
        node_id = f"after{made}"
        return {"op": "add", "graph": graph,
                "nodes": [[node_id, f"memory {node_id}", vecs[made - 1].tolist()]]}

    async def served(k: int) -> tuple[float, float, int]:
        """Adds to instance k until one is served: (time served, its round trip, refusals)."""
        refused = 0
        body = request()
        while True:
            sent = time.perf_counter()
            answer = await fleet.request(k, body, timeout=120)
            done = time.perf_counter()
            if answer["ok"]:
                return done, done - sent, refused
            if answer["error"] != "GraphTaken":
                raise RuntimeError(f"instance {k}: {answer}")
            refused += 1
            await asyncio.sleep(args.poll)

    rows = []
    try:
        await fleet.start()
        _, first_open, _ = await served(0)  # a fresh process opens the graph
        owner = 0
        for _ in range(args.repeat):
            await served(owner)  # the owner serving
            await asyncio.sleep(rng.uniform(0, args.lease / 3))  # anywhere in a renewal period
            left = await asyncio.to_thread(lease_left, conninfo, graph)
            killed = time.perf_counter()
            other = 1 - owner
            if args.hand_over:
                answer = await fleet.request(owner, {
                    "op": "hand_over", "graph": graph,
                    "to": fleet.processes[other].incarnation}, timeout=30)
                assert answer.get("held"), answer
            else:
                fleet.processes[owner].signal(signal.SIGKILL)
            at, call, refused = await served(other)
            rows.append({"takeover": at - killed, "lease_left": left, "served_call": call,
                         "refused": refused})
            what = "hand-over" if args.hand_over else "kill"
            print(f"  {n} memories: served by the other process {(at - killed) * 1e3:.0f} ms "
                  f"after the {what} (lease left {left * 1e3:.0f} ms, the call that was served "
                  f"{call * 1e3:.0f} ms, {refused} refused before)", flush=True)
            if not args.hand_over:
                fleet.processes[owner].proc.wait()
                fleet.processes[owner].start()
                await fleet.processes[owner].ready()
            owner = other
    finally:
        fleet.end()
        shutil.rmtree(folder, ignore_errors=True)

    def med(key: str) -> float:
        return statistics.median(r[key] for r in rows)

    return {"memories": n, "lease_seconds": args.lease, "first_open": first_open,
            "takeover_median": med("takeover"), "takeover_min": min(r["takeover"] for r in rows),
            "takeover_max": max(r["takeover"] for r in rows),
            "lease_left_median": med("lease_left"), "served_call_median": med("served_call"),
            "rows": rows}


def main(argv: list[str] | None = None) -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwind: the cluster goes
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--memories", type=int, nargs="+", default=[10_000, 100_000])
    p.add_argument("--repeat", type=int, default=5, help="kills at each size")
    p.add_argument("--lease", type=float, default=3.0, help="lease_seconds of the hosts")
    p.add_argument("--poll", type=float, default=0.02, help="seconds between refused requests")
    p.add_argument("--hand-over", action="store_true",
                   help="hand the graph over instead of killing its holder")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    args = p.parse_args(argv)
    rng = random.Random(args.seed)
    results = []
    with ThrowawayCluster({"shared_buffers": "256MB"}) as cluster:
        for n in args.memories:
            graph = f"taken over {n}"
            t0 = time.perf_counter()
            fill_graph(cluster.conninfo, graph, clustered(n))
            print(f"{n} memories stored in {time.perf_counter() - t0:.1f} s", flush=True)
            results.append(asyncio.run(measure(cluster.conninfo, graph, n, args, rng)))
    print(f"\nlease {args.lease} s, poll every {args.poll * 1e3:.0f} ms; times in ms "
          "(median, and min-max of the takeover)")
    what = "hand-over" if args.hand_over else "kill"
    print(f"| memories | {what} to first served | lease left at the {what} | served call "
          "| a fresh process's first call |")
    print("|---:|---:|---:|---:|---:|")
    for r in results:
        print(f"| {r['memories']:,} | {r['takeover_median'] * 1e3:.0f} "
              f"({r['takeover_min'] * 1e3:.0f}-{r['takeover_max'] * 1e3:.0f}) "
              f"| {r['lease_left_median'] * 1e3:.0f} | {r['served_call_median'] * 1e3:.0f} "
              f"| {r['first_open'] * 1e3:.0f} |")
    command = " ".join(["takeover.py"] + (argv if argv is not None else sys.argv[1:]))
    out = pg_bench.write_report({"command": command, "results": results}, "takeover", args.json)
    print(f"results: {out}")


if __name__ == "__main__":
    main()
