"""The reference graph in PostgreSQL (see `sql_graph` for the snapshot and
`statements.pg_graph` for the tables and the statements).

One database holds many graphs, one schema each (`graph`, default "graph"). The
connection runs in autocommit, so each statement is its own transaction; the
queued writes of a session go in one statement (new nodes, removals, insertions
in order and the last ingested id, as parts of one WITH), and a transaction
that must write earlier runs between BEGIN and COMMIT. A connection found
closed or broken (a server that was stopped) is opened again at the next
statement outside a transaction; inside one, the statement fails.

With `dimensions` (or a graph that already keeps vectors) the memories' vectors
are kept for pgvector as well (what `StoreHost` and `AsyncStoreHost` search in
the database in a call's first statement); `check_node` then refuses a vector of
another dimension or with NaN or infinity.

Needs `psycopg` (version 3) and the system's libpq.
"""
from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

import psycopg
from psycopg.pq import TransactionStatus

from vantor_lacet_stores.protocol import calls
from vantor_lacet_stores.protocol.rows import apply_params, pg_node_row
from vantor_lacet_stores.statements.pg_graph import PgStatements
from vantor_lacet_stores.statements.pg_types import ensure_vectors
from vantor_lacet_stores.graphs.sql_graph import SqlGraph
# Where the hosts have imported it from: it lives with the statements now.
from vantor_lacet_stores.statements.sessions import session_settings

__all__ = ["PostgresGraph", "session_settings"]


def setup_transaction(conn: psycopg.Connection[Any], step: calls.Setup) -> Any:
    """A `Setup` step on a connection in autocommit: its statements in one
    transaction; the first row of the last."""
    row = None
    with conn.transaction():
        for sql_text, params in step.steps:
            cur = conn.execute(sql_text, params)
            row = cur.fetchone() if cur.description is not None else None
    return row


class PostgresGraph(SqlGraph):
    """The graph `graph` (a schema, created when missing) in the database that
    `conninfo` names.
    `dimensions`: keep vectors of that dimension for pgvector (None: as the graph
    already does, or not at all). `ef_search`: pgvector's HNSW search breadth."""

    _integrity_error = psycopg.IntegrityError
    _nul_in_text = False  # text cannot hold NUL

    def __init__(self, conninfo: str, graph: str = "graph",
                 dimensions: int | None = None, ef_search: int = 100) -> None:
        super().__init__()
        self.graph_name = graph
        self.conninfo = conninfo
        self.ef_search = ef_search
        self._closed = False
        self._use(PgStatements(graph, dimensions))
        self._connect()

    def _use(self, stmts: PgStatements) -> None:
        self.stmts = stmts
        for name in ("add_node", "delete_node", "has_node", "get_node", "all_nodes",
                     "node_count", "nodes_present", "incident_ids", "edge_between",
                     "all_edges", "edge_count", "get_meta"):
            setattr(self, f"_sql_{name}", getattr(stmts, name))

    @property
    def dimensions(self) -> int | None:
        return self.stmts.dimensions

    def _connect(self) -> None:
        self._conn = psycopg.connect(self.conninfo, autocommit=True)
        self._use(calls.run(calls.setup_graph(self.stmts), self._setup_step, psycopg.Error))
        for setting in session_settings(self.ef_search if self.stmts.dimensions else None):
            self._conn.execute(setting)
        if self.stmts.dimensions:
            ensure_vectors(self._conn)

    def _setup_step(self, step: calls.Step) -> Any:
        """A step of `calls.setup_graph` on this graph's connection."""
        if isinstance(step, calls.Setup):
            return setup_transaction(self._conn, step)
        assert isinstance(step, calls.Statement)
        return self._conn.execute(step.sql, step.params).fetchone()

    def close(self) -> None:
        self._closed = True
        self._conn.close()

    def check_node(self, node: Any) -> tuple[Any, ...]:
        return pg_node_row(node, self.stmts.dimensions)

    def _execute(self, sql_text: str, params: Any = ()) -> Any:
        if (self._conn.closed or self._conn.broken) and not self._closed:
            if self._begun and sql_text != self._sql_begin:
                raise psycopg.OperationalError("the connection was lost inside a transaction")
            self._conn.close()
            self._connect()
        return self._conn.execute(sql_text, params)

    def _rollback(self) -> None:
        status = self._conn.info.transaction_status
        if status == TransactionStatus.IDLE:
            return
        try:
            if status in (TransactionStatus.INTRANS, TransactionStatus.INERROR):
                self._conn.execute("ROLLBACK")
                return
        except psycopg.Error:
            pass
        self._conn.close()  # the server ends a transaction whose connection goes

    def _load_params(self, ids: list[str]) -> Any:
        return {"ids": ids}

    def _row_edge(self, row: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(json.loads(row[0]))

    def _fetch(self, ids: list[str]) -> tuple[set[str], list[Any]]:
        present, edges = self._run(self.stmts.load, {"ids": ids})[0]
        return set(json.loads(present)), json.loads(edges)

    def _fetch_edges_of(self, node_id: str) -> list[Any]:
        edges: list[Any] = json.loads(self._run(self.stmts.edges_of, (node_id, node_id))[0][0])
        return edges

    def _apply(self, removes: list[str], adds: list[Any], last: str | None,
               nodes: Sequence[tuple[Any, ...]] = ()) -> int:
        params = apply_params(self.stmts, removes, adds, last, list(nodes))
        return int(self._write(self.stmts.apply, params)[0][0])

    def statement(self, sql_text: str, params: Any = ()) -> list[tuple[Any, ...]]:
        """One statement, counted in `round_trips`: its rows."""
        return self._run(sql_text, params)
