"""Many graphs served from one asyncio event loop, their memories and vectors
in PostgreSQL (pgvector): a graph per user or per agent, one extension each.

    host = await AsyncStoreHost.connect(conninfo, dimensions=384)
    result = await host.add("user-17", [node])      # a LacetIngestResult
    await host.forget("user-17", ["m1"])
    await host.close()

Each call is one round of `two_phase`: the search and the neighbourhood in one
statement, the package's call on the loop against that snapshot (no I/O in
it: about 0.2 ms), one statement for the writes. Calls on one extension must
not overlap, and nothing else may write the graph while a call is between its
first statement and its writes: each graph has an `asyncio.Lock` held for the
whole call, across its awaits. Calls on different graphs interleave freely,
each on a connection of the pool.

A graph is opened at its first call (or by `open`): its tables are created
when missing, and the extension starts from light nodes (the ids of the
stored memories with a vector, in one statement) and the stored last id, so a
restart goes on with the chain. What was loaded is frozen out of the garbage
collector's way (`gc.freeze()`), since a full collection would otherwise walk
every candidate of every graph at each pause of the loop.

A failed call stores nothing (one statement writes it, or none does), and
raises. The extension is brought back in step with the store before the
graph's next call (one statement: which of the call's memories the store
holds, and the stored last id), so a call cancelled while its write was in
flight, or failed by a server that went away after committing, comes out
right either way. Nodes the store cannot keep (an id that is not a `str`, a
vector of another dimension, NaN or infinity) are refused with TypeError or
ValueError before anything is sent. With `strict_search`, a call whose search
failed fails too (see `two_phase`).

Needs psycopg 3 and psycopg_pool.
"""
from __future__ import annotations

import asyncio
import gc
from collections.abc import Callable, Iterable
from typing import Any

import psycopg
from psycopg_pool import AsyncConnectionPool

import vantor_lacet
from vantor.stores.pg_statements import (
    DIMENSIONS,
    PgStatements,
    dimensions_after_setup,
    setup_statements,
)
from vantor.stores.postgres_graph import session_settings
from vantor.stores.rows import RowReader
from vantor.stores.two_phase import IngestRound, LightNodes, RoundSearch, light_ids, settle, settled


class ServedGraph:
    """One graph of an `AsyncStoreHost`: its statements, its extension and the
    search it replays, the lock its calls hold, and a failed call still to settle."""

    def __init__(self, stmts: PgStatements, ext: Any, search: RoundSearch) -> None:
        self.stmts = stmts
        self.ext = ext
        self.search = search
        self.rows = RowReader()
        self.unsettled: list[Any] | None = None  # the ids of a failed call


class AsyncStoreHost:
    """See the module's text. `pool`: an open `AsyncConnectionPool` whose
    connections run in autocommit with `session_settings` (`connect` makes one).
    `config(graph)` gives each new extension its `LacetConfig` (None: defaults).
    `exact`: search every stored memory instead of the HNSW index. `ef_search`:
    the `hnsw.ef_search` the pool's connections set (a larger `top_k` is answered
    by the exact search)."""

    def __init__(self, pool: AsyncConnectionPool, dimensions: int,
                 config: Callable[[str], Any] | None = None, strict_search: bool = False,
                 exact: bool = False, freeze_gc: bool = True, ef_search: int = 40) -> None:
        self.pool = pool
        self.ef_search = ef_search  # as the pool's connections set it
        self.dimensions = dimensions
        self.config = config
        self.strict_search = strict_search
        self.exact = exact
        self.freeze_gc = freeze_gc
        self.statements = 0  # sent, in all
        self._graphs: dict[str, ServedGraph] = {}
        self._locks: dict[str, asyncio.Lock] = {}

    @classmethod
    async def connect(cls, conninfo: str, dimensions: int, ef_search: int = 40,
                      min_size: int = 2, max_size: int = 8, **options: Any) -> AsyncStoreHost:
        """A host with a pool of its own (closed by `close`)."""
        settings = session_settings(ef_search)

        async def configure(conn: psycopg.AsyncConnection[Any]) -> None:
            for setting in settings:
                await conn.execute(setting)

        pool = AsyncConnectionPool(conninfo, min_size=min_size, max_size=max_size,
                                   kwargs={"autocommit": True}, configure=configure, open=False)
        await pool.open(wait=True)
        return cls(pool, dimensions, ef_search=ef_search, **options)

    async def close(self) -> None:
        await self.pool.close()

    def lock(self, graph: str) -> asyncio.Lock:
        """The lock every call on `graph` holds from its first statement to its last."""
        lock = self._locks.get(graph)
        if lock is None:
            lock = self._locks[graph] = asyncio.Lock()
        return lock

    def extension(self, graph: str) -> Any:
        """The extension of an open graph (KeyError before its first call)."""
        return self._graphs[graph].ext

    async def open(self, graph: str) -> None:
        """Open `graph` now rather than at its first call."""
        async with self.lock(graph):
            await self._served(graph)

    async def _execute(self, conn: psycopg.AsyncConnection[Any], sql: str,
                       params: Any = None) -> Any:
        self.statements += 1
        cur = await conn.execute(sql, params)
        return await cur.fetchone() if cur.description is not None else None

    async def _served(self, graph: str) -> ServedGraph:
        served = self._graphs.get(graph)
        if served is not None:
            return served
        stmts = PgStatements(graph, self.dimensions)
        async with self.pool.connection() as conn:
            async with conn.transaction():
                for step in setup_statements(stmts):
                    await conn.execute(step)
                await conn.execute(stmts.set_meta, (DIMENSIONS, str(self.dimensions)))
                cur = await conn.execute(stmts.get_meta, (DIMENSIONS,))
                row = await cur.fetchone()
            stmts = dimensions_after_setup(stmts, row[0] if row else None)
            ids, last = light_ids(await self._execute(conn, stmts.light_nodes))
        search = RoundSearch()
        config = self.config(graph) if self.config is not None else None
        ext: Any = vantor_lacet.build_extension(search, LightNodes(ids), config)
        ext._last_id = last
        del ids
        if self.freeze_gc:
            gc.freeze()
        served = self._graphs[graph] = ServedGraph(stmts, ext, search)
        return served

    async def _settle(self, conn: psycopg.AsyncConnection[Any], served: ServedGraph) -> None:
        if served.unsettled is None:
            return
        ids = served.unsettled
        held, last = settled(await self._execute(
            conn, served.stmts.settle, {"ids": [i for i in ids if type(i) is str]}))
        settle(served.ext, ids, held, last)
        served.unsettled = None

    async def add(self, graph: str, nodes: Iterable[Any],
                  strict_search: bool | None = None) -> Any:
        """Store the nodes in `graph` and ingest them (one: `on_ingest`; more:
        `on_ingest_batch`), in one write. Returns the extension's result."""
        nodes = list(nodes)
        strict = self.strict_search if strict_search is None else strict_search
        async with self.lock(graph):
            served = await self._served(graph)
            async with self.pool.connection() as conn:
                await self._settle(conn, served)  # first: it may move the chain's end
                call = IngestRound(served.stmts, served.rows, nodes, served.ext._last_id,
                                   served.ext.config, exact=self.exact, strict_search=strict,
                                   ef_search=self.ef_search)
                started = False
                try:
                    call.loaded(await self._execute(conn, *call.plan()))
                    started = True  # from here on the extension may have taken the nodes
                    result = call.run(served.ext, served.search)
                    call.raise_failure()
                    writes = call.writes()
                    if writes is not None:
                        await self._execute(conn, *writes)
                except BaseException:
                    if started:  # settled at the graph's next call, whatever the store holds
                        served.unsettled = [node.id for node in call.nodes]
                    raise
        return result

    async def forget(self, graph: str, node_ids: Iterable[str]) -> None:
        """Remove the memories and their edges from `graph` in one transaction, then
        tell the extension. KeyError, and nothing removed, for an id not stored."""
        ids = list(node_ids)
        async with self.lock(graph):
            served = await self._served(graph)
            async with self.pool.connection() as conn:
                await self._settle(conn, served)
                try:
                    async with conn.transaction():
                        self.statements += 1
                        cur = await conn.execute(served.stmts.forget, {"ids": ids})
                        removed = {row[0] for row in await cur.fetchall()}
                        missing = [node_id for node_id in ids if node_id not in removed]
                        if missing:
                            raise KeyError(missing[0])
                except KeyError:
                    raise
                except BaseException:
                    served.unsettled = ids
                    raise
            served.ext.on_forget(ids)
