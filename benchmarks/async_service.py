"""Load on `AsyncStoreHost`: many graphs (tenants) on one event loop, their
memories and vectors in PostgreSQL with pgvector, in a throwaway cluster.

    .venv/bin/python benchmarks/async_service.py                      # 1, 8, 32 clients, 8 graphs
    .venv/bin/python benchmarks/async_service.py --clients 8 --offload
    .venv/bin/python benchmarks/async_service.py --graphs 8 --held 12500 --memories 30000 \
        --no-freeze
    .venv/bin/python benchmarks/async_service.py --quick             # about 20 s

The clients are asyncio tasks in the benchmark's own process, calling
`host.add` directly (no HTTP layer): each takes the next request of one
shared stream, 20% of them batches of 10 memories, for a graph drawn at
random, and awaits it. The memories are the demo's 3,801 real texts with
their sentence embeddings (384 dimensions), in a shuffled order; with
`--held`, or more memories than that, synthetic text-like vectors of 128
dimensions (`pg_bench.clustered`). `--held N` stores N memories in each graph
beforehand (one COPY, no edges; see `pg_bench.fill_graph`), which the host
then opens as light nodes.

Measured over the clients' run (the graphs are opened before it):
- memories a second (wall clock), the latency of a single memory's `add`
  (p50, p99; a call waits for its graph's lock, which is part of it);
- the event loop's lag: a ticker task sleeps `--tick` seconds again and again,
  and records how late it wakes (p50, p99, max);
- statements a request and a memory (`host.statements`);
- CPU a memory: the whole benchmark process (host, clients, ticker) and the
  PostgreSQL server (postmaster and every backend);
- the package's phase of each call: the time around `IngestRound.run` (the
  package's call with its graph calls and searches answered from the
  snapshot, on the loop or in the worker thread);
- garbage collections (`gc.callbacks`): count, worst and total pause by
  generation; then, after the run, one full collection forced and timed.

`--offload` runs the package's phase in a worker thread
(`asyncio.to_thread`), through `ThreadedCallHost`, a copy of
`AsyncStoreHost.add` made here: the host itself runs it on the loop.
`--no-freeze` opens the graphs without `gc.freeze()`; `--refreeze N` calls
it again after every N memories ingested. `--driver asyncpg` runs the host's
calls with every statement sent through asyncpg (`AsyncpgStoreHost`, made
here: asyncpg has no synchronous face, so the hosts could not share one
statement layer on it).

The server runs as production does, with `fsync`, `synchronous_commit` and
`full_page_writes` on (`--unsafe`: off, as the earlier tables were made).
`--anchor` also sends the same requests as plain INSERTs (id, text, vector;
one statement a request) into an HNSW-indexed table a graph, from the same
number of clients: first through asyncpg with the vectors in binary, on the
same server; then as the earlier tables did, through psycopg with vector
texts, on the server restarted with those three settings off.
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import gc
import os
import random
import re
import signal
import sys
import time
from pathlib import Path
from collections.abc import Iterator
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pg_bench  # noqa: E402  (puts host_contracts on the path)
from pg_bench import (clustered, demo_corpus, fill_graph, quantile, server_cpu,  # noqa: E402
                      vec_text)

import vantor_lacet  # noqa: E402
from psycopg import sql  # noqa: E402
from psycopg_pool import AsyncConnectionPool  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost  # noqa: E402
from vantor_lacet_stores.protocol import calls  # noqa: E402
from vantor_lacet_stores.statements.pg_types import vector_bytes  # noqa: E402
from vantor_lacet_stores.statements.sessions import lease_bounds, session_settings  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster  # noqa: E402
from vantor_lacet_stores.protocol.ingest_round import IngestRound  # noqa: E402

# -- the package's phase, timed ---------------------------------------------------

PHASE: list[tuple[float, int]] = []  # (seconds, memories) of each call, while timed
# The host's steps of a call outside the statements, each synchronous (on the
# loop, but for `run` with --offload): seconds of each call, by step.
STEPS: dict[str, list[float]] = {}
_STEPS = {"__init__": "checks and vectors", "plan": "plan", "loaded": "answer read",
          "writes": "write parameters"}


@contextlib.contextmanager
def phase_timed() -> Iterator[None]:
    """`IngestRound.run` timed into PHASE, and the host's other steps of a call
    into STEPS, for the span of the block."""
    run = IngestRound.run
    saved = {name: getattr(IngestRound, name) for name in _STEPS}

    def timed_run(self: IngestRound, ext: Any, search: Any) -> Any:
        t0 = time.perf_counter()
        try:
            return run(self, ext, search)
        finally:
            PHASE.append((time.perf_counter() - t0, len(self.nodes)))

    def timed(name: str, method: Any) -> Any:
        times = STEPS.setdefault(_STEPS[name], [])

        def call(*args: Any, **kwargs: Any) -> Any:
            t0 = time.perf_counter()
            try:
                return method(*args, **kwargs)
            finally:
                times.append(time.perf_counter() - t0)
        return call

    IngestRound.run = timed_run  # type: ignore[method-assign]
    for name, method in saved.items():
        setattr(IngestRound, name, timed(name, method))
    try:
        yield
    finally:
        IngestRound.run = run  # type: ignore[method-assign]
        for name, method in saved.items():
            setattr(IngestRound, name, method)


class ThreadedCallHost(AsyncStoreHost):
    """`AsyncStoreHost` with the package's phase of each call in a worker thread.
    (Were the awaiting task cancelled while the thread runs, the lock would be let
    go with the package still at work on the extension: a host that did this
    would have to wait for the thread before it lets the lock go. The benchmark
    cancels nothing.)"""

    async def _package(self, call: Any, served: Any) -> Any:
        return await asyncio.to_thread(call.run, served.ext, served.search)


# -- the same host on asyncpg ----------------------------------------------------

_PLACEHOLDER = re.compile(r"%\((\w+)\)[sb]|%s")


def dollar(text: str) -> tuple[str, list[str | int]]:
    """A psycopg statement as asyncpg's: `%(name)s`, `%(name)b` and `%s` become
    `$n`; the names (or the positions, for `%s`) in the order of their numbers."""
    order: list[str | int] = []

    def number(match: re.Match[str]) -> str:
        name: str | int = match.group(1) if match.group(1) else len(order)
        if name not in order:
            order.append(name)
        return f"${order.index(name) + 1}"

    return _PLACEHOLDER.sub(number, text), order


def asyncpg_args(conninfo: str) -> dict[str, str]:
    parts = dict(p.split("=", 1) for p in conninfo.split())
    return {"host": parts["host"], "user": parts["user"], "database": parts["dbname"]}


async def vector_codec(conn: Any) -> None:
    """pgvector's binary form, as the host makes it (`vector_bytes`), both ways."""
    await conn.set_type_codec("vector", schema="public", encoder=bytes, decoder=bytes,
                              format="binary")


class AsyncpgPool:
    """An asyncpg pool with the face of psycopg's that the host uses."""

    def __init__(self, pool: Any) -> None:
        self.pool = pool

    @contextlib.asynccontextmanager
    async def connection(self, timeout: float | None = None) -> Any:
        async with self.pool.acquire(timeout=timeout) as conn:
            yield conn

    async def close(self) -> None:
        await self.pool.close()


class AsyncpgStoreHost(AsyncStoreHost):
    """`AsyncStoreHost` with every statement sent through asyncpg (its statement
    cache prepares them; results in binary). The calls are the host's own; only
    the execution differs. Opens only graphs whose tables exist (asyncpg's errors
    are not the ones the setup expects): `serve` makes them with the host first."""

    _texts: dict[str, tuple[str, list[str | int]]] = {}

    @classmethod
    async def connect_asyncpg(cls, conninfo: str, dimensions: int, ef_search: int,
                              size: int, **options: Any) -> AsyncpgStoreHost:
        import asyncpg

        settings = session_settings(ef_search, generic_plans=True,
                                    **lease_bounds(options.get("lease_seconds", 5.0)))

        async def init(conn: Any) -> None:
            await vector_codec(conn)
            for setting in settings:
                await conn.execute(setting)

        pool = await asyncpg.create_pool(min_size=size, max_size=size, init=init,
                                         **asyncpg_args(conninfo))
        host = cls({"main": AsyncpgPool(pool)}, dimensions,  # type: ignore[dict-item]
                   ef_search=ef_search, **options)
        host.start()
        return host

    async def _run_text(self, conn: Any, text: str, params: Any) -> Any:
        found = self._texts.get(text)
        if found is None:
            found = self._texts[text] = dollar(text)
        sql, order = found
        args = [params[name] for name in order] if params is not None else []
        return await conn.fetchrow(sql, *args)

    async def _execute(self, conn: Any, sql: str, params: Any = None) -> Any:
        self.statements += 1
        return await self._run_text(conn, sql, params)

    async def _step(self, conn: Any, step: Any, count: bool) -> Any:
        if isinstance(step, calls.Statement):
            if count:
                return await self._execute(conn, step.sql, step.params)
            return await self._run_text(conn, step.sql, step.params)
        if isinstance(step, calls.Setup):
            row = None
            async with conn.transaction():
                for text, params in step.steps:
                    row = await self._run_text(conn, text, params)
            return row
        return await super()._step(conn, step, count)


# -- garbage collections ----------------------------------------------------------

class Collections:
    """Every collection's pause, by generation, while installed: in wall-clock time
    and in the CPU time of the thread (which leaves out the time the process
    was not running, on a busy machine)."""

    def __init__(self) -> None:
        self.pauses: dict[int, list[tuple[float, float]]] = {0: [], 1: [], 2: []}
        self._t0 = self._c0 = 0.0

    def __call__(self, phase: str, info: dict[str, int]) -> None:
        if phase == "start":
            self._t0, self._c0 = time.perf_counter(), time.thread_time()
        else:
            self.pauses[info["generation"]].append(
                (time.perf_counter() - self._t0, time.thread_time() - self._c0))

    def __enter__(self) -> Collections:
        gc.callbacks.append(self)
        return self

    def __exit__(self, *exc: Any) -> None:
        gc.callbacks.remove(self)

    def summary(self) -> dict[str, Any]:
        return {f"gen{g}": {"count": len(p), "max_ms": max((w for w, _ in p), default=0.0) * 1e3,
                            "max_cpu_ms": max((c for _, c in p), default=0.0) * 1e3,
                            "total_ms": sum(w for w, _ in p) * 1e3}
                for g, p in self.pauses.items()}


async def ticker(stop: asyncio.Event, tick: float, lags: list[float]) -> None:
    while not stop.is_set():
        t0 = time.perf_counter()
        await asyncio.sleep(tick)
        lags.append(time.perf_counter() - t0 - tick)


# -- the workload ---------------------------------------------------------------

def requests(n: int, graphs: int, seed: int, batch: int, share: float) -> list[tuple[int, range]]:
    """(graph, memories) of each request: `share` of them batches of `batch`."""
    rng = random.Random(seed)
    out, i = [], 0
    while i < n:
        size = min(batch if rng.random() < share else 1, n - i)
        out.append((rng.randrange(graphs), range(i, i + size)))
        i += size
    return out


def memories(args: argparse.Namespace) -> tuple[list[str], Any]:
    if args.corpus == "demo":
        texts, vecs = demo_corpus()
        order = random.Random(args.seed).sample(range(len(texts)), len(texts))
        n = min(args.memories, len(texts))
        return [texts[i] for i in order[:n]], vecs[order[:n]]
    vecs = clustered(args.memories, seed=args.seed + 1)
    return [f"synthetic memory {i}" for i in range(len(vecs))], vecs


async def serve(args: argparse.Namespace, cluster: ThrowawayCluster, clients: int,
                names: list[str], nodes: list[MemoryNode],
                plan: list[tuple[int, range]]) -> dict[str, Any]:
    kind = ThreadedCallHost if args.offload else AsyncStoreHost
    size = min(len(names), 16)
    dim = nodes[0].content_embedding.size
    if args.driver == "asyncpg":
        maker = await AsyncStoreHost.connect(cluster.conninfo, dim, lease_seconds=None)
        for name in names:  # the tables, made by the host itself
            await maker.open(name)
        await maker.close()
        host: AsyncStoreHost = await AsyncpgStoreHost.connect_asyncpg(
            cluster.conninfo, dim, args.ef_search, size, freeze_gc=not args.no_freeze)
    else:
        host = await kind.connect(cluster.conninfo, dim, ef_search=args.ef_search,
                                  min_size=size, max_size=size, freeze_gc=not args.no_freeze)
    try:
        t0 = time.perf_counter()
        for name in names:
            await host.open(name)
        opened = time.perf_counter() - t0
        tracked, frozen = len(gc.get_objects()), gc.get_freeze_count()
        idle: list[float] = []  # the ticker alone first: how late an idle loop wakes
        stop = asyncio.Event()
        tick = asyncio.create_task(ticker(stop, args.tick, idle))
        await asyncio.sleep(args.idle)
        stop.set()
        await tick
        PHASE.clear()
        STEPS.clear()
        statements0 = host.statements
        work = iter(plan)
        single: list[float] = []
        batched: list[float] = []

        done = [0]

        async def client() -> None:
            for graph, span in work:
                batch = [nodes[i] for i in span]
                t = time.perf_counter()
                await host.add(names[graph], batch)
                (single if len(batch) == 1 else batched).append(time.perf_counter() - t)
                done[0] += len(batch)
                if args.refreeze and done[0] >= args.refreeze:
                    done[0] = 0
                    gc.freeze()  # what the calls since kept alive, out of the collector's way

        lags: list[float] = []
        stop = asyncio.Event()
        with Collections() as collections, phase_timed():
            tick = asyncio.create_task(ticker(stop, args.tick, lags))
            cpu0, server0, wall0 = time.process_time(), server_cpu(cluster.folder / "data"), \
                time.perf_counter()
            await asyncio.gather(*(client() for _ in range(clients)))
            wall = time.perf_counter() - wall0
            cpu = time.process_time() - cpu0
            server = server_cpu(cluster.folder / "data") - server0
            stop.set()
            await tick
        statements = host.statements - statements0
        t0, c0 = time.perf_counter(), time.thread_time()
        gc.collect()
        forced, forced_cpu = time.perf_counter() - t0, time.thread_time() - c0
    finally:
        await host.close()
    n = len(nodes)
    phase = [s for s, _ in PHASE]
    return {"memories": n, "requests": len(plan), "wall_s": wall,
            "memories_per_s": n / wall, "single_p50_ms": quantile(single, 0.5) * 1e3,
            "single_p99_ms": quantile(single, 0.99) * 1e3,
            "batch_p50_ms": quantile(batched, 0.5) * 1e3,
            "lag_p50_ms": quantile(lags, 0.5) * 1e3, "lag_p99_ms": quantile(lags, 0.99) * 1e3,
            "lag_max_ms": max(lags, default=0.0) * 1e3, "ticks": len(lags),
            "statements_per_request": statements / len(plan),
            "statements_per_memory": statements / n,
            "client_cpu_ms_per_memory": cpu / n * 1e3, "server_cpu_ms_per_memory": server / n * 1e3,
            "package_phase_ms_per_call": sum(phase) / len(phase) * 1e3,
            "package_phase_p99_ms": quantile(phase, 0.99) * 1e3,
            "package_phase_ms_per_memory": sum(phase) / n * 1e3,
            "host_steps": {name: {"ms_per_memory": sum(t) / n * 1e3,
                                  "max_ms": max(t, default=0.0) * 1e3}
                           for name, t in STEPS.items()},
            "gc": collections.summary(), "forced_full_collection_ms": forced * 1e3,
            "forced_full_collection_cpu_ms": forced_cpu * 1e3,
            "tracked_objects": tracked, "frozen_objects": frozen, "open_s": opened,
            "idle_lag_p50_ms": quantile(idle, 0.5) * 1e3,
            "idle_lag_p99_ms": quantile(idle, 0.99) * 1e3,
            "idle_lag_max_ms": max(idle, default=0.0) * 1e3}


async def anchor(args: argparse.Namespace, cluster: ThrowawayCluster, clients: int,
                 names: list[str], nodes: list[MemoryNode],
                 plan: list[tuple[int, range]]) -> dict[str, Any]:
    """The same requests as plain INSERTs into an HNSW-indexed table a graph."""
    dim = nodes[0].content_embedding.size
    tables = [sql.Identifier(f"{name} plain").as_string(None) for name in names]
    size = min(len(names), 16)
    async with AsyncConnectionPool(cluster.conninfo, min_size=size, max_size=size,
                                   kwargs={"autocommit": True}, open=False) as pool:
        async with pool.connection() as conn:
            for table in tables:
                await conn.execute(f"CREATE TABLE {table} (id text PRIMARY KEY, content text "
                                   f"NOT NULL, vec vector({dim}))")
                await conn.execute(f"CREATE INDEX ON {table} USING hnsw (vec vector_cosine_ops)")
        work = iter(plan)
        single: list[float] = []

        async def client() -> None:
            for graph, span in work:
                batch = [nodes[i] for i in span]
                t = time.perf_counter()
                async with pool.connection() as conn:
                    await conn.execute(
                        f"INSERT INTO {tables[graph]} (id, content, vec) SELECT i, c, v::vector "
                        "FROM unnest(%s::text[], %s::text[], %s::text[]) AS u(i, c, v)",
                        ([m.id for m in batch], [m.content for m in batch],
                         [vec_text(m.content_embedding) for m in batch]))
                if len(batch) == 1:
                    single.append(time.perf_counter() - t)

        cpu0, server0, wall0 = time.process_time(), server_cpu(cluster.folder / "data"), \
            time.perf_counter()
        await asyncio.gather(*(client() for _ in range(clients)))
        wall = time.perf_counter() - wall0
        cpu = time.process_time() - cpu0
        server = server_cpu(cluster.folder / "data") - server0
    n = len(nodes)
    return {"memories_per_s": n / wall, "single_p99_ms": quantile(single, 0.99) * 1e3,
            "client_cpu_ms_per_memory": cpu / n * 1e3, "server_cpu_ms_per_memory": server / n * 1e3}


async def anchor_asyncpg(args: argparse.Namespace, cluster: ThrowawayCluster, clients: int,
                         names: list[str], nodes: list[MemoryNode],
                         plan: list[tuple[int, range]]) -> dict[str, Any]:
    """The same requests as plain INSERTs through asyncpg, the vectors in
    pgvector's binary form (made as the host makes them), into an HNSW-indexed
    table a graph: what a user's own service would send at the least."""
    import asyncpg

    dim = nodes[0].content_embedding.size
    tables = [sql.Identifier(f"{name} asyncpg").as_string(None) for name in names]
    size = min(len(names), 16)
    pool = await asyncpg.create_pool(min_size=size, max_size=size, init=vector_codec,
                                     **asyncpg_args(cluster.conninfo))
    try:
        async with pool.acquire() as conn:
            for table in tables:
                await conn.execute(f"CREATE TABLE {table} (id text PRIMARY KEY, content text "
                                   f"NOT NULL, vec vector({dim}))")
                await conn.execute(f"CREATE INDEX ON {table} USING hnsw (vec vector_cosine_ops)")
        work = iter(plan)
        single: list[float] = []

        async def client() -> None:
            for graph, span in work:
                batch = [nodes[i] for i in span]
                t = time.perf_counter()
                await pool.execute(
                    f"INSERT INTO {tables[graph]} (id, content, vec) "
                    "SELECT * FROM unnest($1::text[], $2::text[], $3::vector[])",
                    [m.id for m in batch], [m.content for m in batch],
                    [vector_bytes(m.content_embedding) for m in batch])
                if len(batch) == 1:
                    single.append(time.perf_counter() - t)

        cpu0, server0, wall0 = time.process_time(), server_cpu(cluster.folder / "data"), \
            time.perf_counter()
        await asyncio.gather(*(client() for _ in range(clients)))
        wall = time.perf_counter() - wall0
        cpu = time.process_time() - cpu0
        server = server_cpu(cluster.folder / "data") - server0
    finally:
        await pool.close()
    n = len(nodes)
    return {"memories_per_s": n / wall, "single_p99_ms": quantile(single, 0.99) * 1e3,
            "client_cpu_ms_per_memory": cpu / n * 1e3, "server_cpu_ms_per_memory": server / n * 1e3}


DURABLE = {"fsync": "on", "synchronous_commit": "on", "full_page_writes": "on"}
UNSAFE = {"fsync": "off", "synchronous_commit": "off", "full_page_writes": "off"}


def durability(cluster: ThrowawayCluster, settings: dict[str, str]) -> None:
    """Restart the server with these durability settings (the cluster passes its
    settings on the command line, which ALTER SYSTEM does not override)."""
    if all(cluster.settings.get(k) == v for k, v in settings.items()):
        return
    cluster.settings.update(settings)
    cluster.stop_server("fast")
    cluster.start_server()


def main(argv: list[str] | None = None) -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwind: the cluster goes
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--graphs", type=int, default=8)
    p.add_argument("--clients", default="1,8,32", help="comma-separated: one run each")
    p.add_argument("--memories", type=int, default=3801, help="ingested in each run")
    p.add_argument("--corpus", choices=("demo", "clustered"), default=None,
                   help="demo: the real texts (at most 3,801; the default when they suffice); "
                        "clustered: synthetic, 128 dimensions")
    p.add_argument("--held", type=int, default=0, help="memories stored in each graph beforehand")
    p.add_argument("--batch", type=int, default=10)
    p.add_argument("--batch-share", type=float, default=0.2,
                   help="share of requests that are batches")
    p.add_argument("--offload", action="store_true", help="the package's phase in a worker thread")
    p.add_argument("--no-freeze", action="store_true", help="open the graphs without gc.freeze()")
    p.add_argument("--refreeze", type=int, default=0,
                   help="gc.freeze() again after every that many memories (0: never)")
    p.add_argument("--anchor", action="store_true",
                   help="also plain INSERTs of the same memories: through asyncpg with binary "
                        "vectors, as durable as the host's run, then through psycopg with "
                        "vector texts and fsync, synchronous_commit and full_page_writes off")
    p.add_argument("--driver", choices=("psycopg", "asyncpg"), default="psycopg",
                   help="what the host's statements go through (asyncpg: AsyncpgStoreHost here)")
    p.add_argument("--unsafe", action="store_true",
                   help="the host's run with fsync, synchronous_commit and full_page_writes off "
                        "(default: on, as production runs)")
    p.add_argument("--tick", type=float, default=0.005, help="the ticker's sleep, seconds")
    p.add_argument("--idle", type=float, default=1.0,
                   help="seconds the ticker runs alone before the clients start")
    p.add_argument("--ef-search", type=int, default=40)
    p.add_argument("--shared-buffers", default="256MB")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--quick", action="store_true", help="4 graphs, 1 and 8 clients, 300 memories")
    p.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    args = p.parse_args(argv)
    if args.quick:
        args.graphs, args.clients, args.memories = 4, "1,8", 300
    if args.corpus is None:
        args.corpus = "demo" if not args.held and args.memories <= 3801 else "clustered"
    if args.corpus == "demo" and args.held:
        raise SystemExit("--held stores synthetic 128-dimensional memories: use --corpus clustered")
    texts, vecs = memories(args)
    nodes = [MemoryNode(id=f"m{i:07d}", content=text, content_embedding=vec)
             for i, (text, vec) in enumerate(zip(texts, vecs))]
    plan = requests(len(nodes), args.graphs, args.seed, args.batch, args.batch_share)
    rows = []
    settings = {"shared_buffers": args.shared_buffers, "max_connections": "60",
                **(UNSAFE if args.unsafe else DURABLE)}
    with ThrowawayCluster(settings) as cluster:
        for clients in (int(c) for c in args.clients.split(",")):
            names = [f"c{clients} tenant {k}" for k in range(args.graphs)]
            if args.held:
                held = clustered(args.held * args.graphs, seed=args.seed + 2)
                for k, name in enumerate(names):
                    fill_graph(cluster.conninfo, name, held[k * args.held:(k + 1) * args.held])
                del held
            gc.collect()
            row: dict[str, Any] = {"clients": clients, "load_before": os.getloadavg()}
            row.update(asyncio.run(serve(args, cluster, clients, names, nodes, plan)))
            gc.unfreeze()  # what the host froze: collectable again before the next run
            gc.collect()
            if args.anchor:
                row["anchor_asyncpg"] = asyncio.run(
                    anchor_asyncpg(args, cluster, clients, names, nodes, plan))
                durability(cluster, UNSAFE)
                row["anchor"] = asyncio.run(anchor(args, cluster, clients, names, nodes, plan))
                durability(cluster, UNSAFE if args.unsafe else DURABLE)
            row["load_after"] = os.getloadavg()
            rows.append(row)
            print_row(row)
    report = {"command": " ".join(["async_service.py"] + (argv if argv is not None
                                                           else sys.argv[1:])),
              "package": vantor_lacet.__file__, "args": vars(args), "rows": rows}
    name = "async_service" + ("-offload" if args.offload else "") + (
        "-asyncpg" if args.driver == "asyncpg" else "") + (
        "-nofreeze" if args.no_freeze else "")
    print(f"results: {pg_bench.write_report(report, name, args.json)}")


def print_row(r: dict[str, Any]) -> None:
    g = r["gc"]
    print(f"{r['clients']:>3} clients: {r['memories_per_s']:7.1f} memories/s; single add p50 "
          f"{r['single_p50_ms']:.1f} p99 {r['single_p99_ms']:.1f} ms; loop lag p50 "
          f"{r['lag_p50_ms']:.2f} p99 {r['lag_p99_ms']:.2f} max {r['lag_max_ms']:.1f} ms; "
          f"{r['statements_per_request']:.2f} statements/request, "
          f"{r['statements_per_memory']:.2f}/memory; CPU ms/memory client "
          f"{r['client_cpu_ms_per_memory']:.2f} server {r['server_cpu_ms_per_memory']:.2f}; "
          f"package phase {r['package_phase_ms_per_call']:.3f} ms/call "
          f"({r['package_phase_ms_per_memory']:.3f}/memory, p99 {r['package_phase_p99_ms']:.2f})",
          flush=True)
    print("     host steps, ms a memory (max a call): " + "; ".join(
        f"{k} {v['ms_per_memory']:.3f} ({v['max_ms']:.1f})" for k, v in r["host_steps"].items()),
        flush=True)
    print("     gc: " + "; ".join(f"{k} {v['count']} max {v['max_ms']:.1f} ms "
                                   f"(CPU {v['max_cpu_ms']:.1f})" for k, v in g.items())
          + f"; forced full {r['forced_full_collection_ms']:.1f} ms "
          f"(CPU {r['forced_full_collection_cpu_ms']:.1f}) over "
          f"{r['tracked_objects']} tracked objects and {r['frozen_objects']} frozen; graphs "
          f"opened in {r['open_s']:.2f} s; idle loop lag p50 {r['idle_lag_p50_ms']:.2f} "
          f"p99 {r['idle_lag_p99_ms']:.2f} max {r['idle_lag_max_ms']:.2f} ms",
          flush=True)
    for key, what in (("anchor_asyncpg", "plain INSERTs, asyncpg, binary vectors, as durable"),
                      ("anchor", "plain INSERTs, psycopg, vector texts, fsync off")):
        if key in r:
            a = r[key]
            print(f"     {what}: {a['memories_per_s']:7.1f} memories/s "
                  f"(ratio {r['memories_per_s'] / a['memories_per_s']:.2f}), single p99 "
                  f"{a['single_p99_ms']:.1f} ms; CPU ms/memory client "
                  f"{a['client_cpu_ms_per_memory']:.2f} server "
                  f"{a['server_cpu_ms_per_memory']:.2f}", flush=True)
    print(f"     load average before / after: {r['load_before'][0]:.2f} / "
          f"{r['load_after'][0]:.2f}", flush=True)


if __name__ == "__main__":
    main()
