"""Many graphs served from threads (or one), their memories and vectors in
PostgreSQL (pgvector): `AsyncStoreHost` without asyncio, the same calls.

    host = StoreHost.connect(conninfo, dimensions=384)
    result = host.add("user-17", [node])      # a LacetIngestResult
    host.forget("user-17", ["m1"])
    host.close()

Every call runs the same steps as `AsyncStoreHost`'s (`protocol.calls`), driven
without `await` on a connection of a `psycopg_pool.ConnectionPool`: the same
statements, the same lease and fence (a `StoreHost` and an `AsyncStoreHost`
on one database refuse each other's writes past their leases), the same
recovery before the graph's next call, the same errors. Calls on one graph
are serialised by a lock of the graph's; calls on different graphs may run
at once from several threads, each on a connection of the pool. A thread of
the host's renews the leases every third of `lease_seconds`.

Needs `pip install "vantor_lacet[postgres]"` (psycopg 3, psycopg_pool, numpy).
"""
from __future__ import annotations

import contextlib
import logging
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

import psycopg
from psycopg.pq import ExecStatus
from psycopg_pool import ConnectionPool

from vantor_lacet_stores.errors import GraphLost, StoreFailed, store_failed
from vantor_lacet_stores.graphs.postgres_graph import setup_transaction
from vantor_lacet_stores.hosts.host_core import HostCore
from vantor_lacet_stores.hosts.pool_check import IdleCheck
from vantor_lacet_stores.hosts.server_map import ServerMap
from vantor_lacet_stores.protocol import calls, recall
from vantor_lacet_stores.protocol.calls import GraphState, Package, Setup, Sleep
from vantor_lacet_stores.statements.pg_types import ensure_vectors, sends_vectors
from vantor_lacet_stores.statements.sessions import lease_bounds, session_settings

logger = logging.getLogger("vantor_lacet_stores")
ROWS = ExecStatus.TUPLES_OK


class StoreHost(HostCore):
    """See the module's text; the arguments are `AsyncStoreHost`'s, with
    `ConnectionPool`s."""

    def __init__(self, pools: Mapping[str, ConnectionPool] | ConnectionPool, dimensions: int,
                 **options: Any) -> None:
        if isinstance(pools, ConnectionPool):
            pools = {"main": pools}
        super().__init__(pools, dimensions, **options)
        self._locks: dict[str, threading.Lock] = {}
        self._locks_lock = threading.Lock()
        self._stop = threading.Event()
        self._renewer: threading.Thread | None = None

    @classmethod
    def connect(cls, servers: str | ServerMap, dimensions: int, ef_search: int = 100,
                min_size: int = 1, max_size: int = 8, timeout: float = 5.0,
                check_idle: float = 1.0, **options: Any) -> StoreHost:
        """A host with a pool of its own for each server (closed by `close`), as
        `AsyncStoreHost.connect`."""
        if isinstance(servers, str):
            servers = ServerMap.single(servers)
        settings = session_settings(ef_search, generic_plans=True,
                                    **lease_bounds(options.get("lease_seconds", 5.0)))

        def configure(conn: psycopg.Connection[Any]) -> None:
            for setting in settings:
                conn.execute(setting)

        idle = IdleCheck(check_idle)

        def check(conn: psycopg.Connection[Any]) -> None:
            if idle.due(conn):
                ConnectionPool.check_connection(conn)

        pools = {}
        try:
            for name, conninfo in servers.servers.items():
                pools[name] = ConnectionPool(
                    conninfo, min_size=min_size, max_size=max_size, kwargs={"autocommit": True},
                    configure=configure, check=check, reset=idle.returned,
                    timeout=timeout, open=False, name=f"lacet-{name}")
                pools[name].open(wait=True)
        except BaseException:
            for pool in pools.values():
                pool.close()
            raise
        host = cls(pools, dimensions, servers=servers, ef_search=ef_search, **options)
        host.start()
        return host

    def start(self) -> None:
        """Start renewing the leases (`connect` does it)."""
        if self.lease_seconds is not None and self._renewer is None:
            self._stop.clear()
            self._renewer = threading.Thread(target=self._renew_leases, daemon=True,
                                             name=f"lacet-leases-{self.instance}")
            self._renewer.start()

    def close(self) -> None:
        """Stop renewing, end this process's leases, close the pools."""
        if self._renewer is not None:
            self._stop.set()
            self._renewer.join()
            self._renewer = None
        for graph in list(self._graphs):
            with self.lock(graph):
                state = self._graphs.pop(graph, None)
                if state is not None:
                    with contextlib.suppress(StoreFailed):
                        with self._connection(state.server) as conn:
                            self._drive(conn, calls.release(self, state))
        for pool in self.pools.values():
            pool.close()

    def __enter__(self) -> StoreHost:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def lock(self, graph: str) -> threading.Lock:
        """The lock every call on `graph` holds from its first statement to its last."""
        with self._locks_lock:
            lock = self._locks.get(graph)
            if lock is None:
                lock = self._locks[graph] = threading.Lock()
            return lock

    def open(self, graph: str) -> None:
        """Take and open `graph` now rather than at its first call."""
        with self.lock(graph):
            self._state(graph)

    def add(self, graph: str, nodes: Iterable[Any], strict_search: bool | None = None) -> Any:
        """As `AsyncStoreHost.add`."""
        nodes = list(nodes)
        self._check_batch(nodes)
        strict = self.strict_search if strict_search is None else strict_search
        with self.lock(graph):
            state = self._state(graph)
            result = self._call(state, calls.add(self, state, nodes, strict))
        self._added(len(nodes))
        return result

    def forget(self, graph: str, node_ids: Iterable[str]) -> calls.ForgetResult:
        """As `AsyncStoreHost.forget`."""
        ids = list(node_ids)
        with self.lock(graph):
            state = self._state(graph)
            result: calls.ForgetResult = self._call(state, calls.forget(self, state, ids))
        return result

    def hand_over(self, graph: str, to: str) -> bool:
        """As `AsyncStoreHost.hand_over`."""
        with self.lock(graph):
            state = self._graphs.get(graph)
            if state is None:
                return False
            try:
                with self._connection(state.server) as conn:
                    held: bool = self._drive(conn, calls.hand_over(self, state, to))
            finally:
                self._drop(state)
        return held

    def recall(self, graph: str, query_vector: Any, context: Any) -> list[recall.Recalled]:
        """As `AsyncStoreHost.recall`."""
        params = recall.prepare(self.dimensions, query_vector, context)
        if params is None:
            return []
        if context.strengthen_on_retrieval:
            with self.lock(graph):
                state = self._state(graph)
                answer: list[recall.Recalled] = self._call(
                    state, recall.recall(self, graph, state, params, True))
                return answer
        with self._connection(self.servers.place(graph)) as conn:
            answer = self._drive(conn, recall.recall(self, graph, None, params, False))
            return answer

    # -- driving the calls ---------------------------------------------------------

    @contextlib.contextmanager
    def _connection(self, server: str) -> Iterator[psycopg.Connection[Any]]:
        try:
            with self.pools[server].connection() as conn:
                yield conn
        except psycopg.Error as exc:
            raise store_failed(exc) from exc

    def _call(self, state: GraphState, call: calls.Call) -> Any:
        try:
            with self._connection(state.server) as conn:
                return self._drive(conn, call)
        except GraphLost:
            self._drop(state)
            raise
        finally:
            state.used = time.monotonic()

    def _drive(self, conn: psycopg.Connection[Any], call: calls.Call, count: bool = True) -> Any:
        """Run `call`'s steps on `conn`, in order, until it returns (`count`: its
        statements in `statements`)."""
        return calls.run(call, lambda step: self._step(conn, step, count), psycopg.Error)

    def _step(self, conn: psycopg.Connection[Any], step: calls.Step, count: bool) -> Any:
        if isinstance(step, calls.Statement):
            if count:  # a lease renewal is counted in `renewals`
                self.statements += 1
            if sends_vectors(step.params):
                ensure_vectors(conn)
            cur = conn.execute(step.sql, step.params, prepare=True, binary=True)
            result = cur.pgresult  # (`description` builds a column object a column)
            return cur.fetchone() if result is not None and result.status == ROWS else None
        if isinstance(step, Package):
            return step.round.run(step.state.ext, step.state.search)
        if isinstance(step, Setup):
            return setup_transaction(conn, step)
        if isinstance(step, Sleep):
            time.sleep(step.seconds)
            return None
        raise TypeError(f"not a step: {step!r}")

    def _state(self, graph: str) -> GraphState:
        state = self._graphs.get(graph)
        if state is not None:
            return state
        server = self.servers.place(graph)
        with self._connection(server) as conn:
            state = self._drive(conn, calls.open_graph(self, graph, server))
        return self._opened(state)

    # -- the leases ------------------------------------------------------------------

    def _renew_leases(self) -> None:
        assert self.lease_seconds is not None
        while not self._stop.wait(self.lease_seconds / 3):
            for state in self._idle():
                self._release_idle(state)
            for state in list(self._graphs.values()):
                self._renew(state)

    def _release_idle(self, state: GraphState) -> None:
        """As `AsyncStoreHost._release_idle`: a graph whose lock is held is in use."""
        lock = self.lock(state.graph)
        if not lock.acquire(blocking=False):
            return
        try:
            if not self._still_idle(state):
                return
            self._drop(state)
            with self.pools[state.server].connection(timeout=self.lease_seconds or 1.0) as conn:
                self._drive(conn, calls.release(self, state), count=False)
        except Exception:
            logger.warning("releasing the idle graph %r failed", state.graph, exc_info=True)
        finally:
            lock.release()

    def _renew(self, state: GraphState) -> None:
        assert self.lease_seconds is not None
        try:
            with self.pools[state.server].connection(timeout=self.lease_seconds / 3) as conn:
                self.renewals += 1
                held = self._drive(conn, calls.renew(self, state), count=False)
        except Exception:
            logger.warning("renewing the lease of graph %r failed", state.graph, exc_info=True)
            return
        if not held:  # taken over: the next call takes it again or learns who has it
            self._drop(state)
