"""The host protocols of vantor_lacet.protocols against the calls the native
package really makes: the same graph methods, each with as many positional
arguments, and find_similar with its positional pair and its keywords in the
order passed. (What mypy makes of them is checked by make typecheck.)"""
import inspect
import sys

import pytest

import vantor_lacet
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode


@pytest.fixture
def protocols():
    """The module, imported for this test only: the package's namespace is
    checked elsewhere and must not keep the submodule."""
    assert "vantor_lacet.protocols" not in sys.modules  # the package does not import it
    import vantor_lacet.protocols as module
    yield module
    del sys.modules["vantor_lacet.protocols"]
    delattr(vantor_lacet, "protocols")


class Recording:
    """Forwards to a MemoryGraph and keeps every call: (method, args, kwargs)."""

    def __init__(self, graph, calls):
        self._graph, self._calls = graph, calls

    def __getattr__(self, name):
        method = getattr(self._graph, name)
        return lambda *args, **kwargs: self._calls.append((name, args, kwargs)) or method(*args, **kwargs)


class Search:
    def __init__(self):
        self.calls = []

    def find_similar(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        lookup = kwargs["node_lookup"]
        return [(lookup[i], 0.5 + len(self.calls) / 10) for i in sorted(kwargs["candidate_ids"]) if i != args[0].id]


def positional(method):
    params = list(inspect.signature(method).parameters.values())[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in params)
    return len(params)


def test_protocols_hold_what_the_package_calls(protocols):
    graph, calls, search = MemoryGraph(), [], Search()
    nodes = [MemoryNode(id=i, content_embedding=[1.0, 0.0]) for i in "abcd"]
    graph.add_node(nodes[0])
    ext = vantor_lacet.build_extension(search, Recording(graph, calls), vantor_lacet.LacetConfig(
        max_semantic_edges_per_node=1))
    for n in nodes[1:]:
        graph.add_node(n)
        ext.on_ingest(Recording(graph, calls), n)
    assert any(name == "remove_edge" for name, _, _ in calls)  # every graph method was called
    members = {name for name in dir(protocols.Graph) if not name.startswith("_")}
    assert members == {name for name, _, _ in calls}
    for name, args, kwargs in calls:
        assert kwargs == {} and len(args) == positional(getattr(protocols.Graph, name)), name

    args, kwargs = search.calls[0]
    signature = inspect.signature(protocols.SimilarityService.find_similar)
    params = list(signature.parameters.values())[1:]
    assert [p.kind for p in params[:len(args)]] == [inspect.Parameter.POSITIONAL_ONLY] * len(args) == [
        p.kind for p in params[:2]]
    assert [p.name for p in params[2:]] == list(kwargs)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY and p.default is p.empty for p in params[2:])
