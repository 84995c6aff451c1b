"""Single-node ingest: chain edge, search, semantic edges, failures and logging."""
import logging
import math
import sys

import pytest

from conftest import scripted_service, graph_with, node


def build(impl, graph, service, empty_index=False, **config):
    ext = impl.package.build_extension(service, graph, impl.former.LacetConfig(**config))
    if empty_index:  # as if the graph's nodes arrived after construction
        ext._candidate_ids.clear()
        ext._node_lookup.clear()
    return ext


def edges_of(result):
    return [(e.source_node, e.target_node, e.relationship.type.name, e.relationship.subtype) for e in result.created]


def test_chain_and_semantic_edges_in_order(impl):
    a, b, c = node("a"), node("b"), node("c")
    graph = graph_with(a, b, c)
    service = scripted_service([(a, 0.9)], lambda n, *_: [(a, "0.75"), (c, 0.2), (b, 0.8)])
    ext = build(impl, graph, service, similarity_threshold=0.5, max_semantic_edges_per_node=None)
    ext._candidate_ids.clear(); ext._node_lookup.clear()

    first = ext.on_ingest(graph, a)
    assert first.created == [] and first.evicted_edge_ids == [] and service.calls == []
    second = ext.on_ingest(graph, b)
    # the search returns a, which the chain edge already joins to b
    assert edges_of(second) == [("a", "b", "TEMPORAL", "auto_chain")]
    chain = second.created[0]
    assert chain.relationship.description == "adjacent ingest order" and chain.weight.current == 0.5
    third = ext.on_ingest(graph, c)
    assert edges_of(third) == [("b", "c", "TEMPORAL", "auto_chain"),
                               ("c", "a", "SEMANTIC", "auto_discovered")]
    semantic = third.created[1]
    assert semantic.weight.current == semantic.weight.initial == 0.75 and semantic.relationship.bidirectional
    call_node, exclude, kwargs = service.calls[-1]
    assert call_node is c and exclude == [] and exclude is not service.calls[0][1]
    assert list(kwargs) == ["top_k", "threshold", "exclude_self", "candidate_ids", "node_lookup"]
    assert kwargs["top_k"] is None and kwargs["threshold"] == 0.5 and kwargs["exclude_self"] is True
    assert kwargs["candidate_ids"] is ext._candidate_ids and kwargs["node_lookup"] is ext._node_lookup
    assert ext._last_id == "c" and ext._candidate_ids == {"a", "b", "c"}


def test_chain_conditions(impl):
    a, b, bare = node("a"), node("b"), node("bare", None)
    graph = graph_with(a, b, bare)
    calls = []
    has_node = graph.has_node
    graph.has_node = lambda i: calls.append(i) or has_node(i)
    ext = build(impl, graph, scripted_service(), temporal_chain=False)
    ext.on_ingest(graph, a)
    assert ext.on_ingest(graph, b).created == [] and calls == []
    ext.config.temporal_chain = True
    assert ext.on_ingest(graph, b).created == [] and calls == []  # same memory twice in a row
    assert edges_of(ext.on_ingest(graph, bare)) == [("b", "bare", "TEMPORAL", "auto_chain")]
    assert "bare" not in ext._candidate_ids and ext._last_id == "bare"
    graph.remove_node("bare")
    assert ext.on_ingest(graph, a).created == [] and calls == ["b", "bare"]


def test_search_results_skipped_or_failing(impl):
    a, b, c = node("a"), node("b"), node("c")
    graph = graph_with(a, b, c)
    graph.add_edge(impl.former.MemoryEdge(source_node="b", target_node="c",
                                          relationship=impl.former.RelationshipMetadata(type=impl.former.RelationshipType.CAUSAL)))
    service = scripted_service([(c, 0.9), (a, 0.9), (b, 0.1), (b, 0.99), (a, float("nan"))])
    ext = build(impl, graph, service, temporal_chain=False, max_semantic_edges_per_node=1)
    # c: itself; a: kept, well below the threshold of its own; b: duplicate skipped
    assert edges_of(ext.on_ingest(graph, c)) == [("c", "a", "SEMANTIC", "auto_discovered")]
    # "none": the search answers None
    for bad, error in [([("x", 0.5, 1)], ValueError), ([(a, None)], TypeError), ("none", TypeError)]:
        ext._last_id = None
        service.script = [bad]
        with pytest.raises(error):
            ext.on_ingest(graph, b)
        assert ext._last_id is None  # a failed ingest registers nothing


def test_nan_similarity_is_skipped_without_eviction(impl):
    a, b, c = node("a"), node("b"), node("c")
    graph = graph_with(a, b, c)
    service = scripted_service([(a, 0.3)], [(a, float("nan")), (b, "nan")])
    ext = build(impl, graph, service, temporal_chain=False, max_semantic_edges_per_node=1)
    ext.on_ingest(graph, b)  # b - a at 0.3: both ends now full
    result = ext.on_ingest(graph, c)
    assert result.created == [] and result.evicted_edge_ids == []
    assert len(graph.get_edges_for_node("a")) == 1


def test_caught_failures_are_logged_with_the_exception(impl, records):
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    failure = RuntimeError("search down")
    ext = build(impl, graph, scripted_service(failure, [(a, 0.9)]))
    ext.on_ingest(graph, a)
    rejections = iter([ValueError("chain"), KeyError("semantic")])
    graph.add_edge = lambda edge: (_ for _ in ()).throw(next(rejections))
    try:
        raise LookupError("outer")
    except LookupError as outer:
        result = ext.on_ingest(graph, b)
        assert sys.exc_info()[1] is outer  # the caller's handled exception is left alone
    assert result.created == []
    got = [(r.levelno, r.getMessage(), type(r.exc_info[1]).__name__, r.exc_info[1].args) for r in records]
    assert got == [(logging.WARNING, "lacet: similarity search failed", "RuntimeError", ("search down",)),
                   (logging.DEBUG, "lacet: chain edge rejected", "ValueError", ("chain",)),
                   (logging.DEBUG, "lacet: semantic edge rejected", "KeyError", ("semantic",))]
    assert records[0].exc_info[1] is failure and records[0].exc_info[2] is not None


def test_uncaught_failures_propagate_and_leave_state(impl):
    a, b, c = node("a"), node("b"), node("c")
    graph = graph_with(a, b, c)
    ext = build(impl, graph, scripted_service(KeyboardInterrupt(), [(c, 0.9)]), empty_index=True)
    ext.on_ingest(graph, a)
    with pytest.raises(KeyboardInterrupt):
        ext.on_ingest(graph, b)
    added = []
    graph.add_edge = lambda edge: added.append(edge) if len(added) == 0 else (_ for _ in ()).throw(TypeError("no"))
    with pytest.raises(TypeError):
        ext.on_ingest(graph, b)
    assert len(added) == 1 and ext._last_id == "a" and "b" not in ext._candidate_ids


def test_logging_failure_propagates_with_context(impl, records, restore_globals):
    class Broken:
        def warning(self, msg, *args, exc_info=False):
            assert exc_info is True and sys.exc_info()[1].args == ("boom",)
            raise OSError("log full")

    restore_globals.logger = Broken()
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    ext = build(impl, graph, scripted_service(RuntimeError("boom")), empty_index=True)
    ext.on_ingest(graph, a)
    with pytest.raises(OSError) as caught:
        ext.on_ingest(graph, b)
    assert isinstance(caught.value.__context__, RuntimeError)


def test_module_globals_are_looked_up_at_each_use(impl, restore_globals):
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    seen = []
    original = restore_globals.share_edge_fields_set
    restore_globals.share_edge_fields_set = lambda edge: seen.append(edge) or original(edge)
    restore_globals.CHAIN_SUBTYPE = "my_chain"
    ext = build(impl, graph, scripted_service([(a, 0.5)]))
    ext.on_ingest(graph, a)
    result = ext.on_ingest(graph, b)
    assert [e.relationship.subtype for e in result.created] == ["my_chain"] and seen == result.created
    del restore_globals.MemoryEdge
    graph.remove_node("b"); graph.add_node(node("b"))
    ext._last_id = "a"
    with pytest.raises(NameError, match="name 'MemoryEdge' is not defined"):
        ext.on_ingest(graph, b)


def test_subclass_overrides_are_called(impl):
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    asked = []

    class Mine(impl.former.LacetExtension):
        @staticmethod
        def _are_connected(graph, a_id, b_id):
            asked.append(("connected", a_id, b_id))
            return 0

        def _enforce_cap(self, graph, a_id, b_id, similarity, result):
            asked.append(("cap", similarity))
            return math.isclose(similarity, 0.5)

    ext = Mine(scripted_service([(a, 0.5), (a, 0.25)]), graph, impl.former.LacetConfig(temporal_chain=False))
    ext._candidate_ids.clear(); ext._node_lookup.clear()
    ext.on_ingest(graph, a)
    result = ext.on_ingest(graph, b)
    assert asked == [("connected", "b", "a"), ("cap", 0.5), ("connected", "b", "a"), ("cap", 0.25)]
    assert len(result.created) == 1


def test_result_record_changes_are_honoured(impl, restore_globals):
    a = node("a")
    graph = graph_with(a)
    ext = build(impl, graph, scripted_service())
    assert vars(ext.on_ingest(graph, a)) == {"created": [], "evicted_edge_ids": []}
    record = restore_globals.LacetIngestResult
    original_init = record.__init__
    record.__init__ = lambda self: original_init(self, created=["seeded"])
    try:
        assert ext.on_ingest(graph, a).created == ["seeded"]
    finally:
        record.__init__ = original_init

    class Mine(record):
        pass

    restore_globals.LacetIngestResult = Mine
    assert type(ext.on_ingest(graph, a)) is Mine
