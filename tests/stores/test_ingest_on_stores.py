"""One stream of memories through the extension on every graph store, with
and without the snapshot: the same edges, evictions and final graph, in a
handful of statements a memory; and a restart that carries the chain on."""
from __future__ import annotations

import numpy as np
import pytest

import vantor_lacet
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService
from vantor.core.counting_graph import CountingMemoryGraph
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost


def memories(n, seed=3):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(5, 8))
    vecs = centres[rng.integers(0, 5, size=n)] + rng.normal(scale=0.45, size=(n, 8))
    return [MemoryNode(id=f"m{i}'; {'é' * (i % 3)}", content=f"memory {i}",
                       content_embedding=None if i == 17 else vecs[i].astype(np.float32))
            for i in range(n)]


# Singles and batches; forgets (the previous memory among them); the cap lowered.
STREAM = ([("add", [i]) for i in range(30)] + [("add", list(range(30, 37)))]
          + [("forget", [3, 36, 11])] + [("add", [i]) for i in range(37, 45)]
          + [("cap", 3)] + [("add", list(range(45, 52))), ("add", [52]), ("add", list(range(53, 56)))]
          + [("forget", [55, 40])] + [("add", [i]) for i in range(56, 70)])


def describe(edge):
    return (edge.source_node, edge.target_node, edge.relationship.type, edge.relationship.subtype,
            edge.weight.current)


def config():
    return vantor_lacet.LacetConfig(similarity_threshold=0.55, max_semantic_edges_per_node=5)


def run_stream(graph, snapshot, steps=STREAM, host=None):
    nodes = memories(70)
    host = host or GraphStoreHost(graph, SimilarityService(), config(), snapshot=snapshot)
    log, made, single_trips = [], {}, []
    for kind, arg in steps:
        if kind == "cap":
            host.ext.config.max_semantic_edges_per_node = arg
            continue
        if kind == "forget":
            host.forget(nodes[i].id for i in arg)
            continue
        before = graph.round_trips
        result = host.add([nodes[i] for i in arg])
        if len(arg) == 1:
            single_trips.append(graph.round_trips - before)
        made.update((e.id, describe(e)) for e in result.created)
        log.append(([describe(e) for e in result.created],
                    [made.get(edge_id, edge_id) for edge_id in result.evicted_edge_ids]))
    final = [(n.id, [describe(e) for e in graph.get_edges_for_node(n.id)])
             for n in graph.all_nodes()]
    return log, final, single_trips


def test_same_edges_evictions_and_graph_on_every_store(pg_cluster, tmp_path):
    from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
    from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph

    reference_log, reference_final, memory_trips = run_stream(CountingMemoryGraph(), False)
    assert sum(len(evicted) for _, evicted in reference_log) > 10  # the cap is at work
    for snapshot in (False, True):
        for graph in (SqliteGraph(tmp_path / f"s{snapshot}.db"),
                      PostgresGraph(pg_cluster.conninfo, graph=f"same_{snapshot}")):
            with graph:
                log, final, trips = run_stream(graph, snapshot)
                assert log == reference_log, (type(graph).__name__, snapshot)
                assert final == reference_final, (type(graph).__name__, snapshot)
                if snapshot:
                    # the memory's and the previous memory's state, the neighbourhood, the writes
                    assert max(trips) <= 3, trips
                else:  # a statement per graph call, the last ingested id, BEGIN and COMMIT
                    assert [t - 3 for t in trips] == memory_trips


@pytest.mark.parametrize("snapshot", [False, True])
def test_a_restart_continues_the_chain_with_fresh_edge_ids(stores, snapshot):
    steps = [("add", [i]) for i in range(40)]
    _, reference_final, _ = run_stream(CountingMemoryGraph(), False, steps)
    graph = stores.open()
    run_stream(graph, snapshot, steps[:25])
    graph = stores.reopen(graph)  # a new process: a new service and extension
    _, final, _ = run_stream(graph, snapshot, steps[25:])
    assert final == reference_final
    ids = [e.id for e in graph.edges()]
    assert len(set(ids)) == len(ids)
    assert graph.last_ingested() == memories(40)[39].id


def test_graphs_side_by_side_on_threads(pg_cluster, tmp_path):
    """One extension a graph, each on its own thread, one server (and SQLite
    files): each graph ends as it would alone."""
    import threading

    from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
    from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph

    reference = run_stream(CountingMemoryGraph(), False)[:2]
    outcomes = {}

    def one(k):
        graph = (PostgresGraph(pg_cluster.conninfo, graph=f"side{k}") if k % 2
                 else SqliteGraph(tmp_path / f"side{k}.db"))
        with graph:
            outcomes[k] = run_stream(graph, snapshot=k < 2)[:2]

    threads = [threading.Thread(target=one, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [outcomes.get(k) == reference for k in range(4)] == [True] * 4
