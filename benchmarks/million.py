"""One graph of a million memories on PostgreSQL with pgvector, filled through
the two-phase host as a service would fill it, and what it costs at that size.

    .venv/bin/python benchmarks/million.py                      # 10^6 memories: 1-3 hours
    .venv/bin/python benchmarks/million.py --memories 100000    # 10-20 minutes
    .venv/bin/python benchmarks/million.py --memories 2000 --small 1000 --singles 50   # a smoke run

Everything runs in one throwaway cluster (PostgreSQL 18 with pgvector, see
`pg_cluster`), with the default `LacetConfig` and `AsyncStoreHost` (its lease
on, every write fenced), one call at a time:

1. A small graph (`--small`, 10^4) is filled, then `--singles` single
   memories are ingested one call each: their latency (p50, p99) at that size.
2. The large graph (`--memories`) is filled in calls of `--batch` memories
   (`on_ingest_batch`; 200 by default: with 500 the members' similarities to
   each other, which the first statement returns, cost more than they save),
   the time and the rate of each tenth of the fill (the client's and the
   server's CPU in it, the wall time in each statement, the client's CPU by
   step of the call, the edges formed, the evictions); `--max-minutes` (150)
   stops the fill early, and the rest runs at the size reached.
3. `--singles` single memories on the large graph: their latency. Before
   each run of singles the graph's tables are analysed (`ANALYZE`), as
   autovacuum keeps them in a service that has run a while.
4. Restarts: a new process imports the host, connects, opens the large graph
   (its memories read as light nodes in one statement, the extension built
   over them, `gc.freeze()`) and ingests one memory. Its time by step, and its
   RSS before opening the graph, after, and after the first add. Three times
   with the server left running, once after the server was stopped and
   started (its buffers empty; the operating system's file cache is not), and
   once on the small graph.
5. Bytes in the database: `pg_total_relation_size` of the nodes and edges
   tables (each with its indexes and TOAST), the HNSW index alone
   (`pg_relation_size`, part of the nodes' total), per memory.

The memories: synthetic 128-dimensional unit vectors (`pg_bench.clustered`)
around 4,000 cluster centres (500 topics of Zipf-distributed sizes, 8
subtopics each) with a spread that differs from memory to memory. Measured
on this generator against the memories before it (exact search): at 10^4,
57% of memories have a neighbour at similarity 0.7 or more and 19% have
eight; at 10^5, 81% and 52%; at 10^6, 91% and 82%. Texts are 20-40 words
drawn from a vocabulary of 5,000 made-up words (about 200 bytes), metadata a
two-key JSON object: the size of a chat memory. The small graph and the
singles are draws from the same distribution (same centres).
"""
from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

DIM = 128
TOPICS, SUBTOPICS = 500, 8


def rss() -> int:
    import psutil

    return int(psutil.Process().memory_info().rss)


def cpu_self() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Memories:
    """The memories of one graph: vectors from `pg_bench.clustered`, made-up texts."""

    def __init__(self, prefix: str, n: int, seed: int = 0) -> None:
        import numpy as np
        from pg_bench import clustered

        self.prefix = prefix
        self.vecs = clustered(n, DIM, seed=seed, topics=TOPICS, subtopics=SUBTOPICS)
        rng = np.random.default_rng(seed + 1)
        letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
        self.words = ["".join(rng.choice(letters, size=int(k)))
                      for k in rng.integers(3, 10, size=5000)]
        self.rng = rng

    def __len__(self) -> int:
        return len(self.vecs)

    def nodes(self, lo: int, hi: int) -> list[Any]:
        from vantor.core.node import MemoryNode

        out = []
        for i in range(lo, hi):
            picks = self.rng.integers(0, len(self.words), size=int(self.rng.integers(20, 41)))
            out.append(MemoryNode(id=f"{self.prefix}{i:07d}",
                                  content=" ".join(self.words[j] for j in picks),
                                  content_embedding=self.vecs[i],
                                  metadata={"user": "u1", "turn": i}))
        return out


class StatementClock:
    """Wall time the host spends in its statements, by kind: the first phase
    (search and neighbourhood) and the writes. The rest of a call is the
    package's phase and the host's own Python."""

    def __init__(self, host: Any) -> None:
        self.seconds = {"search": 0.0, "write": 0.0, "other": 0.0}
        execute = host._execute

        async def timed(conn: Any, sql: str, params: Any = None) -> Any:
            kind = ("search" if "CROSS JOIN LATERAL" in sql
                    else "write" if "nodes_added AS" in sql else "other")
            t = time.perf_counter()
            try:
                return await execute(conn, sql, params)
            finally:
                self.seconds[kind] += time.perf_counter() - t

        host._execute = timed


class ClientClock:
    """CPU time of this process in the steps of a two-phase call (`two_phase.IngestRound`:
    the members' rows, reading the first statement's answer, the package's phase,
    the writes' parameters) and in garbage collections, by generation."""

    STEPS = ("__init__", "loaded", "run", "writes")

    def __init__(self) -> None:
        from vantor_lacet_stores.protocol import ingest_round as two_phase

        self.seconds: dict[str, float] = dict.fromkeys(self.STEPS, 0.0)
        self.gc: dict[int, float] = {0: 0.0, 1: 0.0, 2: 0.0}
        self.gc_worst = 0.0
        for name in self.STEPS:
            setattr(two_phase.IngestRound, name, self._timed(name, getattr(
                two_phase.IngestRound, name)))
        self._gc_started = 0.0
        gc.callbacks.append(self._collect)

    def _timed(self, name: str, fn: Any) -> Any:
        def call(*args: Any, **kwargs: Any) -> Any:
            t = time.process_time()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[name] += time.process_time() - t
        return call

    def _collect(self, phase: str, info: dict[str, Any]) -> None:
        if phase == "start":
            self._gc_started = time.process_time()
        else:
            pause = time.process_time() - self._gc_started
            self.gc[info["generation"]] += pause
            if info["generation"] == 2:
                self.gc_worst = max(self.gc_worst, pause)

    def snapshot(self) -> dict[str, float]:
        return {**self.seconds, **{f"gc{k}": v for k, v in self.gc.items()}}


class Tally:
    """Edges formed and evicted by the calls counted."""

    def __init__(self) -> None:
        self.created: dict[str, int] = {}
        self.evicted = 0

    def count(self, result: Any) -> None:
        for edge in result.created:
            kind = edge.relationship.subtype or edge.relationship.type
            self.created[kind] = self.created.get(kind, 0) + 1
        self.evicted += len(result.evicted_edge_ids)

    def as_dict(self) -> dict[str, Any]:
        return {"created": dict(self.created), "evicted": self.evicted}


async def fill(host: Any, clock: StatementClock, steps: ClientClock, graph: str, mem: Memories,
               upto: int, batch: int, every: int, deadline: float | None, data_dir: Path,
               log: Any) -> dict[str, Any]:
    """Ingest mem[0:upto] in calls of `batch`; a row for each `every` memories."""
    from pg_bench import server_cpu

    tally = Tally()
    rows = []
    t_start = time.perf_counter()
    mark = (t_start, cpu_self(), server_cpu(data_dir), 0, 0, dict(clock.seconds), steps.snapshot())
    done = 0
    stopped_early = False
    while done < upto:
        hi = min(done + batch, upto)
        result = await host.add(graph, mem.nodes(done, hi))
        tally.count(result)
        done = hi
        if done % every == 0 or done == upto or (deadline and time.perf_counter() > deadline):
            now, cpu, srv = time.perf_counter(), cpu_self(), server_cpu(data_dir)
            created = sum(tally.created.values())
            n = done - mark[3]
            row = {"memories": done, "elapsed_s": now - t_start, "step_s": now - mark[0],
                   "rate": n / (now - mark[0]), "client_cpu_ms": (cpu - mark[1]) * 1e3 / n,
                   "server_cpu_ms": (srv - mark[2]) * 1e3 / n,
                   "search_ms": (clock.seconds["search"] - mark[5]["search"]) * 1e3 / n,
                   "write_ms": (clock.seconds["write"] - mark[5]["write"]) * 1e3 / n,
                   "client_steps_ms": {k: (v - mark[6][k]) * 1e3 / n
                                       for k, v in steps.snapshot().items()},
                   "gc2_worst_ms": steps.gc_worst * 1e3,
                   "edges_created": created - mark[4], "evictions": tally.evicted,
                   "created_total": created, "load": os.getloadavg()[0], "rss": rss()}
            rows.append(row)
            log(f"  {done:>9,} memories  {row['elapsed_s']:8.1f} s  {row['rate']:6.0f}/s  "
                f"client {row['client_cpu_ms']:.2f} ms, server {row['server_cpu_ms']:.2f} ms "
                f"a memory (wall: search {row['search_ms']:.2f} ms, write "
                f"{row['write_ms']:.2f} ms)  edges +{row['edges_created']:,}  "
                f"evictions {tally.evicted:,}  "
                f"load {row['load']:.2f}")
            log("    client CPU a memory by step (ms): " + ", ".join(
                f"{k} {v:.3f}" for k, v in row["client_steps_ms"].items())
                + f"; worst full collection {row['gc2_worst_ms']:.0f} ms")
            mark = (now, cpu, srv, done, created, dict(clock.seconds), steps.snapshot())
            if deadline and now > deadline and done < upto:
                log(f"  stopped at {done:,} memories: past --max-minutes")
                stopped_early = True
                break
    return {"rows": rows, "filled": done, "seconds": time.perf_counter() - t_start,
            "stopped_early": stopped_early, **tally.as_dict()}


async def singles(host: Any, graph: str, nodes: list[Any]) -> dict[str, Any]:
    """One call a memory: latency of each `add`."""
    from pg_bench import quantile

    tally = Tally()
    times = []
    statements = host.statements
    for node in nodes:
        t = time.perf_counter()
        result = await host.add(graph, [node])
        times.append(time.perf_counter() - t)
        tally.count(result)
    return {"n": len(times), "p50_ms": quantile(times, 0.5) * 1e3,
            "p99_ms": quantile(times, 0.99) * 1e3, "max_ms": max(times) * 1e3,
            "mean_ms": sum(times) / len(times) * 1e3,
            "statements_per_call": (host.statements - statements) / len(times),
            "load": os.getloadavg()[0], **tally.as_dict()}


def analyze(conninfo: str, graph: str) -> None:
    """Statistics for the graph's tables, as autovacuum keeps them in a service that
    has run a while: a graph filled a minute ago may have none yet, and its first
    statements are then planned blind (p50 of singles at 10^4: 11.8 ms without,
    8.2 ms with)."""
    import psycopg
    from psycopg import sql

    g = sql.Identifier(graph).as_string(None)
    with psycopg.connect(conninfo, autocommit=True) as conn:
        conn.execute(f"ANALYZE {g}.nodes, {g}.edges")


def sizes(conninfo: str, graph: str) -> dict[str, Any]:
    import psycopg
    from psycopg import sql

    g = sql.Identifier(graph).as_string(None)
    with psycopg.connect(conninfo, autocommit=True) as conn:
        def one(text: str, *params: Any) -> Any:
            return conn.execute(text, params).fetchone()[0]

        out = {
            "memories": one(f"SELECT count(*) FROM {g}.nodes"),
            "edges": one(f"SELECT count(*) FROM {g}.edges"),
            "nodes_total": one("SELECT pg_total_relation_size(%s::regclass)", f"{g}.nodes"),
            "nodes_heap": one("SELECT pg_table_size(%s::regclass)", f"{g}.nodes"),
            "hnsw": one("SELECT pg_relation_size(%s::regclass)", f"{g}.nodes_vec"),
            "edges_total": one("SELECT pg_total_relation_size(%s::regclass)", f"{g}.edges"),
            "edges_heap": one("SELECT pg_table_size(%s::regclass)", f"{g}.edges"),
            "database": one("SELECT pg_database_size(current_database())"),
        }
        out["edges_by_kind"] = dict(conn.execute(
            f"SELECT coalesce(subtype, type), count(*) FROM {g}.edges GROUP BY 1").fetchall())
    return out


def child(conninfo: str, graph: str, node_id: str, seed: int) -> None:
    """One restart, in this new process: prints its times and RSS as JSON."""
    t0 = time.perf_counter()
    out: dict[str, Any] = {"rss_at_start": rss()}
    import numpy as np
    from vantor.core.node import MemoryNode
    from vantor_lacet_stores.hosts.async_host import AsyncStoreHost

    import vantor_lacet

    out["imports_s"] = time.perf_counter() - t0
    build = vantor_lacet.build_extension

    def timed_build(*args: Any) -> Any:
        t = time.perf_counter()
        try:
            return build(*args)
        finally:
            out["build_extension_s"] = time.perf_counter() - t

    vantor_lacet.build_extension = timed_build

    async def serve() -> None:
        t = time.perf_counter()
        host = await AsyncStoreHost.connect(conninfo, DIM, min_size=1, max_size=2,
                                            take_timeout=30.0)
        out["connect_s"] = time.perf_counter() - t
        out["rss_before_open"] = rss()
        t = time.perf_counter()
        await host.open(graph)
        out["open_s"] = time.perf_counter() - t
        out["rss_after_open"] = rss()
        vec = np.random.default_rng(seed).normal(size=DIM).astype(np.float32)
        t = time.perf_counter()
        result = await host.add(graph, [MemoryNode(id=node_id, content="after a restart",
                                                   content_embedding=vec)])
        out["first_add_s"] = time.perf_counter() - t
        out["rss_after_add"] = rss()
        out["candidates"] = len(host.extension(graph)._candidate_ids)
        out["chained"] = any(e.relationship.subtype == "auto_chain" for e in result.created)
        out["gc_frozen"] = gc.get_freeze_count()
        await host.close()

    asyncio.run(serve())
    out["open_to_first_add_s"] = out["open_s"] + out["first_add_s"]
    out["total_s"] = time.perf_counter() - t0
    print(json.dumps(out))


def restart(conninfo: str, graph: str, node_id: str, seed: int) -> dict[str, Any]:
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "host_contracts"))
    t = time.perf_counter()
    done = subprocess.run([sys.executable, __file__, "--child", conninfo, graph, node_id,
                           str(seed)], capture_output=True, text=True, env=env, timeout=600,
                          check=False)
    if done.returncode != 0:
        raise SystemExit(f"restart failed:\n{done.stderr}")
    return {**json.loads(done.stdout), "process_s": time.perf_counter() - t,
            "load": os.getloadavg()[0]}


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


async def run(args: argparse.Namespace, cluster: Any, log: Any) -> dict[str, Any]:
    from vantor_lacet_stores.hosts.async_host import AsyncStoreHost

    import vantor_lacet

    report: dict[str, Any] = {"config": repr(vantor_lacet.LacetConfig())}
    data_dir = cluster.folder / "data"
    deadline = (time.perf_counter() + args.max_minutes * 60) if args.max_minutes else None

    log(f"vectors: {args.small:,} + {args.singles} and {args.memories:,} + {args.singles}")
    small = Memories("s", args.small + args.singles)
    big = Memories("m", args.memories + args.singles)
    report["rss_driver_with_vectors"] = rss()

    host = await AsyncStoreHost.connect(cluster.conninfo, DIM, min_size=1, max_size=2,
                                        ef_search=args.ef_search)
    report["ef_search"] = args.ef_search
    clock, steps = StatementClock(host), ClientClock()
    try:
        log(f"small graph: {args.small:,} memories in calls of {args.batch}")
        report["small_fill"] = await fill(host, clock, steps, "small", small, args.small,
                                          args.batch, max(args.small, 1), None, data_dir, log)
        analyze(cluster.conninfo, "small")
        report["small_singles"] = await singles(host, "small", small.nodes(
            args.small, args.small + args.singles))
        s = report["small_singles"]
        log(f"  {s['n']} singles at {args.small:,}: p50 {s['p50_ms']:.2f} ms, "
            f"p99 {s['p99_ms']:.2f} ms, max {s['max_ms']:.1f} ms")
        del small

        log(f"large graph: {args.memories:,} memories in calls of {args.batch}")
        report["rss_driver_before_large"] = rss()
        report["fill"] = await fill(host, clock, steps, "large", big, args.memories,
                                    args.batch, args.every, deadline, data_dir, log)
        report["rss_driver_after_fill"] = rss()
        f = report["fill"]
        log(f"  filled {f['filled']:,} in {f['seconds']:.0f} s "
            f"({f['filled'] / f['seconds']:.0f}/s)")
        analyze(cluster.conninfo, "large")
        report["large_singles"] = await singles(host, "large", big.nodes(
            args.memories, args.memories + args.singles))
        s = report["large_singles"]
        log(f"  {s['n']} singles at {f['filled']:,}: p50 {s['p50_ms']:.2f} ms, "
            f"p99 {s['p99_ms']:.2f} ms, max {s['max_ms']:.1f} ms")
    finally:
        await host.close()
    del big
    gc.collect()

    report["restarts"] = []
    for k, (how, graph) in enumerate([("warm", "large")] * 3 + [("server restarted", "large"),
                                                                 ("warm", "small")]):
        if how == "server restarted":
            cluster.stop_server("fast")
            cluster.start_server()
        row = {"how": how, "graph": graph,
               **restart(cluster.conninfo, graph, f"restart-{k}", 100 + k)}
        report["restarts"].append(row)
        log(f"  restart ({how}, {graph}): open {row['open_s'] * 1e3:.0f} ms (extension "
            f"{row['build_extension_s'] * 1e3:.0f} ms), first add {row['first_add_s'] * 1e3:.0f} "
            f"ms; process total {row['total_s']:.2f} s; RSS {mib(row['rss_before_open'])} -> "
            f"{mib(row['rss_after_open'])} -> {mib(row['rss_after_add'])}; "
            f"{row['candidates']:,} candidates, chained: {row['chained']}")

    for graph in ("small", "large"):
        report[f"sizes_{graph}"] = z = sizes(cluster.conninfo, graph)
        n = z["memories"]
        log(f"  {graph}: {n:,} memories, {z['edges']:,} edges {z['edges_by_kind']}; a memory: "
            f"nodes {z['nodes_total'] / n:,.0f} B (HNSW {z['hnsw'] / n:,.0f} B), edges "
            f"{z['edges_total'] / n:,.0f} B, total {(z['nodes_total'] + z['edges_total']) / n:,.0f}"
            f" B; database {mib(z['database'])}")
    return report


def main(argv: list[str] | None = None) -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwind: the cluster goes
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--memories", type=int, default=1_000_000)
    p.add_argument("--small", type=int, default=10_000)
    p.add_argument("--singles", type=int, default=1000)
    p.add_argument("--batch", type=int, default=200, help="memories a call during the fills")
    p.add_argument("--every", type=int, default=None,
                   help="a progress row each N memories (default: a tenth of --memories)")
    p.add_argument("--max-minutes", type=float, default=150.0,
                   help="stop the large fill after this long (0: never)")
    p.add_argument("--ef-search", type=int, default=100,
                   help="hnsw.ef_search of the fills and the singles (the host's default: 100)")
    p.add_argument("--shared-buffers", default="1GB")
    p.add_argument("--maintenance-work-mem", default="1GB")
    p.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    p.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], args.child[2], int(args.child[3]))
        return
    args.every = args.every or max(args.memories // 10, args.batch)
    if args.every % args.batch:
        p.error("--every must be a multiple of --batch")

    import pg_bench  # puts host_contracts on the path
    from vantor_lacet_stores.testing.cluster import ThrowawayCluster

    started = time.perf_counter()

    def log(line: str) -> None:
        print(f"[{time.perf_counter() - started:7.0f} s] {line}", flush=True)

    settings = {"shared_buffers": args.shared_buffers,
                "maintenance_work_mem": args.maintenance_work_mem}
    commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True, check=False).stdout.strip()
    log(f"commit {commit}, load {os.getloadavg()}, server settings {settings}")
    with ThrowawayCluster(settings) as cluster:
        report = asyncio.run(run(args, cluster, log))
    report.update({"command": " ".join(["million.py"] + (argv if argv is not None
                                                         else sys.argv[1:])),
                   "commit": commit, "settings": settings, "batch": args.batch,
                   "wall_s": time.perf_counter() - started})
    log(f"results: {pg_bench.write_report(report, 'million', args.json)}")


if __name__ == "__main__":
    main()
