"""A host fault at every position of an ingest and of a batch.

Each recorded host event of the call (a node attribute read, a graph or
search call, an edge constructor, a log record) is made to raise in turn,
once with an Exception and once with an exception outside that hierarchy.
The native package and the model must agree on everything (outcome, trace,
graph, index), the candidate index must stay in step (every candidate id
resolves through the dict) and the next, undisturbed ingest must agree as
well.
"""
from __future__ import annotations

import pytest

from differential import implementations
from differential.harness import Pair
from recording_host import HostAbort, Recorder

CONFIG = ("fields", {"similarity_threshold": 0.0, "max_semantic_edges_per_node": 1})


class SweepRecorder(Recorder):
    """Counts the events of the armed call and raises at number `fail_at`."""

    armed = False
    count = 0
    fail_at = None
    exc = None

    def _tick(self, name):
        if not self.armed:
            return
        self.count += 1
        if self.count == self.fail_at:
            raise self.exc(f"fault at {name} #{self.count}")

    def add(self, *event):
        super().add(*event)
        self._tick(event[0])

    def intercept(self, name, args, kwargs):
        self._tick(name)
        super().intercept(name, args, kwargs)


def new_pair():
    pair = Pair((implementations.load("native", "x"), implementations.load("model", "y")),
                seed=7, ceilings=(50, 10))
    for w in pair.worlds:
        w.rec.__class__ = SweepRecorder

    def construct(w):
        for node_id in ("n0", "n1", "n2"):
            w.graph.host_put_node(w.make_node(node_id))
        w.ext = w.impl.package.build_extension(w.service, w.graph, w.make_config(CONFIG))
        w.rec.ext = w.ext
        w.ext.on_ingest(w.graph, w.graph.nodes["n2"])

    pair.step("construct", construct)
    return pair


def single(w):
    node = w.make_node("n3")
    w.graph.host_put_node(node)
    return lambda: w.ext.on_ingest(w.graph, node)


def batch(w):
    nodes = [w.make_node(node_id) for node_id in ("n3", "n4", "n5")]
    for node in nodes:
        w.graph.host_put_node(node)
    return lambda: w.ext.on_ingest_batch(w.graph, nodes)


def armed_step(pair, prepare, fail_at, exc):
    def act(w):
        call = prepare(w)
        w.rec.armed, w.rec.count, w.rec.fail_at, w.rec.exc = True, 0, fail_at, exc
        try:
            return call()
        finally:
            w.rec.armed = False

    pair.step("armed", act)
    return pair.worlds[0].rec.count


def in_step(pair):
    for w in pair.worlds:
        assert w.ext._candidate_ids == w.ext._node_lookup.keys(), w.impl.name


@pytest.mark.parametrize("prepare", [single, batch], ids=["on_ingest", "on_ingest_batch"])
def test_a_fault_anywhere_leaves_both_alike_and_the_index_in_step(prepare):
    pair = new_pair()
    try:
        events = armed_step(pair, prepare, None, None)
    finally:
        pair.close()
    assert events > 20
    for exc in (RuntimeError, HostAbort):
        for fail_at in range(1, events + 1):
            pair = new_pair()
            try:
                armed_step(pair, prepare, fail_at, exc)
                in_step(pair)

                def follow(w):
                    node = w.make_node("n6")
                    w.graph.host_put_node(node)
                    return w.ext.on_ingest(w.graph, node)

                pair.step("after", follow)
                in_step(pair)
            finally:
                pair.close()
