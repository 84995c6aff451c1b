"""Hand-checked scenarios on the recording host, for each selected implementation.

The differential run only shows that two implementations agree; these pin the
expected behaviour itself, above all where the extension departs from the
naive algorithm (cap decided before evicting, NaN scores, one-shot batches).
"""
from __future__ import annotations

import logging

import pytest

from . import implementations
from .harness import Pair
from recording_host import HostAbort


class Host:
    def __init__(self, impl, config=None, seed=0, ceilings=(50, 10), nodes=()):
        self.pair = Pair([impl], seed, ceilings)
        self.w = self.pair.worlds[0]
        self.w.rec.node_reads = False
        for node_id, emb in nodes:
            self.w.graph.host_put_node(self.w.make_node(node_id, emb))
        cfg = None if config is None else impl.former.LacetConfig(**config)
        self.ext, self.trace = self.call(lambda w: w.impl.package.build_extension(w.service, w.graph, cfg))
        self.w.ext = self.w.rec.ext = self.ext

    def call(self, fn):
        self.w.activate()
        start = len(self.w.rec.trace)
        try:
            return fn(self.w), self.w.rec.trace[start:]
        finally:
            self.w.handler.target = None

    def ingest(self, node_id, emb="vec"):
        node = self.w.make_node(node_id, emb)
        self.w.graph.host_put_node(node)
        return self.call(lambda w: w.ext.on_ingest(w.graph, node))

    def host_semantic(self, a, b, weight, subtype="auto_discovered"):
        self.w.graph.host_add_edge(self.w.model.host_edge(a, b, self.w.model.semantic, subtype, weight))

    def search_returns(self, *pairs):
        lookup = {n._id: n for n in self.w.graph.nodes.values()}
        self.w.service.answer = [(lookup[i], s) for i, s in pairs]

    def edge_ids(self):
        return list(self.w.graph.edges)

    def close(self):
        self.pair.close()


@pytest.fixture(params=implementations.selected_kinds())
def make_host(request):
    impl = implementations.load(request.param, "x")
    hosts = []

    def make(**kwargs):
        hosts.append(Host(impl, **kwargs))
        return hosts[-1]

    yield make
    for h in reversed(hosts):
        h.close()


def events(trace, name):
    return [e for e in trace if e[0] == name]


def ids_of(result):
    return [e.id for e in result.created], list(result.evicted_edge_ids)


def test_cap_refused_at_candidate_end_evicts_nothing_at_either_end(make_host):
    h = make_host(config={"max_semantic_edges_per_node": 1, "temporal_chain": False},
                  nodes=[("a0", "vec"), ("b", "vec"), ("c", "vec")])
    h.w.graph.host_put_node(h.w.make_node("a", "vec"))
    h.host_semantic("a", "a0", 0.1)                   # weak, prunable: would go at a
    h.host_semantic("b", "c", 0.2, subtype="user")    # b full with a non-prunable edge
    h.search_returns(("b", 0.9))
    result, trace = h.call(lambda w: w.ext.on_ingest(w.graph, w.graph.nodes["a"]))
    assert ids_of(result) == ([], [])
    assert events(trace, "graph.remove_edge") == []
    assert h.edge_ids() == ["h1", "h2"]
    # a's refusal ends it before b is even looked at
    h.host_semantic("a", "c", 0.95)
    h.w.graph.host_remove_edge("h1")
    result, trace = h.call(lambda w: w.ext.on_ingest(w.graph, w.graph.nodes["a"]))
    assert [e[1] for e in events(trace, "graph.get_edges_for_node")] == [("tuple", [("str", "'a'")])]


def test_cap_evicts_weakest_first_at_both_ends_in_order(make_host):
    h = make_host(config={"max_semantic_edges_per_node": 2, "temporal_chain": False},
                  nodes=[(n, "vec") for n in ("x1", "x2", "x3", "y1", "y2", "b")])
    h.w.graph.host_put_node(h.w.make_node("a", "vec"))
    h.host_semantic("a", "x1", 0.4)
    h.host_semantic("a", "x2", 0.3)
    h.host_semantic("a", "x3", 0.3)                   # tie with h2: the first returned goes
    h.host_semantic("b", "y1", 0.2, subtype="auto_discovered_v2")
    h.host_semantic("y2", "b", 0.6)
    h.search_returns(("b", 0.5))
    result, trace = h.call(lambda w: w.ext.on_ingest(w.graph, w.graph.nodes["a"]))
    assert result.evicted_edge_ids == ["h2", "h3", "h4"]
    assert [e[1] for e in events(trace, "graph.remove_edge")] == [("tuple", [("str", f"'{i}'")]) for i in ("h2", "h3", "h4")]
    (edge,) = result.created
    assert (edge.source_node, edge.target_node, edge.weight.current, edge.weight.initial) == ("a", "b", 0.5, 0.5)
    assert edge.shared and edge.relationship.subtype == "auto_discovered" and edge.relationship.bidirectional is True


def test_cap_tie_and_off_values(make_host):
    for cap in (None, 0, -2):
        h = make_host(config={"max_semantic_edges_per_node": cap, "temporal_chain": False}, nodes=[("b", "vec")])
        h.w.graph.host_put_node(h.w.make_node("a", "vec"))
        h.search_returns(("b", 0.5))
        result, trace = h.call(lambda w: w.ext.on_ingest(w.graph, w.graph.nodes["a"]))
        assert len(result.created) == 1 and events(trace, "graph.get_edges_for_node") == []
    h = make_host(config={"max_semantic_edges_per_node": 1, "temporal_chain": False}, nodes=[("b", "vec"), ("z", "vec")])
    h.host_semantic("b", "z", 0.5)
    h.w.graph.host_put_node(h.w.make_node("a", "vec"))
    h.search_returns(("b", 0.5))
    result, _ = h.call(lambda w: w.ext.on_ingest(w.graph, w.graph.nodes["a"]))
    assert ids_of(result) == ([], [])


def test_nan_and_odd_similarities(make_host):
    h = make_host(config={"max_semantic_edges_per_node": 3, "temporal_chain": False},
                  nodes=[("b", "vec"), ("c", "vec"), ("d", "vec")])
    h.search_returns(("b", float("nan")), ("c", "0.82"), ("c", 0.9), ("d", 0.1))
    result, trace = h.ingest("a")
    assert [(e.target_node, e.weight.current) for e in result.created] == [("c", 0.82), ("d", 0.1)]
    # the NaN candidate costs two lookups and nothing else: no cap check, no edge
    assert len(events(trace, "graph.get_edges_for_node")) == 4
    for bad, exc in ((None, TypeError), ("high", ValueError)):
        h.search_returns(("b", bad))
        with pytest.raises(exc):
            h.ingest("e")
        assert h.ext._last_id == "a"


def test_one_shot_batch_is_still_ingested(make_host):
    h = make_host(config={"similarity_threshold": 0.0, "temporal_chain": True})
    nodes = [h.w.make_node(i, "vec") for i in ("p", "q", "r")]
    for n in nodes:
        h.w.graph.host_put_node(n)
    h.search_returns()
    result, trace = h.call(lambda w: w.ext.on_ingest_batch(w.graph, iter(nodes)))
    chain = [(e.source_node, e.target_node) for e in result.created if e.relationship.subtype == "auto_chain"]
    assert chain == [("p", "q"), ("q", "r")]
    assert len(events(trace, "service.find_similar")) == 3   # p already sees q and r
    assert sorted(h.ext._candidate_ids) == ["p", "q", "r"] and h.ext._last_id == "r"


def test_failures_logged_or_raised(make_host):
    h = make_host(config={"similarity_threshold": 0.0}, nodes=[("b", "vec")])
    h.ingest("a0")
    h.w.service.script.append("raise")
    h.w.rec.fail("graph.add_edge", ValueError("no"), once=True)
    result, trace = h.ingest("a")
    assert result.created == []
    logs = [(e[1], e[2], e[4][0]) for e in events(trace, "log")]
    assert logs == [("DEBUG", "lacet: chain edge rejected", "ValueError"),
                    ("WARNING", "lacet: similarity search failed", "RuntimeError")]
    assert "a" in h.ext._candidate_ids and h.ext._last_id == "a"
    h.w.service.script.append("none")
    with pytest.raises(TypeError):
        h.ingest("c")
    assert h.ext._last_id == "a" and "c" not in h.ext._candidate_ids
    # a batch logs the failing node and goes on; an abort is not caught
    h.w.rec.fail("graph.add_edge", TypeError("bad edge"), once=True)
    nodes = [h.w.make_node(i, "none") for i in ("m", "n")]
    for n in nodes:
        h.w.graph.host_put_node(n)
    result, trace = h.call(lambda w: w.ext.on_ingest_batch(w.graph, nodes))
    assert [(e[1], e[2], e[3], e[4]) for e in events(trace, "log")] == [
        ("WARNING", "lacet: batched formation failed for %s", ("tuple", [("str", "'m'")]), ("TypeError", ("tuple", [("str", "'bad edge'")])))]
    # m's ingest did not complete, so n chains from the last completed one
    assert [(e.source_node, e.target_node) for e in result.created] == [("a", "n")]
    h.w.rec.fail("graph.add_edge", HostAbort("stop"), once=True)
    with pytest.raises(HostAbort):
        h.call(lambda w: w.ext.on_ingest_batch(w.graph, [w.make_node("o", "none")]))


def test_retrieval_context_clamps(make_host):
    h = make_host(config={"seed_count": 20, "max_iterations": 9, "coverage_gossip_weight": 0.5}, ceilings=(12, 10))
    expected = {0: 1, -3: 1, 1: 1, 7.9: 7, -0.5: 1, True: 1, "12": 12, 11: 11, 12: 12, 400: 12}
    for given, want in expected.items():
        ctx, _ = h.call(lambda w: w.ext.retrieval_context(given))
        assert ctx.kwargs == {"seed_count": 10, "max_iterations": 9, "max_results": want,
                              "degree_normalization": False, "use_volume_termination": False,
                              "strengthen_on_retrieval": False, "coverage_harvest": True,
                              "coverage_gossip_weight": 0.5}, given
    for bad, exc in ((None, TypeError), ("abc", ValueError), ("7.5", ValueError)):
        with pytest.raises(exc):
            h.call(lambda w: w.ext.retrieval_context(bad))
    low = make_host(ceilings=(0, 3))
    ctx, _ = low.call(lambda w: w.ext.retrieval_context(5))
    assert (ctx.kwargs["max_results"], ctx.kwargs["seed_count"]) == (0, 3)


def test_construction_and_forget(make_host):
    h = make_host(nodes=[("a", "vec"), ("b", "none"), ("c", "empty")])
    h.w.rec.node_reads = True
    assert isinstance(h.ext.config, h.w.impl.former.LacetConfig)
    assert sorted(h.ext._candidate_ids) == ["a", "c"] and h.ext._last_id is None
    h.ingest("b", "none")
    h.call(lambda w: w.ext.on_forget(iter(["c", "ghost", "b", "b"])))
    assert sorted(h.ext._candidate_ids) == ["a"] and sorted(h.ext._node_lookup) == ["a"]
    assert h.ext._last_id is None


def test_a_last_id_set_by_the_host_carries_the_chain(make_host):
    """A restarted host sets `_last_id` to the memory it ingested last: the next
    ingest chains from it, as if the extension had ingested it; an id no longer
    in the graph forms no chain edge, and forgetting it clears it."""
    h = make_host(nodes=[("a", "vec"), ("b", "vec")])
    h.ext._last_id = "b"
    h.search_returns()
    result, trace = h.ingest("c")
    (chain,) = result.created
    assert (chain.source_node, chain.target_node, chain.relationship.subtype) == ("b", "c", "auto_chain")
    assert [e[1] for e in events(trace, "graph.has_node")] == [("tuple", [("str", "'b'")])]
    h.ext._last_id = "gone"
    result, _ = h.ingest("d")
    assert result.created == [] and h.ext._last_id == "d"
    h.ext._last_id = "a"
    h.call(lambda w: w.ext.on_forget(["a"]))
    assert h.ext._last_id is None
