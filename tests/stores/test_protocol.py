"""The calls as steps, driven by hand with the store's answers made up: the order
an ingest round enforces, the snapshot's refusal to guess, and the recovery a
call leaves behind wherever it stops."""
from __future__ import annotations

import asyncio

import numpy as np
import pytest

from vantor.core.node import MemoryNode
from vantor_lacet_stores import AlreadyStored, BatchTooLarge, SnapshotMiss, StepOutOfOrder
from vantor_lacet_stores.protocol import calls
from vantor_lacet_stores.protocol.ingest_round import IngestRound
from vantor_lacet_stores.protocol.rows import RowReader
from vantor_lacet_stores.protocol.snapshot import Snapshot
from vantor_lacet_stores.statements.pg_graph import PgStatements


class Host(calls.HostOptions):
    def __init__(self, max_batch=None):
        self.instance, self.dimensions, self.lease_seconds = "me", 3, 5.0
        self.take_timeout, self.config, self.exact = 0.0, None, True
        self.strict_search, self.ef_search, self.max_batch = False, 100, max_batch
        self.write_log = []


def node(i, vec=(1.0, 0.0, 0.0)):
    return MemoryNode(id=f"n{i}", content="x", content_embedding=np.array(vec, np.float32))


def first_answer(lease_held=1, present=()):
    """The first statement's answer: no hits, no pairs, no edges (null arrays)."""
    return (None,) * 6 + (list(present) or None,) + (None,) * 10 + (lease_held,)


def opened(host):
    """A graph opened from made-up answers: tables there, lease taken, empty."""
    call = calls.open_graph(host, "g", "main")
    assert isinstance(next(call), calls.Statement)  # are the tables there
    assert call.send(("3", True)).sql.startswith("INSERT INTO")  # the lease
    assert "json_agg(id ORDER BY seq)" in call.send((7,)).sql  # the candidates
    with pytest.raises(StopIteration) as done:
        call.send(("[]", None))
    return done.value.value


def run_add(state, host, nodes, stop_at=None, error=None):
    """Drive `calls.add`, answering as a store would; at the step whose kind is
    `stop_at`, throw `error` in instead."""
    call = calls.add(host, state, nodes, False)
    answer = None
    while True:
        try:
            step = call.send(answer)
        except StopIteration as stop:
            return stop.value
        kind = ("plan" if isinstance(step, calls.Statement) and "CROSS JOIN LATERAL" in step.sql
                else "write" if isinstance(step, calls.Statement) and "nodes_added" in step.sql
                else "recover" if isinstance(step, calls.Statement) else type(step).__name__)
        if kind == stop_at:
            call.throw(error)
        if kind == "plan":
            answer = first_answer(present=[state.ext._last_id] if state.ext._last_id else [])
        elif kind == "Package":
            answer = step.round.run(step.state.ext, step.state.search)
        elif kind == "write":
            answer = (0, 0, 1, len(nodes), 8)
        elif kind == "recover":
            answer = ("[]", state.ext._last_id)


def test_an_ingest_round_takes_its_steps_in_order_and_once():
    stmts = PgStatements("g", 3)
    config = type("C", (), {"max_semantic_edges_per_node": 4, "similarity_threshold": 0.5})()
    round = IngestRound(stmts, RowReader(), [node(1)], None, config)
    for early in (lambda: round.loaded(first_answer()), lambda: round.writes(),
                  lambda: round.written((1,)), lambda: round.lease_held):
        with pytest.raises(StepOutOfOrder):
            early()
    round.plan({"holder": "me", "token": 3})
    with pytest.raises(StepOutOfOrder):
        round.plan()
    round.loaded(first_answer(lease_held=0))
    assert round.lease_held is False
    with pytest.raises(StepOutOfOrder, match="lease was lost"):  # no deciding on a lost lease
        round.run(None, None)
    with pytest.raises(BatchTooLarge) as big:
        IngestRound(stmts, RowReader(), [node(i) for i in range(5)], None, config, max_batch=4)
    assert (big.value.size, big.value.limit) == (5, 4)


def test_the_snapshot_never_answers_for_a_node_it_did_not_load():
    snapshot = Snapshot(RowReader())
    snapshot.fill({"a", "b"}, {"a"}, [])
    assert snapshot.exists("a") is True and snapshot.exists("b") is False
    with pytest.raises(SnapshotMiss):
        snapshot.exists("c")


@pytest.mark.parametrize("stop_at", ["Package", "write"])
@pytest.mark.parametrize("error", [asyncio.CancelledError, KeyboardInterrupt, ConnectionError])
def test_a_call_stopped_after_its_first_answer_is_recovered_at_the_next(stop_at, error):
    host = Host()
    state = opened(host)
    run_add(state, host, [node(1)])
    assert state.unrecovered is None and state.ext._last_id == "n1"
    with pytest.raises(error):
        run_add(state, host, [node(2), node(3)], stop_at=stop_at, error=error())
    # Stopped with its write in flight or before it: whether it was stored is
    # the store's to say, before anything else on the graph.
    assert state.unrecovered == ["n2", "n3"]
    call = calls.add(host, state, [node(4)], False)
    step = next(call)
    assert step.sql == state.stmts.settle and step.params == {"ids": ["n2", "n3"]}
    step = call.send(('["n2"]', "n2"))  # the store holds n2 only: n3's write failed
    assert "CROSS JOIN LATERAL" in step.sql and state.unrecovered is None
    assert "n3" not in state.ext._candidate_ids and state.ext._last_id == "n2"


def test_a_duplicate_or_a_lost_lease_stops_the_call_before_the_package():
    host = Host()
    state = opened(host)
    run_add(state, host, [node(1)])
    before = set(state.ext._candidate_ids)
    call = calls.add(host, state, [node(2), node(1)], False)
    next(call)
    with pytest.raises(AlreadyStored) as dup:
        call.send(first_answer(present=["n1"]))
    assert dup.value.node_id == "n1" and isinstance(dup.value, ValueError)
    call = calls.add(host, state, [node(2)], False)
    next(call)
    with pytest.raises(calls.GraphLost):
        call.send(first_answer(lease_held=0, present=["n1"]))
    assert state.ext._candidate_ids == before and state.unrecovered is None


def test_forget_is_one_statement_and_all_or_nothing():
    host = Host()
    state = opened(host)
    run_add(state, host, [node(1)])
    call = calls.forget(host, state, ["n1", "zz"])
    step = next(call)
    assert step.sql == state.stmts.forget_fenced and step.params["token"] == 7
    with pytest.raises(KeyError, match="zz"):
        call.send((8, '["zz"]'))
    assert "n1" in state.ext._candidate_ids and state.unrecovered is None
    call = calls.forget(host, state, ["n1"])
    next(call)
    with pytest.raises(StopIteration):
        call.send((9, "[]"))
    assert "n1" not in state.ext._candidate_ids and host.write_log[-1] == ("g", 7, 9)
