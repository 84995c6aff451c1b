"""Graphs of every kind by name, for tests and benchmarks."""
from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any


@contextlib.contextmanager
def open_graph(store: str, latency: float = 0.0, name: str = "graph") -> Iterator[Any]:
    """A graph for `store`: "memory", "sqlite" (a file in a temporary folder),
    "sqlite:PATH", "postgresql" (a throwaway cluster) or "postgresql:CONNINFO".
    Closed (and the throwaway parts removed) at the end of the block."""
    kind, _, where = store.partition(":")
    if kind == "memory":
        from vantor.core.counting_graph import CountingMemoryGraph  # the reference host's
        yield CountingMemoryGraph(latency)
    elif kind == "sqlite":
        from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph
        with contextlib.ExitStack() as stack:
            if not where:
                import tempfile
                where = str(stack.enter_context(tempfile.TemporaryDirectory()) + "/graph.db")
            graph = stack.enter_context(SqliteGraph(where, latency=latency))
            yield graph
    elif kind == "postgresql":
        from vantor_lacet_stores.testing.cluster import ThrowawayCluster
        from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
        with contextlib.ExitStack() as stack:
            if not where:
                # Graphs opened here keep no vectors: any server will do.
                where = stack.enter_context(ThrowawayCluster(pgvector=False)).conninfo
            yield stack.enter_context(PostgresGraph(where, graph=name, latency=latency))
    else:
        raise ValueError(f"unknown store {store!r}: memory, sqlite[:PATH] or postgresql[:CONNINFO]")
