import importlib
import sys
from pathlib import Path

import pytest

_DEMO = str(Path(__file__).resolve().parents[2] / "demo")


@pytest.fixture(scope="module")
def demo():
    sys.path.insert(0, _DEMO)
    try:
        yield importlib.import_module("lacet_demo.cli")
    finally:
        sys.path.remove(_DEMO)
        for name in [n for n in sys.modules if n == "lacet_demo" or n.startswith("lacet_demo.")]:
            del sys.modules[name]


def is_semantic(edge):
    return edge.relationship.type.value == "semantic"


def semantic_degree_per_node(graph):
    return {n.id: sum(1 for e in graph.get_edges_for_node(n.id) if is_semantic(e))
            for n in graph.all_nodes()}


def test_synthetic_run_draws_pictures_and_respects_the_cap(demo, tmp_path):
    import vantor_lacet
    host_edge_model = {name: getattr(vantor_lacet.former, name)
                       for name in ("MemoryEdge", "RelationshipMetadata", "WeightMetadata",
                                    "share_edge_fields_set")}
    report = demo.main(["--synthetic", "1050", "--cap", "4", "--out", str(tmp_path), "--no-progress",
                        "--search", "approx"])
    for picture in report["pictures"]:
        assert picture.parent == tmp_path
        assert picture.stat().st_size > 10_000, picture
    graph, stats = report["graph"], report["stats"]
    degrees = semantic_degree_per_node(graph)
    assert degrees == report["degrees"]
    assert max(degrees.values()) <= 4
    # clustered data at cap 4 must push the cap: some memories reach it, some edges get evicted
    assert max(degrees.values()) == 4 and stats.evictions > 0
    # bookkeeping: every eviction was of an edge this run formed, and what is left is in the graph
    semantic_in_graph = sum(1 for e in graph.edges() if is_semantic(e))
    assert len(stats.evicted_weights) == stats.evictions
    assert semantic_in_graph == stats.created["semantic"] - stats.evictions
    assert stats.created["temporal chain"] == 1049
    assert 0.0 < stats.search and 0.0 < stats.in_batch_calls
    # the time per memory: every batch accounted for, each part timed, work counted
    assert [r.held for r in stats.per_batch] == list(range(50, 1001, 50)) + [1050]
    # each semantic edge formed came from a search hit; each ingest asked the graph something
    assert sum(r.hits for r in stats.per_batch) >= stats.created["semantic"] > 0
    assert sum(r.graph_calls for r in stats.per_batch) > 1050
    assert set(report["time_per_memory"]) == {1000, 1050}
    assert all(v >= 0.0 for row in report["time_per_memory"].values() for v in row)
    package, edge_model, search = report["time_per_memory"][1050][:3]
    assert package > 0.0 and edge_model > 0.0 and search > 0.0
    assert stats.index > 0.0 and stats.graph > 0.0 and stats.wrappers > 0.0
    # the edges were built through the timing wrappers, which are gone after the run
    assert all(type(e).__name__ == "MemoryEdge" and type(e) is not host_edge_model["MemoryEdge"]
               for e in graph.edges())
    assert {name: getattr(vantor_lacet.former, name) for name in host_edge_model} == host_edge_model


def test_forget_keeps_the_index_in_step_with_slotted_edges_timed_coarsely(demo, tmp_path):
    import vantor_lacet
    report = demo.main(["--limit", "300", "--forget", "20", "--out", str(tmp_path), "--no-progress",
                        "--edge-slots", "--coarse-timing"])
    ext, graph, forget = report["ext"], report["graph"], report["forget"]
    # the edges (and their records) came from the slotted classes, put back afterwards
    for edge in graph.edges():
        for record in (edge, edge.relationship, edge.weight):
            assert not hasattr(record, "__dict__"), record
    assert not hasattr(vantor_lacet.former.MemoryEdge, "__slots__")
    # coarse timing: the package's time holds its edge model and graph calls, none is apart
    stats = report["stats"]
    assert stats.package > 0.0 and stats.edge_model == 0.0 and stats.search > 0.0
    forgotten = set(forget["forgotten"])
    assert len(forgotten) == 20
    assert forget["index_before"] == (300, 300)
    assert forget["index_after"] == (280, 280)
    assert not forgotten & ext._candidate_ids
    assert not forgotten & set(ext._node_lookup)
    assert not any(graph.has_node(i) for i in forgotten)
    assert forget["still_indexed"] == [] and forget["returned_forgotten"] == []
    assert forget["linked_to_forgotten"] == 0
    assert max(semantic_degree_per_node(graph).values()) <= report["cap"]
    assert all(p.exists() for p in report["pictures"])
