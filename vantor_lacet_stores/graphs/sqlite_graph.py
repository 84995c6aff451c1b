"""The reference graph in one SQLite file (see `sql_graph` for the snapshot).

The file holds the nodes with their embeddings, the edges and the id of the
memory ingested last, so a host that opens it again finds its graph, its
vectors and where its chain stopped. Each statement is its own transaction
(autocommit); the queued writes of a session go in one statement, through a
view whose trigger applies each row in order, and a transaction that must
write earlier runs between BEGIN IMMEDIATE and COMMIT. The journal is a write-ahead log
with `synchronous=NORMAL`: a committed statement survives the process ending,
though the last ones may be lost if the machine loses power.

Lists of ids and queued edges are passed as one JSON parameter and opened with
`json_each`: every statement text is fixed, every value a parameter. JSON text
would cut a string at a NUL character, so ids holding one are refused
(`check_id`), and the texts and vectors of queued nodes, which may hold any
character or byte, go as one BLOB parameter that each row takes its slices of.
"""
from __future__ import annotations

import json
import sqlite3
from pathlib import Path
from collections.abc import Sequence
from typing import Any

from vantor_lacet_stores.graphs.sql_graph import SqlGraph
from vantor_lacet_stores.protocol.rows import EDGE_COLUMNS, LAST_INGESTED, edge_row

_COLS = ", ".join(EDGE_COLUMNS)

_SCHEMA = f"""
CREATE TABLE IF NOT EXISTS nodes (
    seq INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    content TEXT NOT NULL,
    embedding BLOB,
    metadata TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS edges (
    seq INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    source TEXT NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,
    target TEXT NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,
    type TEXT NOT NULL,
    subtype TEXT,
    description TEXT,
    bidirectional INTEGER NOT NULL,
    weight_current REAL NOT NULL,
    weight_initial REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS edges_by_source ON edges (source, seq);
CREATE INDEX IF NOT EXISTS edges_by_target ON edges (target, seq);
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);
CREATE VIEW IF NOT EXISTS call_writes (op, {_COLS}, content, embedding, metadata) AS
    SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL WHERE 0;
CREATE TRIGGER IF NOT EXISTS call_writes_apply INSTEAD OF INSERT ON call_writes BEGIN
    INSERT INTO nodes (id, content, embedding, metadata)
        SELECT NEW.id, NEW.content, NEW.embedding, NEW.metadata WHERE NEW.op = 'node';
    DELETE FROM edges WHERE NEW.op = 'remove' AND id = NEW.id;
    INSERT INTO edges ({_COLS})
        SELECT NEW.id, NEW.source, NEW.target, NEW.type, NEW.subtype, NEW.description,
               NEW.bidirectional, NEW.weight_current, NEW.weight_initial
        WHERE NEW.op = 'add';
    INSERT INTO meta (key, value) SELECT '{LAST_INGESTED}', NEW.id WHERE NEW.op = 'last'
        ON CONFLICT (key) DO UPDATE SET value = excluded.value;
END;
"""

_IDS = "(SELECT value FROM json_each(:ids))"


class SqliteGraph(SqlGraph):
    """The graph in the SQLite file `path` (created when missing; ":memory:" for
    none)."""

    _integrity_error = sqlite3.IntegrityError
    _nul_in_text = True
    _sql_begin = "BEGIN IMMEDIATE"

    _sql_add_node = ("INSERT INTO nodes (id, content, embedding, metadata) VALUES (?, ?, ?, ?) "
                     "ON CONFLICT (id) DO NOTHING RETURNING id")
    _sql_delete_node = "DELETE FROM nodes WHERE id = ? RETURNING id"
    _sql_has_node = "SELECT 1 FROM nodes WHERE id = ?"
    _sql_get_node = "SELECT id, content, embedding, metadata FROM nodes WHERE id = ?"
    _sql_all_nodes = "SELECT id, content, embedding, metadata FROM nodes ORDER BY seq"
    _sql_node_count = "SELECT count(*) FROM nodes"
    _sql_nodes_present = f"SELECT id FROM nodes WHERE id IN {_IDS}"
    _sql_incident_ids = "SELECT id FROM edges WHERE source = ? OR target = ? ORDER BY seq"
    _sql_edge_between = (f"SELECT {_COLS} FROM edges WHERE source = ? AND target = ? "
                         "ORDER BY seq LIMIT 1")
    _sql_edges_of = f"SELECT {_COLS} FROM edges WHERE source = ? OR target = ? ORDER BY seq"
    _sql_all_edges = f"SELECT {_COLS} FROM edges ORDER BY seq"
    _sql_edge_count = "SELECT count(*) FROM edges"
    _sql_get_meta = "SELECT value FROM meta WHERE key = ?"
    # Whether each node exists, then every edge at any of them, in the order added.
    _sql_load = (f"SELECT 'n', id, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0 "
                 f"FROM nodes WHERE id IN {_IDS} "
                 f"UNION ALL SELECT 'e', {_COLS}, seq FROM edges "
                 f"WHERE source IN {_IDS} OR target IN {_IDS} ORDER BY 11")
    _sql_remove_edges = f"DELETE FROM edges WHERE id IN {_IDS} RETURNING id"
    # A row: op, the edge columns, then for a node where its text and its vector
    # lie in the BLOB parameter (1-based offset and length; a vector's length is
    # null for none) and its metadata.
    _sql_write_edges = ("INSERT INTO call_writes SELECT "
                        + ", ".join(f"json_extract(value, '$[{i}]')" for i in range(10))
                        + ", CAST(substr(:blob, json_extract(value, '$[10]'), "
                          "json_extract(value, '$[11]')) AS TEXT), "
                          "CASE WHEN json_extract(value, '$[13]') IS NOT NULL THEN "
                          "substr(:blob, json_extract(value, '$[12]'), json_extract(value, '$[13]')) "
                          "END, json_extract(value, '$[14]') FROM json_each(:rows) ORDER BY key")

    def __init__(self, path: str | Path = ":memory:") -> None:
        super().__init__()
        self.path = str(path)
        self._conn = sqlite3.connect(self.path, isolation_level=None)
        self._conn.execute("PRAGMA foreign_keys = ON")
        if self.path != ":memory:":
            self._conn.execute("PRAGMA journal_mode = WAL")
            self._conn.execute("PRAGMA synchronous = NORMAL")
        self._conn.executescript(_SCHEMA)

    def close(self) -> None:
        self._conn.close()

    def _rollback(self) -> None:
        # SQLite may have rolled back already (a full disk can end the transaction).
        if self._conn.in_transaction:
            self._conn.execute("ROLLBACK")

    def _execute(self, sql: str, params: Any = ()) -> Any:
        return self._conn.execute(sql, params)

    def _load_params(self, ids: list[str]) -> Any:
        return {"ids": json.dumps(ids)}

    def _fetch(self, ids: list[str]) -> tuple[set[str], list[tuple[Any, ...]]]:
        present: set[str] = set()
        edges = []
        for row in self._run(self._sql_load, self._load_params(ids)):
            if row[0] == "n":
                present.add(row[1])
            else:
                edges.append(row[1:10])
        return present, edges

    def _fetch_edges_of(self, node_id: str) -> list[tuple[Any, ...]]:
        return self._run(self._sql_edges_of, (node_id, node_id))

    def _apply(self, removes: list[str], adds: list[Any], last: str | None,
               nodes: Sequence[tuple[Any, ...]] = ()) -> int:
        if removes and not adds and last is None and not nodes:
            return len(self._write(self._sql_remove_edges, {"ids": json.dumps(removes)}))
        rows: list[list[Any]] = []
        blob = bytearray(b"-")  # never empty: the driver binds an empty BLOB as NULL
        for node_id, content, embedding, metadata in nodes:
            text = content.encode("utf-8")
            place: list[int | None] = [len(blob) + 1, len(text)]
            blob += text
            place += [len(blob) + 1, None if embedding is None else len(embedding)]
            blob += embedding or b""
            rows.append(["node", node_id] + [None] * 8 + place + [metadata])
        rows += [["remove", edge_id] + [None] * 8 for edge_id in removes]
        rows += [["add", *edge_row(edge)] for edge in adds]
        if last is not None:
            rows.append(["last", last] + [None] * 8)
        self._write(self._sql_write_edges, {"rows": json.dumps(rows), "blob": bytes(blob)})
        return len(removes)
