"""Construction seeds the candidate index; on_forget keeps it in step."""
import pytest

from conftest import graph_with, node
from recording_host import Graph, RaisingEqId


class Embedding:
    """An embedding whose truth value raises: only `is None` may be used on it."""

    def __bool__(self):
        raise AssertionError("embedding tested for truth")


def test_construction_seeds_index_from_graph(impl):
    a, b, none, empty = node("a"), node("b"), node("none", None), node("empty", ())
    strange = node("strange")
    strange.content_embedding = Embedding()
    later_a = node("a2")
    graph = graph_with(a, b, none, empty, strange, later_a)
    later_a.id = "a"  # two nodes under one id: the later one wins
    config = impl.former.LacetConfig(temporal_chain=False)
    ext = impl.package.build_extension("svc", graph, config)
    assert list(vars(ext)) == ["_service", "_config", "_last_id", "_candidate_ids", "_node_lookup"]
    assert ext._service == "svc" and ext.config is config and ext._last_id is None
    assert ext._candidate_ids == {"a", "b", "empty", "strange"}
    assert ext._node_lookup == {"a": later_a, "b": b, "empty": empty, "strange": strange}
    config.seed_count = 99
    assert ext.config.seed_count == 99


@pytest.mark.parametrize("false_config", [None, False, 0, ""])
def test_false_config_becomes_a_fresh_default(impl, false_config):
    first = impl.former.LacetExtension(None, graph_with(), false_config)
    second = impl.former.LacetExtension(service=None, graph=graph_with(), config=false_config)
    assert first.config == impl.former.LacetConfig() and first.config is not second.config


def test_wrong_kind_of_config_is_stored_silently(impl):
    ext = impl.package.build_extension(None, graph_with(), config="not a config")
    assert ext.config == "not a config"


def test_construction_failures_propagate(impl):
    def graph_of(nodes):
        graph = Graph()
        graph.nodes = nodes
        return graph

    with pytest.raises(AttributeError):
        impl.former.LacetExtension(None, graph_of({"x": object()}))
    unhashable = node("x")
    unhashable.id = ["not", "hashable"]
    with pytest.raises(TypeError):
        impl.former.LacetExtension(None, graph_of({"x": unhashable}))
    not_iterable = Graph()
    not_iterable.all_nodes = lambda: None
    with pytest.raises(TypeError):
        impl.former.LacetExtension(None, not_iterable)


def test_forget_keeps_the_index_in_step(impl):
    ext = impl.package.build_extension(None, graph_with(node("a"), node("b"), node("c")))
    ext._last_id = "b"
    assert ext.on_forget([]) is None
    ext.on_forget(iter(["a", "a", "unknown"]))
    assert ext._candidate_ids == {"b", "c"} and set(ext._node_lookup) == {"b", "c"} and ext._last_id == "b"
    ext.on_forget(("b",))
    assert ext._candidate_ids == {"c"} and ext._last_id is None


def test_forget_stops_at_an_id_that_cannot_be_used(impl):
    ext = impl.package.build_extension(None, graph_with(node("a"), node("b")))
    ext._last_id = "z"
    with pytest.raises(TypeError):
        ext.on_forget(["a", ["unhashable"], "b"])
    assert ext._candidate_ids == {"b"}
    with pytest.raises(RuntimeError):
        ext.on_forget([RaisingEqId("q"), "b"])
    assert ext._candidate_ids == {"b"}


class FlakyId(str):
    """A node id whose hash raises at the calls numbered in `failing`."""

    def __new__(cls, value, failing):
        self = super().__new__(cls, value)
        self.failing, self.calls = set(failing), 0
        return self

    def __hash__(self):
        self.calls += 1
        if self.calls in self.failing:
            raise RuntimeError(f"hash {self.calls}")
        return str.__hash__(self)

    __eq__ = str.__eq__


class FlakyNode:
    """A node whose `id` raises at the reads numbered in `failing`."""

    def __init__(self, node_id, failing=()):
        self._id, self.failing, self.reads = node_id, set(failing), 0
        self.content_embedding = [1.0, 0.0]

    @property
    def id(self):
        self.reads += 1
        if self.reads in self.failing:
            raise LookupError(f"id read {self.reads}")
        return self._id


def in_step(ext):
    return ext._candidate_ids == set(ext._node_lookup)


def test_failed_registration_leaves_the_index_in_step(impl):
    ext = impl.package.build_extension(None, graph_with(node("a")))
    # the second read of node.id (for the dict) fails: the id comes out of the set again
    with pytest.raises(LookupError, match="id read 2"):
        ext.on_ingest(graph_with(), FlakyNode("b", failing=[2]))
    assert ext._candidate_ids == {"a"} and in_step(ext) and ext._last_id is None
    # an id that was registered before stays registered
    with pytest.raises(LookupError):
        ext.on_ingest(graph_with(), FlakyNode("a", failing=[2]))
    assert ext._candidate_ids == {"a"} and in_step(ext)
    # the key's hash fails in the dict alone
    with pytest.raises(RuntimeError, match="hash 2"):
        ext.on_ingest(graph_with(), FlakyNode(FlakyId("c", failing=[2])))
    assert ext._candidate_ids == {"a"} and in_step(ext)
    # the removal fails too: its error propagates, the first one as its context
    with pytest.raises(RuntimeError, match="hash 3") as caught:
        ext.on_ingest(graph_with(), FlakyNode(FlakyId("d", failing=[2, 3])))
    assert str(caught.value.__context__) == "hash 2"
    # the batch's registration pass: earlier members stay registered, nothing is logged
    ext = impl.package.build_extension(None, graph_with())
    with pytest.raises(LookupError):
        ext.on_ingest_batch(graph_with(), [FlakyNode("x"), FlakyNode("y", failing=[2]), node("z")])
    assert ext._candidate_ids == {"x"} and in_step(ext)
