"""Batch ingest and the retrieval context."""
import logging
import sys
import types

import pytest

from conftest import scripted_service, graph_with, node


def test_batch_registers_first_then_ingests_in_order(impl, records):
    a, b, c, bare = node("a"), node("b"), node("c"), node("bare", None)
    graph = graph_with(a, b, c, bare)
    service = scripted_service(lambda n, *_: [(b, 0.9)] if n is a else [])
    ext = impl.package.build_extension(service, graph)
    ext._candidate_ids.clear(); ext._node_lookup.clear()
    result = ext.on_ingest_batch(graph, [a, bare, b, a])
    # a finds b, which comes later in the batch; a again gets no self edge
    kinds = [(e.source_node, e.target_node, e.relationship.subtype) for e in result.created]
    assert kinds == [("a", "b", "auto_discovered"), ("a", "bare", "auto_chain"),
                     ("bare", "b", "auto_chain"), ("b", "a", "auto_chain")]
    assert ext._candidate_ids == {"a", "b"} and ext._last_id == "a" and records == []
    assert ext.on_ingest_batch(graph, []) == impl.former.LacetIngestResult()


def test_one_shot_iterator_is_ingested_not_just_registered(impl):
    a, b = node("a"), node("b")
    graph = graph_with(a, b)
    ext = impl.package.build_extension(scripted_service(), graph)
    result = ext.on_ingest_batch(graph, (n for n in [a, b]))
    assert [e.relationship.subtype for e in result.created] == ["auto_chain"] and ext._last_id == "b"


def test_failed_nodes_are_logged_and_skipped(impl, records):
    nodes = [node(i) for i in "abc"]
    graph = graph_with(*nodes)

    class Flaky(impl.former.LacetExtension):
        def on_ingest(self, graph, n):
            if n.id == "b":
                raise ValueError("bad b")
            one = impl.former.LacetIngestResult()
            one.created.append(n.id)
            one.evicted_edge_ids.append("gone-" + n.id)
            return one

    ext = Flaky(None, graph)
    result = ext.on_ingest_batch(graph, nodes)
    assert result.created == ["a", "c"] and result.evicted_edge_ids == ["gone-a", "gone-c"]
    assert [(r.levelno, r.msg, r.args, type(r.exc_info[1])) for r in records] == [
        (logging.WARNING, "lacet: batched formation failed for %s", ("b",), ValueError)]


def test_batch_failures_that_end_the_batch(impl, records):
    nodes = [node(i) for i in "abc"]
    graph = graph_with(*nodes)
    seen = []

    class Stopping(impl.former.LacetExtension):
        def on_ingest(self, graph, n):
            seen.append(n.id)
            if n.id == "b":
                raise SystemExit(3)
            return impl.former.LacetIngestResult()

    with pytest.raises(SystemExit):
        Stopping(None, graph).on_ingest_batch(graph, nodes)
    assert seen == ["a", "b"] and records == []

    class NoResult(impl.former.LacetExtension):
        def on_ingest(self, graph, n):
            return None

    with pytest.raises(AttributeError):
        NoResult(None, graph).on_ingest_batch(graph, nodes)
    idless = node("x")
    del idless.id
    with pytest.raises(AttributeError):
        impl.package.build_extension(None, graph).on_ingest_batch(graph, [idless])


def test_caller_list_changed_during_batch_does_not_matter(impl):
    nodes = [node(i) for i in "abcd"]
    graph = graph_with(*nodes)
    seen = []

    class Meddling(impl.former.LacetExtension):
        def on_ingest(self, graph, n):
            seen.append(n.id)
            batch.clear()
            batch.extend([node("intruder")] * 50)
            return impl.former.LacetIngestResult()

    batch = list(nodes)
    Meddling(None, graph).on_ingest_batch(graph, batch)
    assert seen == ["a", "b", "c", "d"]


@pytest.fixture
def retriever():
    """A stand-in host retriever module whose ceilings a test may change."""
    from vantor.agents import gossip_retriever as real

    module = types.ModuleType("vantor.agents.gossip_retriever")
    module.MAX_RESULTS_CEILING, module.SEED_COUNT_CEILING = 12, 4
    module.RetrievalContext = lambda **kw: kw
    saved = sys.modules["vantor.agents.gossip_retriever"] = module
    yield module
    sys.modules["vantor.agents.gossip_retriever"] = real
    del saved


@pytest.mark.parametrize("asked, given", [
    (0, 1), (-5, 1), (1, 1), (7, 7), (12, 12), (99, 12), (7.9, 7), (-0.5, 1), (True, 1), ("12", 12)])
def test_max_results_is_floored_then_capped(impl, retriever, asked, given):
    ext = impl.package.build_extension(None, graph_with())
    context = ext.retrieval_context(asked)
    assert list(context) == ["seed_count", "max_iterations", "max_results", "degree_normalization",
                             "use_volume_termination", "strengthen_on_retrieval", "coverage_harvest",
                             "coverage_gossip_weight"]
    assert context == dict(seed_count=4, max_iterations=3, max_results=given, degree_normalization=False,
                           use_volume_termination=False, strengthen_on_retrieval=False,
                           coverage_harvest=True, coverage_gossip_weight=0.25)


def test_retrieval_context_values_and_errors(impl, retriever):
    config = impl.former.LacetConfig(seed_count=-2, max_iterations=10**6, coverage_gossip_weight=7.5)
    ext = impl.package.build_extension(None, graph_with(), config)
    context = ext.retrieval_context(5)
    assert (context["seed_count"], context["max_iterations"], context["coverage_gossip_weight"]) == (-2, 10**6, 7.5)
    retriever.MAX_RESULTS_CEILING = 0  # the cap wins over the floor
    assert ext.retrieval_context(5)["max_results"] == 0
    built = []
    retriever.RetrievalContext = lambda **kw: built.append(kw)
    for bad, error in [(None, TypeError), ("many", ValueError), ("1.5", ValueError)]:
        with pytest.raises(error):
            ext.retrieval_context(bad)
    assert built == []
    del retriever.SEED_COUNT_CEILING
    with pytest.raises(ImportError, match="cannot import name 'SEED_COUNT_CEILING'"):
        ext.retrieval_context(3)
    sys.modules["vantor.agents.gossip_retriever"] = None
    with pytest.raises(ImportError):
        ext.retrieval_context(3)


def test_default_retrieval_context_on_the_reference_host(impl):
    from vantor.agents.gossip_retriever import RetrievalContext, SEED_COUNT_CEILING

    context = impl.package.build_extension(None, graph_with()).retrieval_context(3)
    assert isinstance(context, RetrievalContext)
    assert (context.seed_count, context.max_iterations, context.max_results) == (min(5, SEED_COUNT_CEILING), 3, 3)
