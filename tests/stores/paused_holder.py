"""The holder of one graph, run as a process of its own by the tests that stop it
(SIGSTOP) at a named point of a call while another process takes the graph.

    python paused_holder.py CONNINFO GRAPH LEASE POINT

It serves GRAPH as instance "a" with a lease of LEASE seconds (its sessions
sit idle inside a transaction for at most one lease), adds the memories p0 to
p3, prints "ready" and waits for a line on stdin. Then it makes the call of
POINT and stops itself there, printing "stopping" first:

- "forget": forget p1, stopped right before the statement that removes it;
- "forget-answered": the same, stopped right after that statement's answer
  (before whatever the call does next);
- "add": add p4 and p5, stopped right before the statement that writes them.

Once continued it prints the call's outcome ("ok" or the exception's class)
and exits. The stop is made here, by wrapping psycopg's cursor: no module of
the package knows of it.
"""
from __future__ import annotations

import asyncio
import os
import signal
import sys
from typing import Any

import numpy as np
import psycopg
from psycopg_pool import AsyncConnectionPool

import vantor_lacet
from vantor.core.node import MemoryNode
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.statements.pg_graph import PgStatements
from vantor_lacet_stores.statements.sessions import lease_bounds, session_settings

D = 12


def memories(names: list[str]) -> list[MemoryNode]:
    rng = np.random.default_rng(3)
    return [MemoryNode(id=name, content=name,
                       content_embedding=rng.normal(size=D).astype(np.float32))
            for name in names]


def arm(point: str, stmts: PgStatements) -> None:
    """Stop this process once, at `point` (see the module's text)."""
    target = {"forget": {stmts.forget_fenced}, "forget-answered": {stmts.forget_fenced},
              "add": {stmts.apply_fenced}}[point]
    after = point.endswith("-answered")
    original = psycopg.AsyncCursor.execute
    armed = [True]

    def stop() -> None:
        armed.clear()
        print("stopping", flush=True)
        os.kill(os.getpid(), signal.SIGSTOP)

    async def execute(self: Any, query: Any, params: Any = None, **kwargs: Any) -> Any:
        hit = armed and query in target
        if hit and not after:
            stop()
        result = await original(self, query, params, **kwargs)
        if hit and after:
            stop()
        return result

    psycopg.AsyncCursor.execute = execute  # type: ignore[method-assign]


async def main(conninfo: str, graph: str, lease: float, point: str) -> None:
    settings = session_settings(100, **lease_bounds(lease))

    async def configure(conn: Any) -> None:
        for setting in settings:
            await conn.execute(setting)

    pool = AsyncConnectionPool(conninfo, min_size=1, max_size=2, kwargs={"autocommit": True},
                               configure=configure, open=False)
    await pool.open(wait=True)
    config = vantor_lacet.LacetConfig(similarity_threshold=0.2, max_semantic_edges_per_node=3)
    host = AsyncStoreHost(pool, D, config=lambda _graph: config, instance="a",
                          lease_seconds=lease)
    host.start()
    nodes = memories([f"p{i}" for i in range(6)])
    await host.add(graph, nodes[:4])
    print("ready", flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    arm(point, PgStatements(graph, D))
    try:
        if point.startswith("forget"):
            await host.forget(graph, ["p1"])
        else:
            await host.add(graph, nodes[4:])
        print("ok", flush=True)
    except Exception as exc:  # the outcome is the report
        print(type(exc).__name__, exc, flush=True)
    finally:
        await host.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]))
