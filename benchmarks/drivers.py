"""Which PostgreSQL driver an asyncio host should use: the whole two-phase call
(the search and the neighbourhood, the package, the writes) through psycopg 3
in its pure-Python form, psycopg 3 with its compiled part (`psycopg[binary]`),
and asyncpg, on one graph of a throwaway cluster.

    python benchmarks/drivers.py --held 10000 --memories 1000

Needs asyncpg and psycopg[binary] beside the project's requirements (not in
requirements-dev.txt: the reference host uses plain psycopg). Each driver runs
in a process of its own (psycopg picks its implementation at import: the
environment variable PSYCOPG_IMPL), ingesting `--memories` single memories into
the same graph one after the other; the figures are the client process's CPU
time and the wall time a memory, and the server's CPU a memory.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host_contracts"))

import vantor_lacet  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.statements.pg_graph import PgStatements  # noqa: E402
from vantor_lacet_stores.protocol.rows import RowReader  # noqa: E402
from vantor_lacet_stores.protocol.calls import light_ids  # noqa: E402
from vantor_lacet_stores.protocol.ingest_round import IngestRound, RoundSearch  # noqa: E402
from vantor_lacet_stores.protocol.light_nodes import LightNodes  # noqa: E402

D = 128
GRAPH = "drivers"


def vectors(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(max(n // 50, 1), D))
    return (centres[rng.integers(0, len(centres), size=n)]
            + rng.normal(scale=0.45, size=(n, D))).astype(np.float32)


def dollar(sql: str, params: dict[str, Any]) -> tuple[str, list[Any]]:
    """A psycopg statement with %(name)s parameters as asyncpg's $n and a list."""
    order: list[str] = []

    def number(match: re.Match[str]) -> str:
        name = match.group(1)
        if name not in order:
            order.append(name)
        return f"${order.index(name) + 1}"

    return re.sub(r"%\((\w+)\)[sb]", number, sql), [params[name] for name in order]


async def run(driver: str, conninfo: str, memories: int, seed: int) -> dict[str, float]:
    stmts = PgStatements(GRAPH, D)
    if driver == "asyncpg":
        import asyncpg

        parts = dict(p.split("=", 1) for p in conninfo.split())
        conn = await asyncpg.connect(host=parts["host"], user=parts["user"],
                                     database=parts["dbname"])
        await conn.execute("SET plan_cache_mode TO force_custom_plan")
        await conn.set_type_codec("vector", schema="public", encoder=bytes, decoder=bytes,
                                  format="binary")

        async def execute(sql: str, params: dict[str, Any] | None = None) -> Any:
            text, args = dollar(sql, params or {})
            return await conn.fetchrow(text, *args)
    else:
        import psycopg

        from vantor_lacet_stores.statements.pg_types import ensure_vectors_async

        pconn = await psycopg.AsyncConnection.connect(conninfo, autocommit=True)
        await pconn.execute("SET plan_cache_mode TO force_custom_plan")
        await ensure_vectors_async(pconn)

        async def execute(sql: str, params: dict[str, Any] | None = None) -> Any:
            cur = await pconn.execute(sql, params, prepare=True, binary=True)
            return await cur.fetchone() if cur.description is not None else None

    ids, last = light_ids(await execute(stmts.light_nodes))
    search = RoundSearch()
    ext: Any = vantor_lacet.build_extension(search, LightNodes(ids), None)
    ext._last_id = last
    vecs = vectors(memories, seed)
    reader = RowReader()
    cpu0, wall0 = time.process_time(), time.perf_counter()
    for i in range(memories):
        node = MemoryNode(id=f"{driver}-{seed}-{i}", content="x", content_embedding=vecs[i])
        call = IngestRound(stmts, reader, [node], ext._last_id, ext.config)
        call.loaded(await execute(*call.plan()))
        call.run(ext, search)
        writes = call.writes()
        if writes is not None:
            call.written(await execute(*writes))
    return {"cpu_ms": (time.process_time() - cpu0) / memories * 1000,
            "wall_ms": (time.perf_counter() - wall0) / memories * 1000}


def server_cpu(cluster: Any) -> float:
    import psutil

    pid = int((cluster.folder / "data" / "postmaster.pid").read_text().split()[0])
    main = psutil.Process(pid)
    total = 0.0
    for proc in [main] + main.children(recursive=True):
        try:
            t = proc.cpu_times()
            total += t.user + t.system + t.children_user + t.children_system
        except psutil.Error:
            pass
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--held", type=int, default=10000)
    parser.add_argument("--memories", type=int, default=1000)
    parser.add_argument("--child", nargs=3, metavar=("DRIVER", "CONNINFO", "SEED"))
    args = parser.parse_args()
    if args.child:
        driver, conninfo, seed = args.child
        print(json.dumps(asyncio.run(run(driver, conninfo, args.memories, int(seed)))))
        return
    from vantor_lacet_stores import StoreHost
    from vantor_lacet_stores.testing.cluster import ThrowawayCluster

    with ThrowawayCluster() as cluster:
        with StoreHost.connect(cluster.conninfo, D, freeze_gc=False, lease_seconds=None) as host:
            held = vectors(args.held, 1)
            for start in range(0, args.held, 200):
                host.add(GRAPH, [MemoryNode(id=f"held-{i}", content="x", content_embedding=held[i])
                                 for i in range(start, min(start + 200, args.held))])
        print(f"{args.held} memories held; {args.memories} single ingests a driver")
        print("| driver | client CPU ms a memory | server CPU ms a memory | wall ms a memory |")
        print("|---|---:|---:|---:|")
        for k, (driver, impl) in enumerate((("psycopg", "python"), ("psycopg", "binary"),
                                            ("asyncpg", ""))):
            env = dict(os.environ, PSYCOPG_IMPL=impl) if impl else dict(os.environ)
            before = server_cpu(cluster)
            out = subprocess.run([sys.executable, __file__, "--memories", str(args.memories),
                                  "--child", driver, cluster.conninfo, str(10 + k)],
                                 capture_output=True, text=True, env=env)
            if out.returncode != 0:
                raise SystemExit(f"{driver} ({impl}) failed:\n{out.stderr}")
            server = (server_cpu(cluster) - before) / args.memories * 1000
            figures = json.loads(out.stdout)
            name = f"{driver} ({impl})" if impl else driver
            print(f"| {name} | {figures['cpu_ms']:.2f} | {server:.2f} | {figures['wall_ms']:.2f} |")


if __name__ == "__main__":
    main()
