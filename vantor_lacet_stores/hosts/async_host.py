"""Many graphs served from one asyncio event loop, their memories and vectors
in PostgreSQL (pgvector): a graph per user or per agent, one extension each.

    host = await AsyncStoreHost.connect(conninfo, dimensions=384)
    result = await host.add("user-17", [node])      # a LacetIngestResult
    await host.forget("user-17", ["m1"])
    found = await host.recall("user-17", query_vector, context)   # see `recall`
    await host.close()

`servers` may be one conninfo or a `ServerMap` (graphs spread over several
PostgreSQL servers: a pool each, the graph's server from the map).

Each call is driven through `protocol.calls`, which `StoreHost` (threads)
drives too: the search and the neighbourhood in one statement, the package's call on the loop against that snapshot (no I/O in
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
vector of another dimension, NaN or infinity) are refused with `MemoryRefused`,
and a call of more than `max_batch` memories with `BatchTooLarge`, before
anything is sent. A memory already stored raises `AlreadyStored`; a failure of
the store or the connection `StoreFailed` (see `errors`). With `strict_search`, a call whose search
failed fails too (see `protocol.ingest_round`).

One process at a time serves a graph (`statements.owner`): the first call on a graph
takes its lease in the graph's `owner` row, or raises `GraphTaken` naming the
process that holds it (after waiting up to `take_timeout` seconds for it to
come free: by default a little longer than a lease, so that a process
restarted after a crash takes its graphs back from its dead self). A background task renews the leases every third of
`lease_seconds`. Every write checks the lease's token in its own statement:
a process that lost the graph (paused past its lease, cut off, superseded)
stores nothing and raises `GraphLost`, and drops the graph, so that its next
call takes it again, or learns who has it, and starts from what is stored.
`close` ends the leases at once, and so does a graph left without a call
for `idle_release` seconds (five minutes by default); `hand_over` gives a
graph to a named process (a router moving graphs back where they belong).
Each result says where its write stands in the graph's history:
`write_number` (one more for every write of the graph, whoever wrote it) and
`lease_token` (one more for every new holder), on `add`'s result and on the
`ForgetResult` of `forget`. `lease_seconds=None` switches this off, for
a deployment that guarantees one process per graph by other means.

Needs `pip install "vantor_lacet[postgres]"` (psycopg 3, psycopg_pool, numpy).
"""
from __future__ import annotations

import asyncio
import contextlib
import logging
import time
from collections.abc import AsyncIterator, Iterable, Mapping
from typing import Any

import psycopg
from psycopg.pq import ExecStatus
from psycopg_pool import AsyncConnectionPool

from vantor_lacet_stores.errors import GraphLost, StoreFailed, store_failed
from vantor_lacet_stores.hosts.host_core import HostCore
from vantor_lacet_stores.hosts.pool_check import IdleCheck
from vantor_lacet_stores.hosts.server_map import ServerMap
from vantor_lacet_stores.protocol import calls, recall
from vantor_lacet_stores.protocol.calls import GraphState, Package, Setup, Sleep
from vantor_lacet_stores.protocol.ingest_round import IngestRound
from vantor_lacet_stores.statements.pg_types import (
    ensure_vectors_async,
    has_vectors,
    sends_vectors,
)
from vantor_lacet_stores.statements.sessions import lease_bounds, session_settings

logger = logging.getLogger("vantor_lacet_stores")
ROWS = ExecStatus.TUPLES_OK

class AsyncStoreHost(HostCore):
    """See the module's text. `pools`: an open `AsyncConnectionPool` per server
    name, whose connections run in autocommit with `session_settings` (`connect`
    makes them); `servers` places each graph on one of them (one pool: not needed).
    `config(graph)` gives each new extension its `LacetConfig` (None: defaults).
    `exact`: search every stored memory instead of the HNSW index. `ef_search`:
    the `hnsw.ef_search` the pools' connections set (a larger `top_k` is answered
    by the exact search). `instance`: this process's name in the leases (None: a
    new unique one). `lease_seconds`: the lease (None: none). `take_timeout`: how
    long the first call on a graph waits for another process's lease to end
    (None: the lease and a second). `max_batch`: the most memories a call takes
    (None: no limit). `idle_release`: how long a graph may go without a call
    before its lease is released and its extension dropped, checked at each
    renewal (None: never). For monitoring: `statements` counts what the calls and the
    opening of graphs sent, `renewals` the leases renewed in the background, and
    `write_log` holds (graph, lease token, write number) for each write."""

    def __init__(self, pools: Mapping[str, AsyncConnectionPool] | AsyncConnectionPool, dimensions: int,
                 **options: Any) -> None:
        if isinstance(pools, AsyncConnectionPool):
            pools = {"main": pools}
        super().__init__(pools, dimensions, **options)
        self._locks: dict[str, asyncio.Lock] = {}
        self._renewer: asyncio.Task[None] | None = None

    @classmethod
    async def connect(cls, servers: str | ServerMap, dimensions: int, ef_search: int = 100,
                      min_size: int = 1, max_size: int = 8, timeout: float = 5.0,
                      check_idle: float = 1.0, **options: Any) -> AsyncStoreHost:
        """A host with a pool of its own for each server (closed by `close`):
        `servers` is a conninfo, or a `ServerMap`. A call waits up to `timeout`
        seconds for a connection (a server that is down fails its calls after
        that); a pooled connection idle for `check_idle` seconds or more is checked
        before its use, so that a server restarted meanwhile costs no failed call
        (see `pool_check`; 0: every one). `options`: as the constructor's."""
        if isinstance(servers, str):
            servers = ServerMap.single(servers)
        settings = session_settings(ef_search, generic_plans=True,
                                    **lease_bounds(options.get("lease_seconds", 5.0)))

        async def configure(conn: psycopg.AsyncConnection[Any]) -> None:
            for setting in settings:
                await conn.execute(setting)

        idle = IdleCheck(check_idle)

        async def check(conn: psycopg.AsyncConnection[Any]) -> None:
            if idle.due(conn):
                await AsyncConnectionPool.check_connection(conn)

        async def returned(conn: psycopg.AsyncConnection[Any]) -> None:
            idle.returned(conn)

        pools = {}
        try:
            for name, conninfo in servers.servers.items():
                pools[name] = AsyncConnectionPool(
                    conninfo, min_size=min_size, max_size=max_size, kwargs={"autocommit": True},
                    configure=configure, check=check, reset=returned,
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
                state = self._graphs.pop(graph, None)
                if state is not None:
                    with contextlib.suppress(StoreFailed):
                        async with self._connection(state.server) as conn:
                            await self._drive(conn, calls.release(self, state))
        for pool in self.pools.values():
            await pool.close()

    def lock(self, graph: str) -> asyncio.Lock:
        """The lock every call on `graph` holds from its first statement to its last."""
        lock = self._locks.get(graph)
        if lock is None:
            lock = self._locks[graph] = asyncio.Lock()
        return lock

    async def open(self, graph: str) -> None:
        """Take and open `graph` now rather than at its first call."""
        async with self.lock(graph):
            await self._state(graph)

    async def add(self, graph: str, nodes: Iterable[Any],
                  strict_search: bool | None = None) -> Any:
        """Store the nodes in `graph` and ingest them (one: `on_ingest`; more:
        `on_ingest_batch`), in one write. Returns the extension's result."""
        nodes = list(nodes)
        self._check_batch(nodes)
        strict = self.strict_search if strict_search is None else strict_search
        async with self.lock(graph):
            state = await self._state(graph)
            result = await self._call(state, calls.add(self, state, nodes, strict))
        self._added(len(nodes))
        return result

    async def forget(self, graph: str, node_ids: Iterable[str]) -> calls.ForgetResult:
        """Remove the memories and their edges from `graph` in one statement, then
        tell the extension. KeyError, and nothing removed, for an id not stored."""
        ids = list(node_ids)
        async with self.lock(graph):
            state = await self._state(graph)
            result: calls.ForgetResult = await self._call(state, calls.forget(self, state, ids))
        return result

    async def hand_over(self, graph: str, to: str) -> bool:
        """Give `graph` to the process named `to` (its `instance`): after the call
        in flight on the graph, if any, this process writes nothing more to it,
        and `to` takes it at its next call on it (anyone else may once a lease
        has passed). Whether this process held the graph (False: it did not
        serve it, or had lost it; nothing changed)."""
        async with self.lock(graph):
            state = self._graphs.get(graph)
            if state is None:
                return False
            try:
                async with self._connection(state.server) as conn:
                    held: bool = await self._drive(conn, calls.hand_over(self, state, to))
            finally:
                self._drop(state)  # held or not, the next call opens it again
        return held

    async def recall(self, graph: str, query_vector: Any, context: Any) -> list[recall.Recalled]:
        """The memories of `graph` nearest `query_vector` and those the spreading
        over its edges reaches from them, best first, as `context` (a
        `RetrievalContext`, or any object with its fields) asks: one statement.
        A read takes neither the graph's lock nor its lease, and may recall a
        graph another process serves; with `strengthen_on_retrieval` it writes,
        as `add` does (the lock, the lease, GraphLost). See docs/stores.md."""
        params = recall.prepare(self.dimensions, query_vector, context)
        if params is None:
            return []
        if context.strengthen_on_retrieval:
            async with self.lock(graph):
                state = await self._state(graph)
                answer: list[recall.Recalled] = await self._call(
                    state, recall.recall(self, graph, state, params, True))
                return answer
        async with self._connection(self.servers.place(graph)) as conn:
            answer = await self._drive(conn, recall.recall(self, graph, None, params, False))
            return answer

    # -- driving the calls ---------------------------------------------------------

    @contextlib.asynccontextmanager
    async def _connection(self, server: str) -> AsyncIterator[psycopg.AsyncConnection[Any]]:
        """A connection of the server's pool; failing to get one is StoreFailed."""
        try:
            async with self.pools[server].connection() as conn:
                yield conn
        except psycopg.Error as exc:
            raise store_failed(exc) from exc

    async def _call(self, state: GraphState, call: calls.Call) -> Any:
        try:
            async with self._connection(state.server) as conn:
                return await self._drive(conn, call)
        except GraphLost:
            self._drop(state)
            raise
        finally:
            state.used = time.monotonic()

    async def _drive(self, conn: psycopg.AsyncConnection[Any], call: calls.Call,
                     count: bool = True) -> Any:
        """Run `call`'s steps on `conn`, in order, until it returns (`count`: its
        statements in `statements`)."""
        answer: Any = None
        error: BaseException | None = None
        while True:
            try:
                step = call.throw(error) if error is not None else call.send(answer)
            except StopIteration as stop:
                return stop.value
            error = None
            try:
                answer = await self._step(conn, step, count)
            except psycopg.Error as exc:
                error = store_failed(exc)
            except BaseException as exc:  # noqa: BLE001 - the call decides; it re-raises
                error = exc

    async def _step(self, conn: psycopg.AsyncConnection[Any], step: calls.Step,
                    count: bool) -> Any:
        if isinstance(step, calls.Statement):
            if count:
                return await self._execute(conn, step.sql, step.params)
            cur = await conn.execute(step.sql, step.params)  # a lease renewal: `renewals`
            return await cur.fetchone() if cur.description is not None else None
        if isinstance(step, Package):
            # A turn for the loop between reading the answer and the package's
            # call: a request's synchronous work comes in pieces, none of which
            # holds the others (and the loop's timers) for the whole call.
            await asyncio.sleep(0)
            return await self._package(step.round, step.state)
        if isinstance(step, Setup):
            row = None
            async with conn.transaction():
                for sql, params in step.steps:
                    cur = await conn.execute(sql, params)
                    row = await cur.fetchone() if cur.description is not None else None
            return row
        if isinstance(step, Sleep):
            await asyncio.sleep(step.seconds)
            return None
        raise TypeError(f"not a step: {step!r}")

    async def _execute(self, conn: psycopg.AsyncConnection[Any], sql: str,
                       params: Any = None) -> Any:
        self.statements += 1
        if sends_vectors(params) and not has_vectors(conn):
            await ensure_vectors_async(conn)
        cur = await conn.execute(sql, params, prepare=True, binary=True)
        # (not `description`, which builds a column object a column, each time)
        result = cur.pgresult
        return await cur.fetchone() if result is not None and result.status == ROWS else None

    async def _package(self, round: IngestRound, state: GraphState) -> Any:
        """The package's call, on the loop: it does no I/O, and a fraction of a
        millisecond a memory is less than a thread's hand-over costs."""
        return round.run(state.ext, state.search)

    async def _state(self, graph: str) -> GraphState:
        state = self._graphs.get(graph)
        if state is not None:
            return state
        server = self.servers.place(graph)
        async with self._connection(server) as conn:
            state = await self._drive(conn, calls.open_graph(self, graph, server))
        return self._opened(state)

    # -- the leases ------------------------------------------------------------------

    async def _renew_leases(self) -> None:
        assert self.lease_seconds is not None
        while True:
            await asyncio.sleep(self.lease_seconds / 3)
            for state in self._idle():
                await self._release_idle(state)
            await asyncio.gather(*(self._renew(state) for state in list(self._graphs.values())))

    async def _release_idle(self, state: GraphState) -> None:
        """Let an idle graph go: its lease released, its extension dropped. A graph
        whose lock is held has a call in flight, or waiting: not idle."""
        lock = self.lock(state.graph)
        if lock.locked():
            return
        async with lock:
            if not self._still_idle(state):
                return
            self._drop(state)
            try:
                async with self.pools[state.server].connection(
                        timeout=self.lease_seconds or 1.0) as conn:
                    await self._drive(conn, calls.release(self, state), count=False)
            except Exception:
                # Dropped all the same: the lease, no longer renewed, runs out.
                logger.warning("releasing the idle graph %r failed", state.graph, exc_info=True)

    async def _renew(self, state: GraphState) -> None:
        assert self.lease_seconds is not None
        try:
            async with self.pools[state.server].connection(timeout=self.lease_seconds / 3) as conn:
                self.renewals += 1
                held = await self._drive(conn, calls.renew(self, state), count=False)
        except Exception:
            # The writes are fenced whatever happens here; the lease runs out if
            # this goes on, and another process may then take the graph.
            logger.warning("renewing the lease of graph %r failed", state.graph, exc_info=True)
            return
        if not held:  # taken over: the next call takes it again or learns who has it
            self._drop(state)
