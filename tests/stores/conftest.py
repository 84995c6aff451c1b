"""Graph stores under test: SQLite files and PostgreSQL schemas in one
throwaway cluster, started for the test session and removed at its end."""
from __future__ import annotations

import itertools

import pytest

from vantor_lacet_stores.testing.cluster import ThrowawayCluster
from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph

_schemas = itertools.count()


@pytest.fixture(scope="session")
def pg_cluster():
    # Shared by graphs without vectors and, where the server has pgvector, the
    # tests of vectors (which skip on a server without it).
    with ThrowawayCluster(pgvector=False) as cluster:
        yield cluster


class Stores:
    """Opens graphs of one kind; `reopen` gives a new connection to the same graph."""

    def __init__(self, kind, tmp_path, cluster):
        self.kind, self.tmp_path, self.cluster = kind, tmp_path, cluster
        self.opened = []

    def open(self, name=None, latency=0.0):
        name = name or f"g{next(_schemas)}"
        if self.kind == "sqlite":
            graph = SqliteGraph(self.tmp_path / f"{name}.db", latency=latency)
        else:
            graph = PostgresGraph(self.cluster.conninfo, graph=name, latency=latency)
        graph.name = name
        self.opened.append(graph)
        return graph

    def reopen(self, graph):
        graph.close()
        return self.open(graph.name)

    def close(self):
        for graph in self.opened:
            graph.close()


@pytest.fixture(params=["sqlite", "postgresql"])
def stores(request, tmp_path):
    cluster = request.getfixturevalue("pg_cluster") if request.param == "postgresql" else None
    opened = Stores(request.param, tmp_path, cluster)
    yield opened
    opened.close()
