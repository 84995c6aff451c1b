"""Every call of the PostgreSQL hosts, written once, with no I/O: each call is a
generator that yields what it needs done (`Statement`, `Setup`, `Package`,
`Sleep`) and is sent the answer. `AsyncStoreHost` and `StoreHost` only drive
these generators, one with `await`, one without, so the two cannot differ in
what they send, in which order, or in what they make of the answers.

A driver sends each step's answer back with `send`, and what a step raised
with `throw`: a driver error as `StoreFailed` (the driver's error its
`__cause__`), anything else (a cancellation, a KeyboardInterrupt) as it is.
The calls catch nothing they do not mean to, so what they do not handle
comes back out of the driver unchanged.

    open_graph   the graph's tables (made where missing), its lease, the
                 extension built from the stored candidates and last id
    add          recover, then one ingest round (`IngestRound`): the first
                 statement, the package, the write
    forget       recover, then one statement that forgets all of the ids or none
    recover      after a call whose outcome the extension may not match: which of
                 its memories the store holds, and the stored last id
    renew, release   the lease
    hand_over    the lease given to another process, which takes it at its next call

A call that fails after the extension may have taken its memories (the first
statement answered) marks the graph for recovery (`GraphState.unrecovered`):
the graph's next call recovers first. That covers a call cancelled with its
write in flight, and a write whose answer was lost with the server.
"""
from __future__ import annotations

import json
import time
from collections.abc import Callable, Generator, Iterable
from typing import Any, Protocol

import vantor_lacet
from vantor_lacet_stores.errors import GraphLost, GraphTaken, StoreFailed, store_failed
from vantor_lacet_stores.protocol.ingest_round import IngestRound, RoundSearch
from vantor_lacet_stores.protocol.light_nodes import LightNodes
from vantor_lacet_stores.protocol.rows import RowReader
from vantor_lacet_stores.statements.owner import OwnerStatements
from vantor_lacet_stores.statements.pg_graph import (
    DIMENSIONS,
    SETUP_RACES,
    PgStatements,
    dimensions_after_setup,
    needs_setup,
    setup_statements,
)


class Statement:
    """One statement: its first row is the answer (None for none)."""

    __slots__ = ("sql", "params")

    def __init__(self, sql: str, params: Any = None) -> None:
        self.sql, self.params = sql, params


class Setup:
    """Statements in one transaction (a graph's DDL); the answer is the first row
    of the last."""

    __slots__ = ("steps",)

    def __init__(self, steps: list[tuple[str, Any]]) -> None:
        self.steps = steps


class Package:
    """The package's phase of an ingest round: `round.run(state.ext, state.search)`,
    run by the driver where it sees fit (on the loop, by default)."""

    __slots__ = ("round", "state")

    def __init__(self, round: IngestRound, state: GraphState) -> None:
        self.round, self.state = round, state


class Sleep:
    """Wait `seconds` before the next step."""

    __slots__ = ("seconds",)

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds


Step = Statement | Setup | Package | Sleep
Call = Generator[Step, Any, Any]


class HostOptions(Protocol):
    """What the calls read of their host (both hosts carry these attributes)."""

    instance: str
    dimensions: int
    lease_seconds: float | None
    take_timeout: float
    config: Callable[[str], Any] | None
    exact: bool
    strict_search: bool
    ef_search: int
    max_batch: int | None
    write_log: list[tuple[str, int | None, int]]


class GraphState:
    """A graph a host serves: where it lives, its statements, its extension and
    the search that replays each round's answers, the lease's token (None
    without a lease), and the ids of a call whose outcome is to be recovered."""

    __slots__ = ("graph", "server", "stmts", "owner", "ext", "search", "token", "rows",
                 "unrecovered", "used")

    def __init__(self, graph: str, server: str, stmts: PgStatements, owner: OwnerStatements,
                 ext: Any, search: RoundSearch, token: int | None) -> None:
        self.graph, self.server, self.stmts, self.owner = graph, server, stmts, owner
        self.ext, self.search, self.token = ext, search, token
        self.rows = RowReader()
        self.unrecovered: list[Any] | None = None
        self.used = time.monotonic()  # when a call on the graph last ended

    def lease(self, instance: str) -> dict[str, Any] | None:
        return None if self.token is None else {"holder": instance, "token": self.token}


def run(call: Call, perform: Callable[[Step], Any], driver_errors: Any) -> Any:
    """Drive `call` without `await`: each step's answer is `perform(step)`, sent
    back; what `perform` raised is thrown back in, a driver error (one of
    `driver_errors`) as StoreFailed. Returns what the call returns. (The asyncio
    host runs the same loop with `await perform(step)`.)"""
    answer: Any = None
    error: BaseException | None = None
    while True:
        try:
            step = call.throw(error) if error is not None else call.send(answer)
        except StopIteration as stop:
            return stop.value
        error = None
        try:
            answer = perform(step)
        except driver_errors as exc:
            error = store_failed(exc)
        except BaseException as exc:  # noqa: BLE001 - the call decides; it re-raises
            error = exc


def _cause(exc: StoreFailed, kinds: Any) -> bool:
    return isinstance(exc.__cause__, kinds)


def setup_graph(stmts: PgStatements) -> Call:
    """The graph's tables, made where missing (one transaction, tried again when
    another process made them meanwhile), without any DDL where they are all
    there. Returns the statements for the dimension the graph keeps; ValueError
    when it keeps another than `stmts.dimensions`."""
    from psycopg.errors import UndefinedTable

    try:
        ready = yield Statement(stmts.ready, stmts.ready_params)
    except StoreFailed as exc:
        if not _cause(exc, UndefinedTable):
            raise
        ready = None  # no schema yet
    for attempt in range(3):
        if not needs_setup(stmts, ready):
            break
        steps: list[tuple[str, Any]] = [(step, None) for step in setup_statements(stmts)]
        if stmts.dimensions:
            steps.append((stmts.set_meta, (DIMENSIONS, str(stmts.dimensions))))
        steps.append((stmts.get_meta, (DIMENSIONS,)))
        try:
            row = yield Setup(steps)
        except StoreFailed as exc:
            # Another process set the graph up meanwhile: again, to see it.
            if not _cause(exc, SETUP_RACES) or attempt == 2:
                raise
            continue
        ready = (row[0] if row else None, True)
    assert ready is not None
    return dimensions_after_setup(stmts, ready[0])


def open_graph(host: HostOptions, graph: str, server: str) -> Call:
    """Open `graph` on `server`: its tables where missing, its lease (waiting up to
    `take_timeout` for it to come free; GraphTaken after that), then the
    extension, from the stored candidates and last id. Returns a GraphState."""
    from psycopg.errors import LockNotAvailable

    stmts = yield from setup_graph(PgStatements(graph, host.dimensions))
    owner = OwnerStatements(graph)
    # The lease first: once it is taken no write of an earlier holder can commit,
    # so what is loaded next is what this process goes on from.
    token = None
    if host.lease_seconds is not None:
        give_up = time.monotonic() + host.take_timeout
        while True:
            try:
                row = yield Statement(owner.take, {"holder": host.instance,
                                                   "seconds": host.lease_seconds})
            except StoreFailed as exc:
                # The owner row is locked by its holder's write in flight: taken.
                if not _cause(exc, LockNotAvailable):
                    raise
                row = None
            if row is not None:
                token = int(row[0])
                break
            holder = yield Statement(owner.holder)
            left = give_up - time.monotonic()
            if left <= 0:
                raise GraphTaken(graph, *(holder or ("nobody", None)))
            yield Sleep(min(0.2, left))
    ids, last = light_ids((yield Statement(stmts.light_nodes)))
    search = RoundSearch()
    config = host.config(graph) if host.config is not None else None
    candidates: Any = LightNodes(ids)  # the one graph call construction makes: all_nodes
    ext: Any = vantor_lacet.build_extension(search, candidates, config)
    ext._last_id = last
    return GraphState(graph, server, stmts, owner, ext, search, token)


def recover(state: GraphState) -> Call:
    """Bring the extension back in step with the store after a call whose outcome
    it may not match: it forgets the call's memories the store does not hold
    and goes on from the stored last id. Nothing to do otherwise."""
    if state.unrecovered is None:
        return
    ids = state.unrecovered
    row = yield Statement(state.stmts.settle, {"ids": [i for i in ids if type(i) is str]})
    held, last = held_ids(row)
    state.ext.on_forget([node_id for node_id in ids if node_id not in held])
    state.ext._last_id = last
    state.unrecovered = None


def add(host: HostOptions, state: GraphState, nodes: list[Any], strict_search: bool) -> Call:
    """Store `nodes` in the graph and ingest them (one: `on_ingest`; more:
    `on_ingest_batch`): the extension's result. Refused before anything is sent:
    BatchTooLarge, MemoryRefused. AlreadyStored, GraphLost: nothing stored."""
    round = IngestRound(state.stmts, state.rows, nodes, None, state.ext.config,
                        exact=host.exact, strict_search=strict_search,
                        ef_search=host.ef_search, max_batch=host.max_batch)
    yield from recover(state)  # first: it may move the chain's end
    round.previous = state.ext._last_id
    lease = state.lease(host.instance)
    started = False
    try:
        round.loaded((yield Statement(*round.plan(lease))))
        if not round.lease_held:
            raise GraphLost(state.graph, host.instance)
        started = True  # from here on the extension may have taken the nodes
        result = yield Package(round, state)
        writes = round.writes()
        number = None
        if writes is not None:
            number = round.written((yield Statement(*writes)))
            if number is not None:
                host.write_log.append((state.graph, state.token, number))
    except BaseException:
        if started:
            state.unrecovered = [node.id for node in round.nodes]
        raise
    # Where the call stands in the graph's history, on the result itself (a new
    # record each call): its type and its equality stay the package's.
    result.write_number, result.lease_token = number, state.token
    return result


class ForgetResult:
    """What `forget` removed, and where it stands in the graph's history: the
    graph's write number after it and the lease's token (both None without a
    lease). Of two answers for one graph, the larger `write_number` was written
    later, whichever process wrote it."""

    __slots__ = ("graph", "forgotten", "write_number", "lease_token")

    def __init__(self, graph: str, forgotten: list[str], write_number: int | None,
                 lease_token: int | None) -> None:
        self.graph, self.forgotten = graph, forgotten
        self.write_number, self.lease_token = write_number, lease_token

    def __repr__(self) -> str:
        return (f"ForgetResult(graph={self.graph!r}, forgotten={self.forgotten!r}, "
                f"write_number={self.write_number!r}, lease_token={self.lease_token!r})")


def forget(host: HostOptions, state: GraphState, node_ids: Iterable[Any]) -> Call:
    """Remove the memories and their edges, all of them or none (KeyError naming
    the first id not stored), then tell the extension. GraphLost: nothing removed.
    Returns a ForgetResult."""
    ids = list(node_ids)
    yield from recover(state)
    lease = state.lease(host.instance)
    try:
        if lease is None:
            number, missing = yield Statement(state.stmts.forget, {"ids": ids})
        else:
            number, missing = yield Statement(state.stmts.forget_fenced, {"ids": ids, **lease})
            if number is None:
                raise GraphLost(state.graph, host.instance)
    except GraphLost:
        raise
    except BaseException:
        state.unrecovered = ids  # removed or not: the store says at the next call
        raise
    missing_ids = json.loads(missing)
    if missing_ids:
        raise KeyError(missing_ids[0])
    written = None
    if lease is not None:
        written = int(number)
        host.write_log.append((state.graph, state.token, written))
    state.ext.on_forget(ids)
    return ForgetResult(state.graph, ids, written, state.token)


def renew(host: HostOptions, state: GraphState) -> Call:
    """Move the lease's deadline on: whether this process still holds the graph."""
    assert host.lease_seconds is not None and state.token is not None
    row = yield Statement(state.owner.renew, {"holder": host.instance, "token": state.token,
                                              "seconds": host.lease_seconds})
    return row is not None


def release(host: HostOptions, state: GraphState) -> Call:
    """End the lease at once (a clean stop, an idle graph): another process may
    take the graph. Whether this process still held it (a process that lost the
    graph changes nothing)."""
    if state.token is None:
        return False
    row = yield Statement(state.owner.release, {"holder": host.instance, "token": state.token})
    return row is not None


def hand_over(host: HostOptions, state: GraphState, to: str) -> Call:
    """Name `to` the graph's holder, for one lease: that process takes it at its
    next call, nobody else before the lease has passed. Whether this process
    still held the graph (one that lost it changes nothing)."""
    if state.token is None:
        return False
    row = yield Statement(state.owner.hand_over, {"holder": host.instance, "token": state.token,
                                                  "to": to, "seconds": host.lease_seconds})
    return row is not None


def held_ids(row: tuple[Any, ...]) -> tuple[set[str], str | None]:
    """The answer of `stmts.settle`: the ids held, and the last ingested id."""
    return set(json.loads(row[0])), row[1]


def light_ids(row: tuple[Any, ...]) -> tuple[list[str], str | None]:
    """The answer of `stmts.light_nodes`: the candidates' ids, and the last id."""
    return json.loads(row[0]), row[1]
