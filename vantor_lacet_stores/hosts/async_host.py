"""Many graphs served from one asyncio event loop, their memories and vectors
in PostgreSQL (pgvector): a graph per user or per agent, one extension each.

    host = await AsyncStoreHost.connect(conninfo, dimensions=384)
    result = await host.add("user-17", [node])      # a LacetIngestResult
    await host.forget("user-17", ["m1"])
    await host.close()

`servers` may be one conninfo or a `ServerMap` (graphs spread over several
PostgreSQL servers: a pool each, the graph's server from the map).

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
collector's way (`gc.freeze()`, and again every 5,000 memories: `Freezer`),
since a full collection would otherwise walk every candidate of every graph,
a pause of the loop of 50 ms and more at 10^5 memories.

A failed call stores nothing (one statement writes it, or none does), and
raises. The extension is brought back in step with the store before the
graph's next call (one statement: which of the call's memories the store
holds, and the stored last id), so a call cancelled while its write was in
flight, or failed by a server that went away after committing, comes out
right either way. Nodes the store cannot keep (an id that is not a `str`, a
vector of another dimension, NaN or infinity) are refused with TypeError or
ValueError before anything is sent. With `strict_search`, a call whose search
failed fails too (see `two_phase`).

One process at a time serves a graph (`ownership`): the first call on a graph
takes its lease in the graph's `owner` row, or raises `GraphTaken` naming the
process that holds it (after waiting up to `take_timeout` seconds for it to
come free). A background task renews the leases every third of
`lease_seconds`. Every write checks the lease's token in its own statement:
a process that lost the graph (paused past its lease, cut off, superseded)
stores nothing and raises `GraphLost`, and drops the graph, so that its next
call takes it again, or learns who has it, and starts from what is stored.
`close` ends the leases at once. `lease_seconds=None` switches this off, for
a deployment that guarantees one process per graph by other means.

Needs psycopg 3 and psycopg_pool.
"""
from __future__ import annotations

import asyncio
import contextlib
import json
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import psycopg
from psycopg_pool import AsyncConnectionPool

import vantor_lacet
from vantor_lacet_stores.errors import GraphLost, GraphTaken
from vantor_lacet_stores.statements.owner import OwnerStatements, instance_name
from vantor_lacet_stores.statements.pg_graph import (
    DIMENSIONS,
    PgStatements,
    dimensions_after_setup,
    SETUP_RACES,
    needs_setup,
    setup_statements,
)
from vantor_lacet_stores.graphs.postgres_graph import session_settings
from vantor_lacet_stores.protocol.rows import RowReader
from vantor_lacet_stores.hosts.server_map import ServerMap
from vantor_lacet_stores.protocol.ingest_round import (
    Freezer,
    IngestRound,
    LightNodes,
    RoundSearch,
    light_ids,
    settle,
    settled,
)


class ServedGraph:
    """One graph of an `AsyncStoreHost`: its server, statements, extension and the
    search it replays, its lease token, and a failed call still to settle."""

    def __init__(self, server: str, stmts: PgStatements, ext: Any, search: RoundSearch,
                 token: int | None) -> None:
        self.server = server
        self.stmts = stmts
        self.owner = OwnerStatements(stmts.graph)
        self.ext = ext
        self.search = search
        self.token = token
        self.rows = RowReader()
        self.unsettled: list[Any] | None = None  # the ids of a failed call


class AsyncStoreHost:
    """See the module's text. `pools`: an open `AsyncConnectionPool` per server
    name, whose connections run in autocommit with `session_settings` (`connect`
    makes them); `servers` places each graph on one of them (one pool: not needed).
    `config(graph)` gives each new extension its `LacetConfig` (None: defaults).
    `exact`: search every stored memory instead of the HNSW index. `ef_search`:
    the `hnsw.ef_search` the pools' connections set (a larger `top_k` is answered
    by the exact search). `instance`: this process's name in the leases (None: a
    new unique one). For monitoring: `statements` counts what the calls and the
    opening of graphs sent, `renewals` the leases renewed in the background, and
    `write_log` holds (graph, lease token, write number) for each write."""

    def __init__(self, pools: Mapping[str, AsyncConnectionPool] | AsyncConnectionPool,
                 dimensions: int, servers: ServerMap | None = None,
                 config: Callable[[str], Any] | None = None, strict_search: bool = False,
                 exact: bool = False, freeze_gc: bool = True, ef_search: int = 100,
                 instance: str | None = None, lease_seconds: float | None = 5.0,
                 take_timeout: float = 0.0) -> None:
        if isinstance(pools, AsyncConnectionPool):
            pools = {"main": pools}
        self.pools = dict(pools)
        if servers is None:
            if len(self.pools) != 1:
                raise ValueError("several pools need a ServerMap to place the graphs")
            servers = ServerMap(dict.fromkeys(self.pools, ""))
        self.servers = servers
        self.dimensions = dimensions
        self.config = config
        self.strict_search = strict_search
        self.exact = exact
        self._freezer = Freezer() if freeze_gc else None
        self.ef_search = ef_search  # as the pools' connections set it
        self.instance = instance or instance_name()
        self.lease_seconds = lease_seconds
        self.take_timeout = take_timeout
        self.statements = 0  # sent for the calls and for opening graphs
        self.renewals = 0  # lease renewals, sent by the background task
        self.write_log: list[tuple[str, int, int]] = []  # (graph, token, write counter)
        self._graphs: dict[str, ServedGraph] = {}
        self._locks: dict[str, asyncio.Lock] = {}
        self._renewer: asyncio.Task[None] | None = None

    @classmethod
    async def connect(cls, servers: str | ServerMap, dimensions: int, ef_search: int = 100,
                      min_size: int = 1, max_size: int = 8, timeout: float = 5.0,
                      **options: Any) -> AsyncStoreHost:
        """A host with a pool of its own for each server (closed by `close`):
        `servers` is a conninfo, or a `ServerMap`. A call waits up to `timeout`
        seconds for a connection (a server that is down fails its calls after
        that); a pooled connection is checked before each use, so that a server
        restarted meanwhile costs no failed call."""
        if isinstance(servers, str):
            servers = ServerMap.single(servers)
        settings = session_settings(ef_search)

        async def configure(conn: psycopg.AsyncConnection[Any]) -> None:
            for setting in settings:
                await conn.execute(setting)

        pools = {}
        try:
            for name, conninfo in servers.servers.items():
                pools[name] = AsyncConnectionPool(
                    conninfo, min_size=min_size, max_size=max_size, kwargs={"autocommit": True},
                    configure=configure, check=AsyncConnectionPool.check_connection,
                    timeout=timeout, open=False, name=f"lacet-{name}")
                await pools[name].open(wait=True)
        except BaseException:
            for pool in pools.values():
                await pool.close()
            raise
        host = cls(pools, dimensions, servers=servers, ef_search=ef_search, **options)
        host.start()
        return host

    def start(self) -> None:
        """Start renewing the leases (`connect` does it; call it on a host built
        from pools of your own, inside the event loop)."""
        if self.lease_seconds is not None and self._renewer is None:
            self._renewer = asyncio.get_running_loop().create_task(self._renew_leases())

    async def close(self) -> None:
        """Stop renewing, end this process's leases (others may take the graphs at
        once), close the pools."""
        if self._renewer is not None:
            self._renewer.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._renewer
            self._renewer = None
        for graph in list(self._graphs):
            async with self.lock(graph):
                served = self._graphs.pop(graph, None)
                if served is not None and served.token is not None:
                    with contextlib.suppress(psycopg.Error):
                        async with self.pools[served.server].connection() as conn:
                            await conn.execute(served.owner.release, self._lease(served))
        for pool in self.pools.values():
            await pool.close()

    def lock(self, graph: str) -> asyncio.Lock:
        """The lock every call on `graph` holds from its first statement to its last."""
        lock = self._locks.get(graph)
        if lock is None:
            lock = self._locks[graph] = asyncio.Lock()
        return lock

    def extension(self, graph: str) -> Any:
        """The extension of a graph being served (KeyError otherwise)."""
        return self._graphs[graph].ext

    def serving(self) -> list[str]:
        """The graphs this process serves now."""
        return list(self._graphs)

    async def open(self, graph: str) -> None:
        """Take and open `graph` now rather than at its first call."""
        async with self.lock(graph):
            await self._served(graph)

    def _lease(self, served: ServedGraph) -> dict[str, Any]:
        return {"holder": self.instance, "token": served.token}

    async def _execute(self, conn: psycopg.AsyncConnection[Any], sql: str,
                       params: Any = None) -> Any:
        self.statements += 1
        cur = await conn.execute(sql, params)
        return await cur.fetchone() if cur.description is not None else None

    async def _take(self, conn: psycopg.AsyncConnection[Any], graph: str,
                    owner: OwnerStatements) -> int:
        """Take the graph's lease, waiting up to `take_timeout` for it to come free."""
        loop = asyncio.get_running_loop()
        give_up = loop.time() + self.take_timeout
        while True:
            row = await self._execute(conn, owner.take, {"holder": self.instance,
                                                         "seconds": self.lease_seconds})
            if row is not None:
                return int(row[0])
            holder = await self._execute(conn, owner.holder)
            if loop.time() >= give_up:
                raise GraphTaken(graph, *(holder or ("nobody", None)))
            await asyncio.sleep(min(0.2, max(0.0, give_up - loop.time())))

    async def _served(self, graph: str) -> ServedGraph:
        served = self._graphs.get(graph)
        if served is not None:
            return served
        server = self.servers.place(graph)
        stmts = PgStatements(graph, self.dimensions)
        owner = OwnerStatements(graph)
        async with self.pools[server].connection() as conn:
            try:
                ready = await self._execute(conn, stmts.ready, stmts.ready_params)
            except psycopg.errors.UndefinedTable:
                ready = None
            for attempt in range(3):
                if not needs_setup(stmts, ready):
                    break
                try:
                    async with conn.transaction():
                        for step in setup_statements(stmts):
                            await conn.execute(step)
                        await conn.execute(stmts.set_meta, (DIMENSIONS, str(self.dimensions)))
                        cur = await conn.execute(stmts.get_meta, (DIMENSIONS,))
                        ready = (await cur.fetchone() or (None,)) + (True,)
                except SETUP_RACES:
                    if attempt == 2:
                        raise
            stmts = dimensions_after_setup(stmts, ready[0])
            # The lease first: once it is taken no write of an earlier holder can
            # commit, so what is loaded next is what this process goes on from.
            token = None if self.lease_seconds is None else await self._take(conn, graph, owner)
            ids, last = light_ids(await self._execute(conn, stmts.light_nodes))
        search = RoundSearch()
        config = self.config(graph) if self.config is not None else None
        ext: Any = vantor_lacet.build_extension(search, LightNodes(ids), config)
        ext._last_id = last
        del ids
        if self._freezer is not None:
            self._freezer.loaded()
        served = self._graphs[graph] = ServedGraph(server, stmts, ext, search, token)
        return served

    def _lost(self, graph: str, served: ServedGraph) -> GraphLost:
        if self._graphs.get(graph) is served:
            del self._graphs[graph]
        return GraphLost(graph, self.instance)

    async def _renew_leases(self) -> None:
        assert self.lease_seconds is not None
        while True:
            await asyncio.sleep(self.lease_seconds / 3)
            await asyncio.gather(*(self._renew(graph, served)
                                   for graph, served in list(self._graphs.items())))

    async def _renew(self, graph: str, served: ServedGraph) -> None:
        try:
            async with self.pools[served.server].connection(timeout=self.lease_seconds / 3) as conn:
                self.renewals += 1
                cur = await conn.execute(served.owner.renew,
                                         {**self._lease(served), "seconds": self.lease_seconds})
                row = await cur.fetchone()
        except Exception:  # noqa: S110 - the server is away: the writes are fenced anyway
            return
        if row is None:  # taken over: the next call takes it again or learns who has it
            self._lost(graph, served)

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
            async with self.pools[served.server].connection() as conn:
                await self._settle(conn, served)  # first: it may move the chain's end
                call = IngestRound(served.stmts, served.rows, nodes, served.ext._last_id,
                                   served.ext.config, exact=self.exact, strict_search=strict,
                                   ef_search=self.ef_search)
                started = False
                lease = None if served.token is None else self._lease(served)
                try:
                    call.loaded(await self._execute(conn, *call.plan(lease)))
                    if lease is not None and not call.lease_held:
                        raise self._lost(graph, served)
                    started = True  # from here on the extension may have taken the nodes
                    result = await self._package(call, served)
                    call.raise_failure()
                    writes = call.writes(lease)
                    if writes is not None:
                        row = await self._execute(conn, *writes)
                        if lease is not None:
                            if row[-1] is None:
                                raise self._lost(graph, served)
                            self.write_log.append((graph, served.token, int(row[-1])))
                except BaseException:
                    if started:  # settled at the graph's next call, whatever the store holds
                        served.unsettled = [node.id for node in call.nodes]
                    raise
        if self._freezer is not None:
            self._freezer.added(len(nodes))
        return result

    async def _package(self, call: IngestRound, served: ServedGraph) -> Any:
        """The package's call, on the loop: it does no I/O, and a fraction of a
        millisecond a memory is less than a thread's hand-over costs."""
        return call.run(served.ext, served.search)

    async def forget(self, graph: str, node_ids: Iterable[str]) -> None:
        """Remove the memories and their edges from `graph` in one transaction, then
        tell the extension. KeyError, and nothing removed, for an id not stored."""
        ids = list(node_ids)
        async with self.lock(graph):
            served = await self._served(graph)
            async with self.pools[served.server].connection() as conn:
                await self._settle(conn, served)
                try:
                    async with conn.transaction():
                        if served.token is None:
                            self.statements += 1
                            cur = await conn.execute(served.stmts.forget, {"ids": ids})
                            removed = {row[0] for row in await cur.fetchall()}
                        else:
                            writes, gone = await self._execute(
                                conn, served.stmts.forget_fenced, {"ids": ids, **self._lease(served)})
                            if writes is None:
                                raise self._lost(graph, served)
                            removed = set(json.loads(gone))
                        missing = [node_id for node_id in ids if node_id not in removed]
                        if missing:
                            raise KeyError(missing[0])
                except (KeyError, GraphLost):
                    raise
                except BaseException:
                    served.unsettled = ids
                    raise
            if served.token is not None:
                self.write_log.append((graph, served.token, int(writes)))
            served.ext.on_forget(ids)
