"""The stores answer every graph call as the in-memory graph does, with and
without a session, and keep host data (ids, texts, weights) unchanged."""
from __future__ import annotations

import random

import numpy as np
import pytest

from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode

# Quotes, a statement separator, backslashes, SQL comment and wildcard
# characters, JSON and array syntax, non-ASCII text.
HOSTILE = ["a", "b", "it's", 'say "hi"', "x'); DROP TABLE edges; --", "back\\slash\\",
           "semi;colon", "100%_like", "{1,2}", '["json"]', "Zoë 🧠 記憶", "tab\tnew\nline", ""]


def describe(edge):
    if edge is None:
        return None
    rel = edge.relationship
    return (edge.id, edge.source_node, edge.target_node, rel.type, rel.subtype, rel.description,
            rel.bidirectional, edge.weight.current, edge.weight.initial)


def outcome(call, *args):
    try:
        value = call(*args)
    except (KeyError, ValueError) as exc:
        return type(exc).__name__, exc.args if isinstance(exc, KeyError) else None
    if isinstance(value, list):
        return [describe(e) if isinstance(e, MemoryEdge) else e for e in value]
    return describe(value) if isinstance(value, MemoryEdge) else value


def new_edge(rng, source, target, edge_id=None):
    kind = rng.choice([RelationshipType.SEMANTIC, RelationshipType.TEMPORAL])
    w = rng.random()
    rel = RelationshipMetadata(type=kind, subtype=rng.choice(["auto_discovered", "mine", None]),
                               description=rng.choice([None, "it's \\ ; 記"]),
                               bidirectional=rng.random() < 0.5)
    kwargs = {"id": edge_id} if edge_id is not None else {}
    return MemoryEdge(source_node=source, target_node=target, relationship=rel,
                      weight=WeightMetadata(current=w, initial=w / 3), **kwargs)


def run_ops(rng, reference, store, steps):
    """Random calls on both graphs; every answer and every refusal must match."""
    ids = HOSTILE[:9]
    session_edges: list[str] = []
    for _ in range(steps):
        op = rng.random()
        a, b = rng.choice(ids), rng.choice(ids)
        if op < 0.12:
            args = [("add_node", MemoryNode(id=a))]
        elif op < 0.14:
            args = [("remove_node", a)]
        elif op < 0.5:
            existing = [e.id for e in reference.edges()]
            reuse = None
            if rng.random() < 0.1:
                pool = session_edges if store.in_session and store._defer else existing
                reuse = rng.choice(pool) if pool else None
            edge = new_edge(rng, a, b, reuse)
            args = [("add_edge", edge)]
            session_edges.append(edge.id)
        elif op < 0.62:
            existing = [e.id for e in reference.edges()] + ["no-such-edge"]
            args = [("remove_edge", rng.choice(existing))]
        elif op < 0.72:
            args = [("has_node", a)]
        elif op < 0.86:
            args = [("get_edge_between", a, b)]
        else:
            args = [("get_edges_for_node", a)]
        name, *rest = args[0]
        assert outcome(getattr(store, name), *rest) == outcome(getattr(reference, name), *rest), \
            (name, rest)
        if store.in_session and rng.random() < 0.2:
            store.prefetch(rng.sample(ids, 3))
    return session_edges


@pytest.mark.parametrize("seed", [1, 2])
def test_store_answers_as_the_in_memory_graph(stores, seed):
    rng = random.Random(seed)
    reference, store = MemoryGraph(), stores.open()
    for round_ in range(12):
        mode = round_ % 3
        if mode == 0:
            run_ops(rng, reference, store, 40)
        else:
            with store.session(defer_writes=mode == 1):
                run_ops(rng, reference, store, 40)
        for node in reference.all_nodes():
            assert outcome(store.get_edges_for_node, node.id) == \
                outcome(reference.get_edges_for_node, node.id)
    assert [n.id for n in store.all_nodes()] == [n.id for n in reference.all_nodes()]
    assert [describe(e) for e in store.edges()] == [describe(e) for e in reference.edges()]
    assert store.edge_count == reference.edge_count > 10


def test_host_data_reads_back_unchanged(stores):
    graph = stores.open()
    vectors = np.random.default_rng(0).normal(size=(len(HOSTILE), 5)).astype(np.float32)
    for text, vec in zip(HOSTILE, vectors):
        graph.add_node(MemoryNode(id=text, content=text * 2, content_embedding=vec,
                                  metadata={"source": text, text: [text]}))
    edges = [new_edge(random.Random(i), HOSTILE[i], HOSTILE[-1 - i], edge_id=f"{t}#{i}")
             for i, t in enumerate(HOSTILE)]
    with graph.session():
        for edge in edges[:6]:
            graph.add_edge(edge)
    for edge in edges[6:]:
        graph.add_edge(edge)
    graph.set_last_ingested(HOSTILE[4])
    graph = stores.reopen(graph)
    nodes = graph.all_nodes()
    assert [n.id for n in nodes] == HOSTILE
    for node, text, vec in zip(nodes, HOSTILE, vectors):
        assert (node.content, node.metadata) == (text * 2, {"source": text, text: [text]})
        assert np.array_equal(node.content_embedding, vec)
        assert graph.has_node(text)
    assert [describe(e) for e in graph.edges()] == [describe(e) for e in edges]
    assert graph.last_ingested() == HOSTILE[4]
    assert not graph.has_node("x'")


def test_a_session_sends_its_writes_once_even_when_the_block_raises(stores):
    graph = stores.open()
    for nid in "abc":
        graph.add_node(MemoryNode(id=nid))
    rng = random.Random(0)
    before = graph.round_trips
    with pytest.raises(RuntimeError), graph.session():
        graph.prefetch("abc")
        assert graph.get_edges_for_node("a") == []
        for _ in range(5):
            graph.add_edge(new_edge(rng, "a", "b"))
        first = graph.get_edges_for_node("b")[0]
        graph.remove_edge(first.id)
        graph.set_last_ingested("c")
        raise RuntimeError
    assert graph.round_trips - before == 2  # the load and the queued writes
    assert [e.id for e in graph.get_edges_for_node("a")] == [e.id for e in
                                                             graph.get_edges_for_node("b")]
    assert graph.edge_count == 4 and graph.last_ingested() == "c"


def test_an_id_taken_outside_the_snapshot(stores):
    """The one case a deferred session cannot see at add_edge: the queue is
    refused as a whole when sent. Writing through refuses the edge itself."""
    graph = stores.open()
    for nid in "abcd":
        graph.add_node(MemoryNode(id=nid))
    rng = random.Random(0)
    graph.add_edge(new_edge(rng, "c", "d", edge_id="taken"))
    with pytest.raises(ValueError, match="refused"), graph.session():
        graph.add_edge(new_edge(rng, "a", "b"))
        graph.add_edge(new_edge(rng, "a", "b", edge_id="taken"))
    assert [e.id for e in graph.edges()] == ["taken"]
    with graph.session(defer_writes=False):
        graph.add_edge(new_edge(rng, "a", "b"))
        with pytest.raises(ValueError, match="duplicate"):
            graph.add_edge(new_edge(rng, "a", "b", edge_id="taken"))
    assert graph.edge_count == 2
