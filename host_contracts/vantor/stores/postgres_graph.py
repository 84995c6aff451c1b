"""The reference graph in PostgreSQL (see `sql_graph` for the snapshot).

One database holds many graphs, one schema each (`graph`, default "graph"):
the tables are the same in every schema, and a connection works in one. The
connection runs in autocommit, so each statement is its own transaction; the
queued writes of a session go in one statement (new nodes, removals, insertions
in order and the last ingested id, as parts of one WITH), and a transaction
that must write earlier runs between BEGIN and COMMIT. A connection found
closed or broken (a server that was stopped) is opened again at the next
statement outside a transaction; inside one, the statement fails. Lists are passed as array
parameters; the schema's name is composed as an identifier by psycopg, never
pasted into the text.

Needs `psycopg` (version 3) and the system's libpq.
"""
from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

import psycopg
from psycopg import sql
from psycopg.pq import TransactionStatus

from vantor.stores.sql_graph import EDGE_COLUMNS, LAST_INGESTED, SqlGraph, edge_row

_COLS = ", ".join(EDGE_COLUMNS)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS nodes (
    seq bigint GENERATED ALWAYS AS IDENTITY UNIQUE,
    id text PRIMARY KEY,
    content text NOT NULL,
    embedding bytea,
    metadata text NOT NULL
);
CREATE TABLE IF NOT EXISTS edges (
    seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    id text NOT NULL UNIQUE,
    source text NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,
    target text NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,
    type text NOT NULL,
    subtype text,
    description text,
    bidirectional boolean NOT NULL,
    weight_current double precision NOT NULL,
    weight_initial double precision NOT NULL
);
CREATE INDEX IF NOT EXISTS edges_by_source ON edges (source, seq);
CREATE INDEX IF NOT EXISTS edges_by_target ON edges (target, seq);
CREATE TABLE IF NOT EXISTS meta (key text PRIMARY KEY, value text);
"""


class PostgresGraph(SqlGraph):
    """The graph `graph` (a schema, created when missing) in the database that
    `conninfo` names. `latency`: seconds slept before each statement."""

    _integrity_error = psycopg.IntegrityError
    _nul_in_text = False  # text cannot hold NUL

    _sql_add_node = ("INSERT INTO nodes (id, content, embedding, metadata) "
                     "VALUES (%s, %s, %s, %s) ON CONFLICT (id) DO NOTHING RETURNING id")
    _sql_delete_node = "DELETE FROM nodes WHERE id = %s RETURNING id"
    _sql_has_node = "SELECT 1 FROM nodes WHERE id = %s"
    _sql_get_node = "SELECT id, content, embedding, metadata FROM nodes WHERE id = %s"
    _sql_all_nodes = "SELECT id, content, embedding, metadata FROM nodes ORDER BY seq"
    _sql_node_count = "SELECT count(*) FROM nodes"
    _sql_nodes_present = "SELECT id FROM nodes WHERE id = ANY(%(ids)s::text[])"
    _sql_incident_ids = "SELECT id FROM edges WHERE source = %s OR target = %s ORDER BY seq"
    # An edge comes as one JSON text, and a list of edges as one JSON array: the
    # driver reads one value instead of nine a row (float8 is written with the
    # digits that read back exactly).
    _EDGE = f"json_build_array({_COLS})"
    _sql_edge_between = (f"SELECT {_EDGE}::text FROM edges WHERE source = %s AND target = %s "
                         "ORDER BY seq LIMIT 1")
    _sql_edges_of = (f"SELECT coalesce(json_agg({_EDGE} ORDER BY seq), '[]')::text FROM edges "
                     "WHERE source = %s OR target = %s")
    _sql_all_edges = f"SELECT {_EDGE}::text FROM edges ORDER BY seq"
    _sql_edge_count = "SELECT count(*) FROM edges"
    _sql_get_meta = "SELECT value FROM meta WHERE key = %s"
    # Whether each node exists, then every edge at any of them, in the order added.
    _sql_load = ("SELECT (SELECT coalesce(json_agg(id), '[]') FROM nodes "
                 "WHERE id = ANY(%(ids)s::text[]))::text, "
                 f"(SELECT coalesce(json_agg({_EDGE} ORDER BY seq), '[]') FROM edges "
                 "WHERE source = ANY(%(ids)s::text[]) OR target = ANY(%(ids)s::text[]))::text")
    # New nodes, removals, insertions in the order given (their seq follows
    # that order), and the last ingested id: one statement, one transaction.
    # The edges' foreign keys are checked at the statement's end, so an edge
    # may end at a node of the same statement.
    _sql_apply = (
        "WITH nodes_added AS (INSERT INTO nodes (id, content, embedding, metadata) "
        "SELECT id, content, embedding, metadata FROM unnest(%(node_ids)s::text[], "
        "%(contents)s::text[], %(embeddings)s::bytea[], %(metadata)s::text[]) "
        "WITH ORDINALITY AS n(id, content, embedding, metadata, ord) ORDER BY ord RETURNING 1), "
        "removed AS (DELETE FROM edges WHERE id = ANY(%(removes)s::text[]) RETURNING 1), "
        f"added AS (INSERT INTO edges ({_COLS}) "
        f"SELECT {_COLS} FROM unnest(%(ids)s::text[], %(sources)s::text[], %(targets)s::text[], "
        "%(types)s::text[], %(subtypes)s::text[], %(descriptions)s::text[], "
        "%(bidirectional)s::boolean[], %(currents)s::float8[], %(initials)s::float8[]) "
        f"WITH ORDINALITY AS u({_COLS}, ord) ORDER BY ord RETURNING 1), "
        f"last AS (INSERT INTO meta (key, value) SELECT '{LAST_INGESTED}', %(last)s::text "
        "WHERE %(last)s::text IS NOT NULL "
        "ON CONFLICT (key) DO UPDATE SET value = excluded.value RETURNING 1) "
        "SELECT (SELECT count(*) FROM removed), (SELECT count(*) FROM added), "
        "(SELECT count(*) FROM last), (SELECT count(*) FROM nodes_added)")

    def __init__(self, conninfo: str, graph: str = "graph", latency: float = 0.0) -> None:
        super().__init__(latency)
        self.graph_name = graph
        self.conninfo = conninfo
        self._closed = False
        self._connect()

    def _connect(self) -> None:
        self._conn = psycopg.connect(self.conninfo, autocommit=True)
        schema = sql.Identifier(self.graph_name)
        with self._conn.transaction():
            self._conn.execute(sql.SQL("CREATE SCHEMA IF NOT EXISTS {}").format(schema))
            self._conn.execute(sql.SQL("SET search_path TO {}").format(schema))
            # A generic plan cannot know how many ids an array holds and may
            # scan every edge for a neighbourhood: plan each statement for its
            # values (a tenth of a millisecond) rather than reuse one plan.
            self._conn.execute("SET plan_cache_mode TO force_custom_plan")
            self._conn.execute(_SCHEMA)

    def close(self) -> None:
        self._closed = True
        self._conn.close()

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

    def _fetch(self, ids: list[str]) -> tuple[set[str], list[tuple[Any, ...]]]:
        present, edges = self._run(self._sql_load, {"ids": ids})[0]
        return set(json.loads(present)), json.loads(edges)

    def _fetch_edges_of(self, node_id: str) -> list[tuple[Any, ...]]:
        return json.loads(self._run(self._sql_edges_of, (node_id, node_id))[0][0])

    def _apply(self, removes: list[str], adds: list[Any], last: str | None,
               nodes: Sequence[tuple[Any, ...]] = ()) -> int:
        rows = [edge_row(edge) for edge in adds]
        columns = list(zip(*rows)) if rows else [()] * len(EDGE_COLUMNS)
        params: dict[str, Any] = {"removes": removes, "last": last}
        for name, values in zip(("ids", "sources", "targets", "types", "subtypes",
                                 "descriptions", "bidirectional", "currents", "initials"), columns):
            params[name] = list(values)
        node_columns = list(zip(*nodes)) if nodes else [()] * 4
        for name, values in zip(("node_ids", "contents", "embeddings", "metadata"), node_columns):
            params[name] = list(values)
        return int(self._write(self._sql_apply, params)[0][0])
