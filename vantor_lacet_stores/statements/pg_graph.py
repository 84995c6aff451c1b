"""The statements of a graph kept in PostgreSQL, for every host that keeps one
there: the graph calls of `PostgresGraph`, and the three statements of a
two-phase call (search and neighbourhood, writes, and the check after a failure)
that `StoreHost` and `AsyncStoreHost` send.

One database holds many graphs, one schema each; every statement names its
tables with the schema, composed by psycopg as an identifier (never pasted), so
one connection can serve any graph. With `dimensions`, the graph keeps each
memory's vector for pgvector too (`vec`, `vector(dimensions)`, with an HNSW
index for cosine distance), beside the exact float32 bytes (`embedding`) that
the memory is read back from. A zero vector is stored with a null `vec`: its
cosine distance is NaN, which PostgreSQL orders after every number and finds
`>=` any threshold, so it is never searched. A vector of another dimension or
with NaN or infinity is refused (`rows.vector_param`) before anything is written;
vectors travel in pgvector's binary form (`pg_types`).

Every value is a parameter; lists are array parameters. The first statement of
a call answers one row of arrays (`PLAN_COLUMNS`), which a driver reads in
binary without a parser of its own; the graph calls of `PostgresGraph` answer
JSON texts (one value for a whole neighbourhood, float8 written with the
digits that read back exactly).
"""
from __future__ import annotations

from typing import Any

from psycopg import errors, sql

from vantor_lacet_stores.statements.columns import EDGE_COLUMNS, LAST_INGESTED, SEMANTIC

_COLS = ", ".join(EDGE_COLUMNS)
_EDGE = f"json_build_array({_COLS})"
DIMENSIONS = "dimensions"  # meta key: the dimension a graph's vectors have

# Taken by every connection that creates a graph's tables: CREATE EXTENSION,
# CREATE SCHEMA and CREATE TABLE IF NOT EXISTS race with each other otherwise.
_DDL_LOCK = 0x6C616365  # "lace"

_SCHEMA = """
CREATE SCHEMA IF NOT EXISTS {g};
CREATE TABLE IF NOT EXISTS {g}.nodes (
    seq bigint GENERATED ALWAYS AS IDENTITY UNIQUE,
    id text PRIMARY KEY,
    content text NOT NULL,
    embedding bytea,
    metadata text NOT NULL
);
CREATE TABLE IF NOT EXISTS {g}.edges (
    seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    id text NOT NULL UNIQUE,
    source text NOT NULL REFERENCES {g}.nodes(id) ON DELETE CASCADE,
    target text NOT NULL REFERENCES {g}.nodes(id) ON DELETE CASCADE,
    type text NOT NULL,
    subtype text,
    description text,
    bidirectional boolean NOT NULL,
    weight_current double precision NOT NULL,
    weight_initial double precision NOT NULL
);
CREATE INDEX IF NOT EXISTS edges_by_source ON {g}.edges (source, seq);
CREATE INDEX IF NOT EXISTS edges_by_target ON {g}.edges (target, seq);
CREATE TABLE IF NOT EXISTS {g}.meta (key text PRIMARY KEY, value text);
CREATE TABLE IF NOT EXISTS {g}.owner (
    one boolean PRIMARY KEY DEFAULT true CHECK (one),
    holder text NOT NULL,
    token bigint NOT NULL,
    deadline timestamptz NOT NULL,
    writes bigint NOT NULL DEFAULT 0
);
"""
_VECTORS = """
ALTER TABLE {g}.nodes ADD COLUMN IF NOT EXISTS vec vector({d});
CREATE INDEX IF NOT EXISTS nodes_vec ON {g}.nodes USING hnsw (vec vector_cosine_ops);
"""


# The first statement's answer, one row: these columns, all arrays (null for
# none) but the last. Hits in the order searched (a member's nearest first),
# pairs likewise; `present`: the named nodes that exist; the semantic edges of
# the hits that are counted only: the hit and the edge's id; then the semantic
# edges of the other hits in the order added, a column each (their type is
# SEMANTIC); the lease held (0 or 1).
PLAN_COLUMNS = ("hit_ords", "hit_ids", "hit_sims", "pair_ords", "pair_others", "pair_sims",
                "present", "counted_hits", "counted_edges", *(f"edge_{c}s" for c in EDGE_COLUMNS
                                                         if c != "type"), "lease_held")


class PgStatements:
    """Every statement of the graph `graph` (a schema), as text. `dimensions`:
    the graph keeps vectors for pgvector (None: it does not).

    `forget` and `forget_fenced` remove memories (their edges go with them) in
    one statement, with no transaction of the client's around it: all of the
    ids `ids` (a text array) or, when one of them is not stored, none. The
    fenced one also takes the lease's `holder` and `token` (see `ownership`).
    Both answer one row of two columns:

    1. the graph's write counter: raised by one by a removal behind the lease;
       as it stands where nothing was removed for a missing id; null where the
       lease is lost (and then nothing is removed). Always null for `forget`,
       which no lease fences;
    2. the ids that are not stored, as a JSON array text in the order given:
       `[]` when the removal happened (or the lease was lost: then column 1
       is null)."""

    def __init__(self, graph: str, dimensions: int | None = None) -> None:
        self.graph = graph
        self.dimensions = dimensions
        g = sql.Identifier(graph)

        def q(text: str) -> str:
            return sql.SQL(text).format(g=g).as_string(None)

        self.schema = q(_SCHEMA)
        self.vectors = (sql.SQL(_VECTORS).format(g=g, d=sql.Literal(int(dimensions)))
                        .as_string(None) if dimensions else "")
        self.ddl_lock = f"SELECT pg_advisory_xact_lock({_DDL_LOCK})"
        # Whether the graph's tables are all there (the dimension it keeps, and its
        # owner table): a graph that has them is opened without any DDL, whose locks
        # would stop the graph's calls (and other processes' setups) meanwhile.
        # Fails (undefined table) for a graph that has no schema yet.
        self.ready = q("SELECT (SELECT value FROM {g}.meta WHERE key = 'dimensions'), "
                       "to_regclass(%(owner)s) IS NOT NULL")
        self.ready_params = {"owner": sql.SQL("{g}.owner").format(g=g).as_string(None)}
        self.create_extension = "CREATE EXTENSION IF NOT EXISTS vector"
        vec = ", vec" if dimensions else ""
        vec_value = ", %s::vector" if dimensions else ""
        self.add_node = q(f"INSERT INTO {{g}}.nodes (id, content, embedding, metadata{vec}) "
                          f"VALUES (%s, %s, %s, %s{vec_value}) "
                          "ON CONFLICT (id) DO NOTHING RETURNING id")
        self.delete_node = q("DELETE FROM {g}.nodes WHERE id = %s RETURNING id")
        self.has_node = q("SELECT 1 FROM {g}.nodes WHERE id = %s")
        self.get_node = q("SELECT id, content, embedding, metadata FROM {g}.nodes WHERE id = %s")
        self.all_nodes = q("SELECT id, content, embedding, metadata FROM {g}.nodes ORDER BY seq")
        self.node_count = q("SELECT count(*) FROM {g}.nodes")
        self.nodes_present = q("SELECT id FROM {g}.nodes WHERE id = ANY(%(ids)s::text[])")
        self.incident_ids = q("SELECT id FROM {g}.edges WHERE source = %s OR target = %s "
                              "ORDER BY seq")
        self.edge_between = q(f"SELECT {_EDGE}::text FROM {{g}}.edges "
                              "WHERE source = %s AND target = %s ORDER BY seq LIMIT 1")
        self.edges_of = q(f"SELECT coalesce(json_agg({_EDGE} ORDER BY seq), '[]')::text "
                          "FROM {g}.edges WHERE source = %s OR target = %s")
        self.all_edges = q(f"SELECT {_EDGE}::text FROM {{g}}.edges ORDER BY seq")
        self.edge_count = q("SELECT count(*) FROM {g}.edges")
        self.get_meta = q("SELECT value FROM {g}.meta WHERE key = %s")
        self.set_meta = q("INSERT INTO {g}.meta (key, value) VALUES (%s, %s) "
                          "ON CONFLICT (key) DO NOTHING")
        # Whether each node exists, then every edge at any of them, in the order added.
        self.load = q("SELECT (SELECT coalesce(json_agg(id), '[]') FROM {g}.nodes "
                      "WHERE id = ANY(%(ids)s::text[]))::text, "
                      f"(SELECT coalesce(json_agg({_EDGE} ORDER BY seq), '[]') FROM {{g}}.edges "
                      "WHERE source = ANY(%(ids)s::text[]) OR target = ANY(%(ids)s::text[]))::text")
        self.apply = q(_apply(dimensions, fenced=False))
        # The same behind the graph's lease (`ownership`): the last column is the
        # write counter after this write, null (and nothing written) for a
        # process that no longer holds the graph.
        self.apply_fenced = q(_apply(dimensions, fenced=True))
        # See the class's text for what these two answer.
        self.forget_fenced = q(_forget(fenced=True))
        self.forget = q(_forget(fenced=False))
        # After a failed call: which of its memories the store holds, and the last id.
        self.settle = q("SELECT (SELECT coalesce(json_agg(id), '[]') FROM {g}.nodes "
                        "WHERE id = ANY(%(ids)s::text[]))::text, "
                        f"(SELECT value FROM {{g}}.meta WHERE key = '{LAST_INGESTED}')")
        # At start: the ids of the memories that have a vector (the candidates), in
        # the order stored, as one JSON text, and the last ingested id.
        self.light_nodes = q("SELECT (SELECT coalesce(json_agg(id ORDER BY seq), '[]') "
                             "FROM {g}.nodes WHERE embedding IS NOT NULL)::text, "
                             f"(SELECT value FROM {{g}}.meta WHERE key = '{LAST_INGESTED}')")
        if dimensions:
            self.plan_approximate = q(_plan("ORDER BY n.vec <=> q.v LIMIT %(k)s", "", ""))
            self.plan_exact = q(_plan("ORDER BY (n.vec <=> q.v) + 0, n.id LIMIT %(k)s",
                                      "AND (%(threshold)s::float8 IS NULL "
                                      "OR 1 - (n.vec <=> q.v) >= %(threshold)s::float8) ",
                                      "AND (%(threshold)s::float8 IS NULL "
                                      "OR 1 - (a.v <=> b.v) >= %(threshold)s::float8) "))


# The lease check every write of a holder starts with: the graph's write counter,
# raised only while the owner row names the holder with its token (see
# `ownership`). A takeover updates the same row, so the two are ordered by its lock.
_FENCE = ("fence AS (UPDATE {g}.owner SET writes = writes + 1 "
          "WHERE holder = %(holder)s AND token = %(token)s RETURNING writes)")


# The ids of a forget that the graph does not hold, and how many: read first,
# so that the removal and the fence's counter can depend on there being none.
_MISSING = ("missing AS MATERIALIZED (SELECT count(*) AS n, "
            "coalesce(json_agg(u.id ORDER BY u.ord), '[]') AS ids "
            "FROM unnest(%(ids)s::text[]) WITH ORDINALITY AS u(id, ord) "
            "WHERE NOT EXISTS (SELECT 1 FROM {g}.nodes n WHERE n.id = u.id))")


def _forget(fenced: bool) -> str:
    """The removal of the memories `ids` (see `PgStatements.forget`): all of them
    or, when one is not stored, none. `fenced`: behind the lease, whose counter
    is raised only when something is removed (a held lease with nothing removed
    still answers the counter, unraised, so that null means the lease alone)."""
    if fenced:
        fence = ("fence AS (UPDATE {g}.owner SET writes = writes + "
                 "CASE WHEN (SELECT n FROM missing) = 0 THEN 1 ELSE 0 END "
                 "WHERE holder = %(holder)s AND token = %(token)s RETURNING writes), ")
        gate, counter = " AND EXISTS (SELECT 1 FROM fence)", "(SELECT writes FROM fence)"
    else:
        fence, gate, counter = "", "", "NULL::bigint"
    return ("WITH " + _MISSING + ", " + fence
            + "gone AS (DELETE FROM {g}.nodes WHERE id = ANY(%(ids)s::text[]) "
            f"AND (SELECT n FROM missing) = 0{gate} RETURNING 1) "
            f"SELECT {counter}, (SELECT ids FROM missing)::text")


def _apply(dimensions: int | None, fenced: bool) -> str:
    """New nodes, removals, insertions in the order given (their seq follows that
    order), and the last ingested id: one statement, one transaction. The edges'
    foreign keys are checked at the statement's end, so an edge may end at a node
    of the same statement. `fenced`: only behind the lease, see `_FENCE`.

    The new edges' rows and the new nodes' texts come as two JSON arrays (see
    `rows.apply_params`), their bytes and vectors as binary arrays: a driver
    dumps a list parameter element by element, so one JSON text for many
    columns costs the client a fraction of what a list a column does."""
    node_vec = ", unnest(%(vecs)b::vector[])" if dimensions else ""
    node_vec_col = ", vec" if dimensions else ""
    gate = " AND EXISTS (SELECT 1 FROM fence)" if fenced else ""
    where = " WHERE EXISTS (SELECT 1 FROM fence)" if fenced else ""
    return (
        "WITH " + (_FENCE + ", " if fenced else "")
        + f"nodes_added AS (INSERT INTO {{g}}.nodes (id, content, embedding, metadata"
        f"{node_vec_col}) SELECT n.r->>0, n.r->>1, n.embedding, n.r->>2{node_vec_col} "
        "FROM ROWS FROM (json_array_elements(%(nodes)s::json), "
        f"unnest(%(embeddings)s::bytea[]){node_vec}) "
        f"WITH ORDINALITY AS n(r, embedding{node_vec_col}, ord){where} "
        "ORDER BY ord RETURNING 1), "
        "removed AS (DELETE FROM {g}.edges WHERE id = ANY(%(removes)s::text[])"
        f"{gate} RETURNING 1), "
        f"added AS (INSERT INTO {{g}}.edges ({_COLS}) "
        "SELECT u.r->>0, u.r->>1, u.r->>2, u.r->>3, u.r->>4, u.r->>5, (u.r->>6)::boolean, "
        "(u.r->>7)::float8, (u.r->>8)::float8 "
        f"FROM json_array_elements(%(edges)s::json) WITH ORDINALITY AS u(r, ord){where} "
        "ORDER BY ord RETURNING 1), "
        f"last AS (INSERT INTO {{g}}.meta (key, value) SELECT '{LAST_INGESTED}', %(last)s::text "
        f"WHERE %(last)s::text IS NOT NULL{gate} "
        "ON CONFLICT (key) DO UPDATE SET value = excluded.value RETURNING 1) "
        "SELECT (SELECT count(*) FROM removed), (SELECT count(*) FROM added), "
        "(SELECT count(*) FROM last), (SELECT count(*) FROM nodes_added)"
        + (", (SELECT writes FROM fence)" if fenced else ""))


def _plan(order: str, where: str, pair_where: str) -> str:
    """The first phase of a call, answered as arrays (see `PLAN_COLUMNS`): for
    each member with a searchable vector, its nearest stored memories (id,
    similarity) and its nearest other members (ordinal, similarity); which of
    the named nodes (the members, the previous memory) exist; for each hit, its
    semantic edges, or only their ids where the package cannot need more;
    last, whether the owner row still names the holder with its token (0 or 1),
    so that a process that lost the graph learns it before it decides anything
    on what others wrote since.

    The package looks at a stored memory's edges only to keep it within the cap
    (`cap`), and there only at its semantic edges: the edges of a hit are
    counted, and its semantic edges listed only where its count and the number
    of members that found it (each may propose one edge to it) could reach the
    cap. A hit that stays below the cap whatever the call proposes to it is
    answered by the ids of its semantic edges alone (the package counts them,
    and compares their ids with those of edges it plans to evict elsewhere); no
    other edge of a stored memory is loaded.

    The members' own pairs are bounded as the hits are: `k` a member (the rest
    can never be among its `k` answers), and in the exact search without `k`
    only those at or above the threshold (`pair_where`), so a batch of n
    members answers n * k pairs, not n * (n - 1). They are ordered by
    `distance - 1`, which is exactly minus the similarity the replay sorts on
    (a nearer distance that rounds to the same similarity is no nearer there),
    then by ordinal, the replay's order among equal similarities; NaN last.
    The listed edges come in the order added. Every look at the edges is one
    lookup a hit on an index of theirs (by source, by target: a scalar
    subquery, or a lateral one kept from being flattened into a join by
    `OFFSET 0`), never a join the planner could answer by reading every edge
    (`IN` or `ANY` of a subquery, a hash join): the hosts run this statement
    on a generic plan, made without the values, which guesses thousands of
    hits and, given a join, read every edge (15 of a single ingest's 16 ms
    at 10^4 memories)."""
    sem = f"e.type = '{SEMANTIC}'"
    cols = ", ".join("e." + c for c in EDGE_COLUMNS)
    hit_order = "ORDER BY ord, d, id"
    pair_order = "ORDER BY ord, -sim, other"
    return (
        "WITH q AS MATERIALIZED (SELECT ord, v FROM unnest(%(vecs)b::vector[]) "
        "WITH ORDINALITY AS u(v, ord) WHERE v IS NOT NULL), "
        "hits AS MATERIALIZED (SELECT q.ord, h.id, h.d FROM q CROSS JOIN LATERAL "
        "(SELECT n.id, n.vec <=> q.v AS d FROM {g}.nodes n WHERE n.vec IS NOT NULL "
        f"{where}{order}) h), "
        "pairs AS MATERIALIZED (SELECT a.ord, p.other, p.sim FROM q a CROSS JOIN LATERAL "
        "(SELECT b.ord AS other, 1 - (a.v <=> b.v) AS sim FROM q b "
        f"WHERE b.ord <> a.ord {pair_where}ORDER BY (a.v <=> b.v) - 1, b.ord LIMIT %(k)s) p), "
        "found AS MATERIALIZED (SELECT h.id, h.a, "
        f"(SELECT count(*) FROM {{g}}.edges e WHERE e.source = h.id AND {sem}) + "
        f"(SELECT count(*) FROM {{g}}.edges e WHERE e.target = h.id AND e.source <> h.id "
        f"AND {sem}) AS degree FROM (SELECT id, count(*) AS a FROM hits GROUP BY id) h), "
        "listed AS MATERIALIZED (SELECT id FROM found WHERE %(cap)s::bigint > 0 "
        "AND degree + a > %(cap)s::bigint), "
        "counted AS MATERIALIZED (SELECT id FROM found WHERE degree > 0 "
        "AND id NOT IN (SELECT id FROM listed)), "
        f"near AS (SELECT e.seq, {cols} FROM listed w CROSS JOIN LATERAL (SELECT * FROM "
        f"{{g}}.edges e WHERE e.source = w.id AND {sem} OFFSET 0) e UNION SELECT e.seq, {cols} "
        f"FROM listed w CROSS JOIN LATERAL (SELECT * FROM {{g}}.edges e WHERE e.target = w.id "
        f"AND {sem} OFFSET 0) e) "
        "SELECT h.*, p.*, s.*, c.*, n.*, "
        "(SELECT count(*) FROM {g}.owner WHERE holder = %(holder)s AND token = %(token)s) "
        f"FROM (SELECT array_agg(ord {hit_order}), array_agg(id {hit_order}), "
        f"array_agg(1 - d {hit_order}) FROM hits) h, "
        f"(SELECT array_agg(ord {pair_order}), array_agg(other {pair_order}), "
        f"array_agg(sim {pair_order}) FROM pairs) p, "
        "(SELECT array_agg(n.id) FROM {g}.nodes n WHERE n.id = ANY(%(names)s::text[])) s, "
        "(SELECT array_agg(owner ORDER BY seq), array_agg(id ORDER BY seq) FROM ("
        "SELECT w.id AS owner, e.seq, e.id FROM counted w CROSS JOIN LATERAL (SELECT e.seq, "
        f"e.id FROM {{g}}.edges e WHERE e.source = w.id AND {sem} OFFSET 0) e UNION ALL "
        "SELECT w.id, e.seq, e.id FROM counted w CROSS JOIN LATERAL (SELECT e.seq, e.id FROM "
        f"{{g}}.edges e WHERE e.target = w.id AND e.source <> w.id AND {sem} OFFSET 0) e) o) c, "
        "(SELECT " + ", ".join(f"array_agg({c} ORDER BY seq)" for c in EDGE_COLUMNS
                               if c != "type") + " FROM near) n")


# What a setup meets when another process set the same graph up at the same
# time: the setup waits for the other on the advisory lock, but a backend that
# looked the schema up before (the `ready` check) may still hold its "no such
# schema" in its catalog cache, which only a new transaction refreshes. The
# setup is then run again, and finds everything there.
SETUP_RACES = (errors.UniqueViolation, errors.DuplicateObject, errors.DuplicateTable,
               errors.DuplicateSchema)


def needs_setup(stmts: PgStatements, ready: tuple[Any, ...] | None) -> bool:
    """Whether the graph's tables must be created or completed, from the answer of
    `stmts.ready` (None: it failed, the graph has no schema yet)."""
    if ready is None:
        return True
    stored, has_owner = ready
    return not has_owner or (stmts.dimensions is not None and stored is None)


def setup_statements(stmts: PgStatements) -> list[str]:
    """The statements that create the graph's tables where missing (run them in one
    transaction). A new graph only: a lock held by a stopped process fails them
    after five seconds rather than leaving them waiting."""
    steps = ["SET LOCAL lock_timeout = '5s'", stmts.ddl_lock]
    if stmts.dimensions:
        steps.append(stmts.create_extension)
    steps += [s for s in stmts.schema.split(";") if s.strip()]
    steps += [s for s in stmts.vectors.split(";") if s.strip()]
    return steps


def dimensions_after_setup(stmts: PgStatements, stored: str | None) -> PgStatements:
    """The statements to use once the graph's stored dimension (`stored`, from its
    meta table) is known: ValueError when it differs from the one asked for."""
    if stored is None:
        return stmts
    if stmts.dimensions is None:
        return PgStatements(stmts.graph, int(stored))
    if int(stored) != stmts.dimensions:
        raise ValueError(f"graph {stmts.graph!r} keeps {stored}-dimensional vectors, "
                         f"not {stmts.dimensions}")
    return stmts
