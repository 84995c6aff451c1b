"""What a batch's combined result receives from each node's ingest, with the
package's own on_ingest: a failing node adds nothing, a replaced
_enforce_cap sees each node's own result, a record class changed during a
node is read through as it is then."""
import importlib
import logging

import pytest

from vantor.core.graph import MemoryGraph

from conftest import node
from test_cap import semantic


class Search:
    def __init__(self, answers):
        self.answers = answers

    def find_similar(self, n, scratch, **kwargs):
        return list(self.answers.get(n.id, []))


class Graph(MemoryGraph):
    """Calls `on_add(edge)` before each edge is added and `on_lookup(a, b)`
    before each edge lookup."""
    on_add = on_lookup = staticmethod(lambda *args: None)

    def add_edge(self, edge):
        self.on_add(edge)
        return super().add_edge(edge)

    def get_edge_between(self, a_id, b_id):
        self.on_lookup(a_id, b_id)
        return super().get_edge_between(a_id, b_id)


def kinds(edges):
    return [(e.source_node, e.target_node, e.relationship.subtype) for e in edges]


def world(impl):
    """Batch nodes a, b, c; pool nodes p, q, r, s, each at the cap of one
    semantic edge (a weak one, evicted by the first stronger newcomer). a
    finds p; b finds q, then s; c finds r."""
    graph = Graph()
    pool = {i: node(i) for i in "pqrsxyzw"}
    for n in pool.values():
        graph.add_node(n)
    for source, target in ("px", "qy", "rz", "sw"):
        graph.add_edge(semantic(source, target, 0.1, edge_id=source + target))
    batch = [node(i) for i in "abc"]
    for n in batch:
        graph.add_node(n)
    search = Search({"a": [(pool["p"], 0.9)], "b": [(pool["q"], 0.9), (pool["s"], 0.8)],
                     "c": [(pool["r"], 0.9)]})
    config = impl.former.LacetConfig(max_semantic_edges_per_node=1)
    ext = impl.package.build_extension(search, graph, config)
    ext._candidate_ids.clear()
    ext._node_lookup.clear()
    return graph, ext, batch


def test_failed_node_leaves_nothing_in_the_result(impl, records):
    graph, ext, batch = world(impl)

    def lookup(a_id, b_id):
        if (a_id, b_id) == ("b", "s"):  # after b's chain edge, eviction and first edge
            raise RuntimeError("lookup failed")

    graph.on_lookup = lookup
    result = ext.on_ingest_batch(graph, batch)
    assert kinds(result.created) == [("a", "p", "auto_discovered"), ("a", "c", "auto_chain"),
                                     ("c", "r", "auto_discovered")]
    assert result.evicted_edge_ids == ["px", "rz"]
    # what b did to the graph stays
    assert graph.get_edge_between("a", "b") and graph.get_edge_between("b", "q")
    assert graph.get_edge_between("q", "y") is None
    assert [(r.levelno, r.args) for r in records] == [(logging.WARNING, ("b",))]


def test_replaced_enforce_cap_gets_each_nodes_own_result(impl):
    graph, ext, batch = world(impl)
    seen = []
    original = ext._enforce_cap

    def spy(graph_, a_id, b_id, similarity, result):
        seen.append((result, kinds(result.created), list(result.evicted_edge_ids)))
        return original(graph_, a_id, b_id, similarity, result)

    def lookup(a_id, b_id):  # while b is ingested, after its chain edge is listed
        if (a_id, b_id) == ("b", "q"):
            ext._enforce_cap = spy

    graph.on_lookup = lookup
    result = ext.on_ingest_batch(graph, batch)
    assert [(names, evicted) for _, names, evicted in seen] == [
        ([("a", "b", "auto_chain")], []),
        ([("a", "b", "auto_chain"), ("b", "q", "auto_discovered")], ["qy"]),
        ([("b", "c", "auto_chain")], []),
    ]
    b_result, c_result = seen[0][0], seen[2][0]
    assert seen[1][0] is b_result and c_result is not b_result
    assert result is not b_result and result is not c_result
    # b's cap of one keeps its edge to q over the weaker one to s
    assert kinds(b_result.created) == [("a", "b", "auto_chain"), ("b", "q", "auto_discovered")]
    assert b_result.evicted_edge_ids == ["qy"]
    assert kinds(c_result.created) == [("b", "c", "auto_chain"), ("c", "r", "auto_discovered")]
    assert kinds(result.created) == [("a", "p", "auto_discovered")] + kinds(b_result.created) + kinds(
        c_result.created)
    assert result.evicted_edge_ids == ["px", "qy", "rz"]


def run_with_changed_record_class(name):
    package = importlib.import_module(name)
    former = importlib.import_module(name + ".former")
    impl = type("Impl", (), {"package": package, "former": former})
    graph, ext, batch = world(impl)
    cls = former.LacetIngestResult
    reads = []

    def get(self):
        value = vars(self)["created"]
        reads.append(("get", len(value)))
        return value

    def put(self, value):
        reads.append(("set", len(value)))
        vars(self)["created"] = value

    def add(edge):  # while b's chain edge is added, before it is listed
        if edge.target_node == "b":
            cls.created = property(get, put)

    graph.on_add = add
    try:
        result = ext.on_ingest_batch(graph, batch)
    finally:
        if "created" in vars(cls):
            del cls.created
    return reads, kinds(result.created), result.evicted_edge_ids


@pytest.mark.parametrize("name", ["vantor_lacet"])
def test_record_class_changed_during_a_node_is_read_through(name):
    reads, created, evicted = run_with_changed_record_class(name)
    assert reads, "the changed class was never read through"
    assert (reads, created, evicted) == run_with_changed_record_class("lacet_model")
