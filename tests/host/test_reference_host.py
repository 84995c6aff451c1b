from __future__ import annotations

import numpy as np
import pytest

from vantor.agents.gossip_retriever import RetrievalContext
from vantor.core.edge import (
    MemoryEdge,
    RelationshipMetadata,
    RelationshipType,
    WeightMetadata,
    share_edge_fields_set,
)
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService


def sem(a: str, b: str, w: float = 0.5) -> MemoryEdge:
    rel = RelationshipMetadata(type=RelationshipType.SEMANTIC, subtype="auto_discovered", bidirectional=True)
    return MemoryEdge(source_node=a, target_node=b, relationship=rel, weight=WeightMetadata(current=w, initial=w))


@pytest.fixture
def graph() -> MemoryGraph:
    g = MemoryGraph()
    for nid in "abcd":
        g.add_node(MemoryNode(id=nid))
    return g


# -- edge model ----------------------------------------------------------------

def test_edge_defaults_ids_and_sharing():
    rel = RelationshipMetadata(type=RelationshipType.TEMPORAL, subtype="auto_chain", description="x")
    e1 = MemoryEdge(source_node="a", target_node="b", relationship=rel)
    e2 = MemoryEdge(source_node="b", target_node="c",
                    relationship=RelationshipMetadata(type=RelationshipType.TEMPORAL, subtype="auto_chain", description="x"))
    assert e1.id != e2.id
    assert (e1.weight.current, e1.weight.initial) == (0.5, 0.5)
    assert e1.weight is not e2.weight
    s1, s2 = share_edge_fields_set(e1), share_edge_fields_set(e2)
    assert s1 is e1 and s2 is e2
    assert s2.relationship is s1.relationship  # identical field sets share one object
    assert (s2.relationship.type, s2.relationship.subtype) == (RelationshipType.TEMPORAL, "auto_chain")
    other = share_edge_fields_set(sem("a", "b"))
    assert other.relationship is not s1.relationship and other.relationship.bidirectional


def test_retrieval_context_takes_exactly_eight_keywords():
    names = ["seed_count", "max_iterations", "max_results", "degree_normalization",
             "use_volume_termination", "strengthen_on_retrieval", "coverage_harvest", "coverage_gossip_weight"]
    ctx = RetrievalContext(**{n: i for i, n in enumerate(names)})
    assert list(vars(ctx)) == names
    with pytest.raises(TypeError):
        RetrievalContext(seed_count=1)


# -- graph ---------------------------------------------------------------------

def test_add_edge_rejections_leave_graph_unchanged(graph):
    e = sem("a", "b")
    graph.add_edge(e)
    with pytest.raises(KeyError):
        graph.add_edge(sem("a", "zz"))
    with pytest.raises(KeyError):
        graph.add_edge(sem("zz", "a"))
    dup = sem("c", "d")
    dup.id = e.id
    with pytest.raises(ValueError):
        graph.add_edge(dup)
    assert graph.edge_count == 1
    assert graph.get_edges_for_node("c") == [] and graph.get_edge_between("c", "d") is None
    with pytest.raises(KeyError):
        graph.remove_edge("no-such-edge")


def test_edges_for_node_is_new_list_in_insertion_order(graph):
    e1, e2, e3, e4 = sem("a", "b"), sem("c", "a"), sem("b", "c"), sem("a", "d")
    for e in (e1, e2, e3, e4):
        graph.add_edge(e)
    got = graph.get_edges_for_node("a")
    assert got == [e1, e2, e4]  # outgoing and incoming, as added
    got.clear()
    assert graph.get_edges_for_node("a") == [e1, e2, e4]
    graph.remove_edge(e2.id)
    graph.add_edge(e2)  # re-added edges go to the end
    assert [x.id for x in graph.get_edges_for_node("a")] == [e1.id, e4.id, e2.id]
    assert graph.get_edges_for_node("unknown") == []


def test_get_edge_between_is_directional(graph):
    e = sem("a", "b")  # bidirectional flag does not matter for the lookup
    graph.add_edge(e)
    assert graph.get_edge_between("a", "b") is e
    assert graph.get_edge_between("b", "a") is None
    second = sem("a", "b")
    graph.add_edge(second)
    graph.remove_edge(e.id)
    assert graph.get_edge_between("a", "b") is second
    graph.remove_edge(second.id)
    assert graph.get_edge_between("a", "b") is None


def test_remove_node_removes_incident_edges(graph):
    ab, ca, cd = sem("a", "b"), sem("c", "a"), sem("c", "d")
    for e in (ab, ca, cd):
        graph.add_edge(e)
    assert sorted(graph.remove_node("a")) == sorted([ab.id, ca.id])
    assert not graph.has_node("a") and graph.get_node("a") is None
    assert graph.edges() == [cd] and graph.node_count == 3
    assert graph.get_edges_for_node("b") == [] and graph.get_edges_for_node("c") == [cd]
    assert graph.get_edge_between("c", "a") is None
    with pytest.raises(KeyError):
        graph.add_edge(sem("b", "a"))
    with pytest.raises(ValueError):
        graph.add_node(MemoryNode(id="b"))


# -- similarity service ----------------------------------------------------------

def make_nodes(vectors: dict[str, list[float] | None]) -> dict[str, MemoryNode]:
    return {k: MemoryNode(id=k, content_embedding=None if v is None else np.array(v, dtype=np.float32))
            for k, v in vectors.items()}


def search(svc, node, lookup, ids=None, **kw):
    kw.setdefault("top_k", 10)
    kw.setdefault("threshold", None)
    res = svc.find_similar(node, [], exclude_self=kw.pop("exclude_self", True),
                           candidate_ids=set(lookup) if ids is None else ids, node_lookup=lookup, **kw)
    return [(n.id, s) for n, s in res]


def test_ranking_by_cosine_top_k_and_threshold():
    lookup = make_nodes({"q": [1, 0], "same": [3, 0], "near": [1, 1], "far": [0, 1], "opp": [-2, 0]})
    svc = SimilarityService()
    q = lookup["q"]
    res = search(svc, q, lookup)
    assert [i for i, _ in res] == ["same", "near", "far", "opp"]
    assert [s for _, s in res] == pytest.approx([1.0, 2 ** -0.5, 0.0, -1.0], abs=1e-6)
    assert all(type(s) is float for _, s in res)
    assert [i for i, _ in search(svc, q, lookup, top_k=2)] == ["same", "near"]
    assert [i for i, _ in search(svc, q, lookup, threshold=0.5)] == ["same", "near"]
    assert [i for i, _ in search(svc, q, lookup, threshold=0.0, top_k=None)] == ["same", "near", "far"]
    assert len(search(svc, q, lookup, top_k=0)) == 4  # <= 0 / None: no limit
    assert [i for i, _ in search(svc, q, lookup, exclude_self=False, top_k=2)] == ["q", "same"]  # tie: by id


def test_exclude_list_and_degenerate_embeddings():
    lookup = make_nodes({"q": [1, 0, 0], "a": [1, 0, 0], "zero": [0, 0, 0], "empty": [], "wrongdim": [1, 0]})
    svc = SimilarityService()
    res = svc.find_similar(lookup["q"], ["a"], top_k=10, threshold=None, exclude_self=True,
                           candidate_ids=set(lookup), node_lookup=lookup)
    scores = {n.id: s for n, s in res}
    assert scores == {"zero": 0.0, "empty": 0.0, "wrongdim": 0.0}
    # a query that cannot be normalised scores 0.0 against everything
    res = search(svc, lookup["zero"], lookup, threshold=0.0)
    assert {i for i, _ in res} == {"q", "a", "empty", "wrongdim"} and all(s == 0.0 for _, s in res)
    with pytest.raises(ValueError):
        search(svc, MemoryNode(id="bad", content_embedding=np.ones(4)), lookup)


def test_live_candidate_set():
    lookup = make_nodes({"q": [1, 0], "best": [1, 0.01], "ok": [1, 1]})
    ids = {"best", "ok"}
    svc = SimilarityService()
    q = lookup["q"]
    assert [i for i, _ in search(svc, q, lookup, ids)] == ["best", "ok"]
    ids.discard("best")  # removed from the set (lookup still holds it): never returned again
    assert [i for i, _ in search(svc, q, lookup, ids)] == ["ok"]
    lookup.update(make_nodes({"new": [2, 0]}))
    ids.add("new")
    assert [i for i, _ in search(svc, q, lookup, ids)] == ["new", "ok"]
    # a node replaced under the same id is re-read, not served from the cache
    lookup["new"] = MemoryNode(id="new", content_embedding=np.array([-1.0, 0.0]))
    assert search(svc, q, lookup, ids)[-1] == ("new", pytest.approx(-1.0))
    ids.clear()
    assert search(svc, q, lookup, ids) == []


def test_replaced_nodes_and_invalidate_when_lookup_matches_candidates():
    # the extension's own layout: node_lookup holds exactly the candidate ids
    lookup = make_nodes({"a": [1, 0], "b": [0, 1]})
    ids = set(lookup)
    svc = SimilarityService()
    q = MemoryNode(id="q", content_embedding=np.array([1.0, 0.0]))
    assert [i for i, _ in search(svc, q, lookup, ids)] == ["a", "b"]
    lookup["b"] = MemoryNode(id="b", content_embedding=np.array([1.0, 0.0]))
    res = search(svc, q, lookup, ids)
    assert res[0][1] == pytest.approx(1.0) and res[1][1] == pytest.approx(1.0)
    assert [n for n, _ in svc.find_similar(q, [], top_k=5, candidate_ids=ids, node_lookup=lookup)][1] is lookup["b"]
    lookup["a"].content_embedding = np.array([-1.0, 0.0])  # edited in place: cached until invalidated
    assert search(svc, q, lookup, ids)[0] == ("a", pytest.approx(1.0))
    svc.invalidate("a")
    assert search(svc, q, lookup, ids) == [("b", pytest.approx(1.0)), ("a", pytest.approx(-1.0))]


def test_results_stay_exact_across_cache_growth_and_compaction():
    rng = np.random.default_rng(7)
    vecs = rng.normal(size=(3000, 16)).astype(np.float32)
    lookup = {str(i): MemoryNode(id=str(i), content_embedding=vecs[i]) for i in range(3000)}
    svc = SimilarityService()
    query = MemoryNode(id="q", content_embedding=rng.normal(size=16))
    unit = vecs / np.linalg.norm(vecs, axis=1, keepdims=True)
    qn = query.content_embedding / np.linalg.norm(query.content_embedding)

    def expected(ids: set[str]) -> list[str]:
        return sorted(ids, key=lambda i: -float(unit[int(i)] @ qn))[:5]

    ids = set(lookup)
    assert [i for i, _ in search(svc, query, lookup, ids, top_k=5)] == expected(ids)
    ids = {str(i) for i in range(0, 3000, 7)}  # most rows die; the cache compacts
    got = search(svc, query, lookup, ids, top_k=5)
    assert [i for i, _ in got] == expected(ids)
    assert [s for _, s in got] == pytest.approx([float(unit[int(i)] @ qn) for i, _ in got], abs=1e-5)
    ids |= {"1", "2", "3"}
    assert [i for i, _ in search(svc, query, lookup, ids, top_k=5)] == expected(ids)
    ids -= set(expected(ids)[:2])  # removals after compaction hit the right rows
    assert [i for i, _ in search(svc, query, lookup, ids, top_k=5)] == expected(ids)


def test_edge_ids_differ_across_processes():
    # A graph saved by one process and reloaded by another must not meet new
    # edges under ids it already holds: add_edge would refuse them.
    import os
    import subprocess
    import sys
    from pathlib import Path

    code = ("from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType as T\n"
            "print(' '.join(MemoryEdge(source_node='a', target_node='b',"
            " relationship=RelationshipMetadata(type=T.TEMPORAL)).id for _ in range(3)))")
    env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[2] / "host_contracts"))
    ids = [subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True).stdout.split() for _ in range(2)]
    assert len(ids[0]) == 3 and len(set(ids[0] + ids[1])) == 6
