"""How long a new service process takes to serve a graph of many memories
again: a fresh interpreter that imports the host, opens an `AsyncStoreHost`,
opens the graph (its memories read as light nodes in one statement, the
extension built over them, `gc.freeze()`) and ingests one memory.

    .venv/bin/python benchmarks/pg_restart.py                  # 10^5 memories, 3 restarts each way
    .venv/bin/python benchmarks/pg_restart.py --memories 2000 --repeat 1   # about 10 s

The graph is filled once (`pg_bench.fill_graph`: 128 dimensions, no edges).
Each restart is a new process; "warm" leaves the server running (the service
alone went away, as after its `kill -9`), "server restarted" first stops the
server with `pg_ctl stop -m immediate` (a crash: recovery at the next start)
and starts it again, so that its buffers are empty (the operating system's
file cache is not). The server acknowledges a commit once it is in its log
(`synchronous_commit=on`, unlike the throwaway cluster's default), so that the
crash loses nothing acknowledged. Times from the process's start, by step.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def child(conninfo: str, graph: str, spawned: float) -> None:
    """One restart, in this new process: prints its times as JSON."""
    started = time.time()
    t0 = time.perf_counter()
    import gc

    import numpy as np

    import vantor_lacet
    from vantor.core.node import MemoryNode
    from vantor_lacet_stores.hosts.async_host import AsyncStoreHost

    steps: dict[str, float] = {"imports": time.perf_counter() - t0}
    build, freeze = vantor_lacet.build_extension, gc.freeze

    def timed(name: str, fn: Any) -> Any:
        def call(*args: Any) -> Any:
            t = time.perf_counter()
            try:
                return fn(*args)
            finally:
                steps[name] = steps.get(name, 0.0) + time.perf_counter() - t
        return call

    vantor_lacet.build_extension = timed("build_extension", build)
    gc.freeze = timed("gc_freeze", freeze)

    async def serve() -> None:
        t = time.perf_counter()
        host = await AsyncStoreHost.connect(conninfo, 128, min_size=1, max_size=2)
        steps["connect"] = time.perf_counter() - t
        t = time.perf_counter()
        await host.open(graph)
        steps["open_graph"] = time.perf_counter() - t
        vec = np.random.default_rng(7).normal(size=128).astype(np.float32)
        t = time.perf_counter()
        result = await host.add(graph, [MemoryNode(id=f"restart {spawned}", content="after a "
                                                   "restart", content_embedding=vec)])
        steps["first_add"] = time.perf_counter() - t
        steps["candidates"] = len(host.extension(graph)._candidate_ids)
        steps["chained"] = any(e.relationship.subtype == "auto_chain" for e in result.created)
        await host.close()

    asyncio.run(serve())
    steps["interpreter_start"] = started - spawned
    steps["total"] = time.time() - spawned
    print(json.dumps(steps))


def main(argv: list[str] | None = None) -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwind: the cluster goes
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--memories", type=int, default=100_000)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--shared-buffers", default="256MB")
    p.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    p.add_argument("--child", nargs=3, metavar=("CONNINFO", "GRAPH", "SPAWNED"),
                   help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], float(args.child[2]))
        return
    import pg_bench
    from pg_bench import clustered, fill_graph

    from vantor_lacet_stores.testing.cluster import ThrowawayCluster

    rows = []
    # Commits acknowledged only once in the server's log (the throwaway cluster's
    # default is off): else a crash of the server loses the last ones.
    settings = {"shared_buffers": args.shared_buffers, "synchronous_commit": "on"}
    with ThrowawayCluster(settings) as cluster:
        t0 = time.perf_counter()
        fill_graph(cluster.conninfo, "restarted", clustered(args.memories))
        print(f"{args.memories} memories stored in {time.perf_counter() - t0:.1f} s", flush=True)
        for k in range(args.repeat):
            for how in ("warm", "server restarted"):
                if how != "warm":
                    cluster.stop_server("immediate")
                    cluster.start_server()
                env = dict(os.environ,
                           PYTHONPATH=str(HERE.parent / "host_contracts"))
                done = subprocess.run([sys.executable, __file__, "--child", cluster.conninfo,
                                       "restarted", repr(time.time())], capture_output=True,
                                      text=True, env=env, timeout=300)
                if done.returncode != 0:
                    raise SystemExit(done.stderr)
                row = {"how": how, "memories": args.memories, **json.loads(done.stdout)}
                rows.append(row)
                print(f"{how:>16}: first add back after {row['total'] * 1e3:.0f} ms: interpreter "
                      f"{row['interpreter_start'] * 1e3:.0f}, imports {row['imports'] * 1e3:.0f}, "
                      f"connect {row['connect'] * 1e3:.0f}, open the graph "
                      f"{row['open_graph'] * 1e3:.0f} (the extension "
                      f"{row['build_extension'] * 1e3:.0f}, gc.freeze "
                      f"{row['gc_freeze'] * 1e3:.0f}), first add {row['first_add'] * 1e3:.0f} ms; "
                      f"{row['candidates']} candidates, chained on: {row['chained']}", flush=True)
    report = {"command": " ".join(["pg_restart.py"] + (argv if argv is not None
                                                        else sys.argv[1:])), "rows": rows}
    print(f"results: {pg_bench.write_report(report, 'pg_restart', args.json)}")


if __name__ == "__main__":
    main()
