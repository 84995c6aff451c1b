"""Behaviour that docs/host-contract.md states for host writers: a batch pair
with both a semantic and a chain edge, memories left over a lowered cap,
evictions that outlive an interrupted call, which exceptions refuse an edge,
and a batch whose iterable fails while it is read."""
import logging
import sqlite3

import pytest

from conftest import graph_with, node, scripted_service
from test_cap import semantic


def kinds(edges):
    return [(e.source_node, e.target_node, e.relationship.subtype) for e in edges]


def test_batch_pair_can_carry_a_semantic_and_a_chain_edge_a_stream_never(impl):
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    ext = impl.package.build_extension(scripted_service(lambda n, *_: [(b if n is a else a, 0.9)]), graph)
    ext._candidate_ids.clear(); ext._node_lookup.clear()
    # b is registered before a is searched; b's chain edge is not checked against a's edge
    assert kinds(ext.on_ingest_batch(graph, [a, b]).created) == [
        ("a", "b", "auto_discovered"), ("a", "b", "auto_chain")]

    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    ext = impl.package.build_extension(scripted_service(lambda n, *_: [(a, 0.9)]), graph)
    ext._candidate_ids.clear(); ext._node_lookup.clear()
    ext.on_ingest(graph, a)
    assert kinds(ext.on_ingest(graph, b).created) == [("a", "b", "auto_chain")]


def test_memory_over_a_lowered_cap_keeps_its_edges_until_a_proposal_beats_all_it_would_evict(impl):
    weights = [0.70, 0.72, 0.74, 0.76, 0.78, 0.80, 0.82, 0.84]
    others = [node(f"o{i}") for i in range(len(weights))]
    hub, x, y, z = node("hub"), node("x"), node("y"), node("z")
    graph = graph_with(hub, x, y, z, *others)
    for other, w in zip(others, weights):
        graph.add_edge(semantic(other.id, "hub", w, edge_id=f"w{w:.2f}"))
    service = scripted_service([(hub, 0.75)], [(hub, 0.77)], [(hub, 0.99)])
    ext = impl.package.build_extension(service, graph, impl.former.LacetConfig(temporal_chain=False))
    ext.config.max_semantic_edges_per_node = 4
    assert len(graph.get_edges_for_node("hub")) == 8  # lowering the cap removes nothing
    # down to cap - 1 = 3 at once: the five weakest would go, and 0.78 beats 0.75 and 0.77
    for n in (x, y):
        result = ext.on_ingest(graph, n)
        assert result.created == [] and result.evicted_edge_ids == []
    assert len(graph.get_edges_for_node("hub")) == 8
    result = ext.on_ingest(graph, z)
    assert result.evicted_edge_ids == ["w0.70", "w0.72", "w0.74", "w0.76", "w0.78"]
    assert kinds(result.created) == [("z", "hub", "auto_discovered")]
    assert len(graph.get_edges_for_node("hub")) == 4


def test_interrupted_batch_leaves_its_evictions_in_the_graph_and_in_no_result(impl):
    hub, other, x, y = node("hub"), node("other"), node("x"), node("y")
    graph = graph_with(hub, other, x, y)
    graph.add_edge(semantic("other", "hub", 0.5, edge_id="old"))
    service = scripted_service([(hub, 0.9)], KeyboardInterrupt())
    ext = impl.package.build_extension(service, graph, impl.former.LacetConfig(max_semantic_edges_per_node=1))
    with pytest.raises(KeyboardInterrupt):
        ext.on_ingest_batch(graph, [x, y])
    # x's eviction and edge, and y's chain edge, were made before y's search was interrupted
    assert graph.get_edge("old") is None
    assert sorted(kinds(graph.edges())) == [("x", "hub", "auto_discovered"), ("x", "y", "auto_chain")]


def test_only_key_and_value_errors_refuse_an_edge(impl, records):
    a, b = node("a"), node("b")
    graph = graph_with(a)  # b is never added: every edge ending at b is refused with KeyError
    ext = impl.package.build_extension(scripted_service(), graph)
    ext.on_ingest(graph, a)
    assert ext.on_ingest(graph, b).created == [] and ext._last_id == "b" and "b" in ext._candidate_ids
    assert [(r.levelno, r.msg, type(r.exc_info[1])) for r in records] == [
        (logging.DEBUG, "lacet: chain edge rejected", KeyError)]

    graph = graph_with(a, b)
    ext = impl.package.build_extension(scripted_service(), graph)
    ext.on_ingest(graph, a)
    for error in (sqlite3.IntegrityError("FOREIGN KEY constraint failed"), LookupError("b")):
        graph.add_edge = lambda edge, error=error: (_ for _ in ()).throw(error)
        with pytest.raises(type(error)):
            ext.on_ingest(graph, b)
    records.clear()
    assert ext.on_ingest_batch(graph, [b]).created == []  # in a batch: the member fails
    assert [(r.levelno, r.args, type(r.exc_info[1])) for r in records] == [(logging.WARNING, ("b",), LookupError)]


def test_batch_whose_iterable_fails_registers_nothing(impl):
    a, b, c = node("a"), node("b"), node("c")
    graph = graph_with(a, b, c)
    ext = impl.package.build_extension(scripted_service(), graph)
    ext._candidate_ids.clear(); ext._node_lookup.clear()
    ext.on_ingest(graph, c)

    def read():
        yield a
        yield b
        raise OSError("store unreadable")

    with pytest.raises(OSError):
        ext.on_ingest_batch(graph, read())
    assert ext._candidate_ids == {"c"} and list(ext._node_lookup) == ["c"] and ext._last_id == "c"
    assert graph.edge_count == 0
