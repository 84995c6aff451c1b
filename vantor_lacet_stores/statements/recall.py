"""The recall of a graph kept in PostgreSQL, as one statement: its seeds by
pgvector, then spreading activation over the stored edges, round by round, in
a recursive query; the answer is one JSON text. docs/stores.md ("Recall") says
what each parameter does.

Each row of the recursion is one round: the memories reached in it, as
parallel arrays (id, the activation they received, the edge that brought each
the most, and the memory across it), and every id reached so far. A round
passes each memory's fresh activation across each of its edges, both ways,
times the edge's weight (held to [0, 1]) and the gossip weight, divided by the
memory's number of edges where degrees are normalised; what arrives at a
memory is summed. The rounds are then summed per memory: its score. Ids are
ordered bytewise (`COLLATE "C"`), as Python orders them.

Parameters: `vec` (the query, in pgvector's binary form), `seeds`, `rounds`, `results`,
`gossip` (float), `norm`, `volume`, `harvest` (booleans). The form that
strengthens also takes `holder` and `token` when it is fenced by the lease.
Answers one row: the JSON array of [id, score, hop, edge id, from id,
content], best first; then, where it strengthens, the number of edges
strengthened and (fenced) the graph's write counter after this write, null
where the lease is lost and nothing was written.
"""
from __future__ import annotations

from psycopg import sql

# How far a strengthened edge moves towards a weight of 1: w + STRENGTHEN * (1 - w).
STRENGTHEN = 0.1

_SEEDS_APPROXIMATE = "ORDER BY n.vec <=> %(vec)s::vector LIMIT greatest(%(seeds)s, 0)"
_SEEDS_EXACT = ('ORDER BY (n.vec <=> %(vec)s::vector) + 0, n.id COLLATE "C" '
                "LIMIT greatest(%(seeds)s, 0)")

# One direction of every edge at the frontier `f` (its fresh activation `act`,
# already divided by its degree where degrees are normalised): `near` is the
# column of the frontier's end, `far` the other end's. An edge from a memory
# to itself carries nothing.
_PASS = ("SELECT e.@far@ AS id, f.act * least(greatest(e.weight_current, 0), 1) "
         "* %(gossip)s::float8 AS amount, e.id AS edge, f.id AS src "
         "FROM f JOIN {g}.edges e ON e.@near@ = f.id AND e.@far@ <> f.id")



def _pass(near: str, far: str) -> str:
    return _PASS.replace("@near@", near).replace("@far@", far)


_RECALL = (
    "WITH RECURSIVE seeds AS MATERIALIZED (SELECT n.id, "
    "greatest(1 - (n.vec <=> %(vec)s::vector), 0)::float8 AS act "
    "FROM {g}.nodes n WHERE n.vec IS NOT NULL @seed_order@), "
    "rounds(hop, ids, acts, edges, srcs, seen) AS ("
    "SELECT 0, coalesce(array_agg(id), '{{}}'::text[]), coalesce(array_agg(act), '{{}}'), "
    "coalesce(array_agg(NULL::text), '{{}}'), coalesce(array_agg(NULL::text), '{{}}'), "
    "coalesce(array_agg(id), '{{}}') FROM seeds "
    "UNION ALL "
    "SELECT r.hop + 1, x.ids, x.acts, x.edges, x.srcs, "
    "ARRAY(SELECT DISTINCT u FROM unnest(r.seen || x.ids) u) "
    "FROM rounds r CROSS JOIN LATERAL ("
    "WITH f AS MATERIALIZED (SELECT u.id, u.act / CASE WHEN %(norm)s THEN greatest(("
    "SELECT count(*) FROM {g}.edges e WHERE e.source = u.id AND e.target <> u.id) + ("
    "SELECT count(*) FROM {g}.edges e WHERE e.target = u.id AND e.source <> u.id), 1) "
    "ELSE 1 END AS act FROM unnest(r.ids, r.acts) u(id, act) WHERE u.act > 0), "
    "got AS (SELECT s.id, sum(s.amount) AS act, "
    '(array_agg(s.edge ORDER BY s.amount DESC, s.edge COLLATE "C"))[1] AS edge, '
    '(array_agg(s.src ORDER BY s.amount DESC, s.edge COLLATE "C"))[1] AS src '
    f"FROM ({_pass('source', 'target')} UNION ALL "
    f"{_pass('target', 'source')}) s GROUP BY s.id) "
    'SELECT coalesce(array_agg(id ORDER BY id COLLATE "C"), \'{{}}\') AS ids, '
    'coalesce(array_agg(act ORDER BY id COLLATE "C"), \'{{}}\') AS acts, '
    'coalesce(array_agg(edge ORDER BY id COLLATE "C"), \'{{}}\') AS edges, '
    'coalesce(array_agg(src ORDER BY id COLLATE "C"), \'{{}}\') AS srcs '
    "FROM got WHERE act > 0) x "
    "WHERE r.hop < %(rounds)s AND cardinality(r.ids) > 0 "
    "AND NOT (%(volume)s AND cardinality(r.seen) >= %(results)s)), "
    "reached AS (SELECT u.id, sum(u.act) AS score, min(r.hop) AS hop, "
    "(array_agg(u.edge ORDER BY r.hop))[1] AS edge, "
    "(array_agg(u.src ORDER BY r.hop))[1] AS src "
    "FROM rounds r CROSS JOIN LATERAL unnest(r.ids, r.acts, r.edges, r.srcs) u(id, act, edge, src) "
    "GROUP BY u.id), "
    "answer AS MATERIALIZED (SELECT a.id, a.score, a.hop, a.edge, a.src "
    "FROM reached a WHERE %(harvest)s OR a.hop = 0 "
    'ORDER BY a.score DESC, a.id COLLATE "C" LIMIT greatest(%(results)s, 0))@writes@ '
    "SELECT (SELECT coalesce(json_agg(json_build_array(a.id, a.score, a.hop, a.edge, a.src, "
    'n.content) ORDER BY a.score DESC, a.id COLLATE "C"), \'[]\') '
    "FROM answer a JOIN {g}.nodes n ON n.id = a.id)::text@columns@")

_FENCE = (", fence AS (UPDATE {g}.owner SET writes = writes + 1 "
          "WHERE holder = %(holder)s AND token = %(token)s RETURNING writes)")
_STRENGTHEN = (", strengthened AS (UPDATE {g}.edges e SET weight_current = "
               f"e.weight_current + {STRENGTHEN} * (1 - e.weight_current) "
               "WHERE e.id IN (SELECT edge FROM answer WHERE edge IS NOT NULL) "
               "AND e.weight_current < 1@gate@ RETURNING 1)")


def _text(exact: bool, strengthen: bool, fenced: bool) -> str:
    writes = columns = ""
    if strengthen:
        gate = " AND EXISTS (SELECT 1 FROM fence)" if fenced else ""
        writes = (_FENCE if fenced else "") + _STRENGTHEN.replace("@gate@", gate)
        columns = ", (SELECT count(*) FROM strengthened)"
        columns += ", (SELECT writes FROM fence)" if fenced else ", NULL::bigint"
    return (_RECALL.replace("@seed_order@", _SEEDS_EXACT if exact else _SEEDS_APPROXIMATE)
            .replace("@writes@", writes).replace("@columns@", columns))


class RecallStatements:
    """The recall statements of the graph `graph` (a schema): `read[exact]`, which
    writes nothing, `strengthen[exact]` (unfenced) and `strengthen_fenced[exact]`,
    where `exact` searches the seeds among every stored vector rather than by the
    HNSW index."""

    def __init__(self, graph: str) -> None:
        g = sql.Identifier(graph)

        def q(text: str) -> str:
            return sql.SQL(text).format(g=g).as_string(None)

        self.graph = graph
        self.read = {exact: q(_text(exact, False, False)) for exact in (False, True)}
        self.strengthen = {exact: q(_text(exact, True, False)) for exact in (False, True)}
        self.strengthen_fenced = {exact: q(_text(exact, True, True)) for exact in (False, True)}
