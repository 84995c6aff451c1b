"""How the graphs are spread over the instances, sampled from the servers while
the race tests run: a graph counts for the instance whose current process its
owner row names with a lease not run out, "stale" when the row names a process
that is gone (a killed one, until its lease runs out), "free" otherwise."""
from __future__ import annotations

import asyncio
import time
from typing import Any

import psycopg
from psycopg import sql

from fleet import Fleet


class Spread:
    """Samples every `every` seconds (see `run`); `samples` holds (time.monotonic(),
    graphs held by each instance, stale, free) for each sample every server
    answered."""

    def __init__(self, fleet: Fleet, conninfos: list[str], graphs: list[str],
                 every: float = 0.25) -> None:
        self.fleet = fleet
        self.conninfos = conninfos
        self.graphs = graphs
        self.every = every
        self.samples: list[tuple[float, tuple[int, ...], int, int]] = []
        self._conns: dict[int, Any] = {}

    async def _holders(self, k: int) -> list[tuple[str, str | None]]:
        conn = self._conns.get(k)
        if conn is None or conn.closed:
            conn = self._conns[k] = await psycopg.AsyncConnection.connect(
                self.conninfos[k], autocommit=True, connect_timeout=1)
        cur = await conn.execute("SELECT nspname FROM pg_namespace WHERE nspname = ANY(%s) "
                                 "AND to_regclass(quote_ident(nspname) || '.owner') IS NOT NULL",
                                 (self.graphs,))
        graphs = [row[0] for row in await cur.fetchall()]
        if not graphs:
            return []
        query = sql.SQL(" UNION ALL ").join(
            sql.SQL("SELECT {name}, (SELECT holder FROM {g}.owner WHERE deadline > now())")
            .format(name=sql.Literal(g), g=sql.Identifier(g)) for g in graphs)
        cur = await conn.execute(query)
        return list(await cur.fetchall())

    async def sample(self) -> tuple[tuple[int, ...], int, int] | None:
        """One sample now: None when a server did not answer."""
        rows = []
        for k in range(len(self.conninfos)):
            try:
                rows += await asyncio.wait_for(self._holders(k), 1.0)
            except (psycopg.Error, OSError, TimeoutError):
                conn = self._conns.pop(k, None)
                if conn is not None:
                    await conn.close()
                return None
        held = [0] * len(self.fleet.processes)
        stale = free = 0
        for _, holder in rows:
            k = self.fleet.index(holder) if holder is not None else None
            if k is not None:
                held[k] += 1
            elif holder is not None:
                stale += 1
            else:
                free += 1
        free += len(self.graphs) - len(rows)
        return tuple(held), stale, free

    async def run(self, stop: asyncio.Event) -> None:
        try:
            while not stop.is_set():
                got = await self.sample()
                if got is not None:
                    self.samples.append((time.monotonic(), *got))
                await asyncio.sleep(self.every)
        finally:
            for conn in self._conns.values():
                await conn.close()

    def limit(self) -> float:
        """Twice an instance's share of the graphs."""
        return 2 * len(self.graphs) / len(self.fleet.processes)

    def even(self, held: tuple[int, ...]) -> bool:
        """No instance with more than twice its share, none with less than half."""
        share = len(self.graphs) / len(held)
        return max(held) <= 2 * share and min(held) >= share / 2

    def after(self, began: float, until: float) -> dict[str, Any]:
        """Over the samples from `began` to `until`: the most graphs one instance
        held, the fewest, and how long it took to an even spread (None: never)."""
        window = [s for s in self.samples if began <= s[0] < until]
        if not window:
            return {"most": None, "fewest": None, "to even": None}
        to_even = next((t - began for t, held, *_ in window if self.even(held)), None)
        return {"most": max(max(held) for _, held, *_ in window),
                "fewest": min(min(held) for _, held, *_ in window), "to even": to_even}
