"""What must hold of the graphs whatever was killed or paused, read from the
store in one snapshot a server, and from the writes the instances logged.

The graphs are checked by statements that return only what is wrong (they
grow to thousands of memories, and are checked after every fault while the
load goes on); each memory's vector is compared once, the first time it is
seen acknowledged and stored."""
from __future__ import annotations

from collections import defaultdict
from typing import Any

import psycopg
from psycopg import sql

from fleet import Load, vector
from instance import CAP, THRESHOLD

# Each: a query on the graph {g} (parameters: the acknowledged ids), and what a
# row it returns means.
_QUERIES = {
    "missing": ("SELECT a FROM unnest(%(acked)s::text[]) a "
                "WHERE NOT EXISTS (SELECT 1 FROM {g}.nodes n WHERE n.id = a)",
                "acknowledged memory {0!r} is not stored"),
    "vectors": ("SELECT id, embedding, vec IS NOT NULL FROM {g}.nodes "
                "WHERE id = ANY(%(unverified)s::text[])", None),
    "forks": ("SELECT 'source', source, count(*) FROM {g}.edges WHERE subtype = 'auto_chain' "
              "GROUP BY source HAVING count(*) > 1 UNION ALL "
              "SELECT 'target', target, count(*) FROM {g}.edges WHERE subtype = 'auto_chain' "
              "GROUP BY target HAVING count(*) > 1",
              "{1!r} is the {0} of {2} chain edges (a fork)"),
    "unchained": ("SELECT count(*), (SELECT count(*) FROM {g}.nodes) FROM {g}.nodes n "
                  "WHERE NOT EXISTS (SELECT 1 FROM {g}.edges e "
                  "WHERE e.target = n.id AND e.subtype = 'auto_chain')", None),
    "over cap": ("SELECT id, count(*) FROM (SELECT source AS id FROM {g}.edges "
                 "WHERE subtype = 'auto_discovered' UNION ALL SELECT target FROM {g}.edges "
                 "WHERE subtype = 'auto_discovered') s GROUP BY id HAVING count(*) > %(cap)s",
                 "{0!r} has {1} semantic edges, over the cap"),
    "under threshold": ("SELECT source, target, weight_initial FROM {g}.edges "
                        "WHERE subtype = 'auto_discovered' "
                        "AND NOT weight_initial >= %(threshold)s",
                        "semantic edge {0!r}-{1!r} of weight {2} under the threshold"),
    "pairs": ("SELECT subtype, least(source, target), greatest(source, target), count(*) "
              "FROM {g}.edges GROUP BY 1, 2, 3 HAVING count(*) > 1",
              "{3} {0} edges between {1!r} and {2!r}"),
    "owner": ("SELECT holder, token, writes FROM {g}.owner", None),
}


class Checker:
    """Checks the graphs of `load` on the servers `conninfos` (see `check`)."""

    def __init__(self, conninfos: list[str], load: Load) -> None:
        self.conninfos = conninfos
        self.load = load
        self.verified: set[str] = set()  # memories whose stored vector was compared

    async def _read(self, cur: psycopg.AsyncCursor[Any], graph: str,
                    acked: set[str]) -> dict[str, list[Any]]:
        params = {"acked": sorted(acked), "unverified": sorted(acked - self.verified),
                  "cap": CAP, "threshold": THRESHOLD - 1e-6}
        found = {}
        for name, (query, _) in _QUERIES.items():
            await cur.execute(sql.SQL(query).format(g=sql.Identifier(graph)), params)
            found[name] = await cur.fetchall()
        return found

    def _faults(self, found: dict[str, list[Any]], forgotten: set[str],
                logged: list[list[Any]]) -> list[str]:
        faults = []
        for name, (_, message) in _QUERIES.items():
            if message is not None:
                faults += [message.format(*row) for row in found[name]
                           if name != "missing" or row[0] not in forgotten]
        for node_id, embedding, has_vec in found["vectors"]:
            if has_vec and bytes(embedding) == vector(node_id).tobytes():
                self.verified.add(node_id)
            else:
                faults.append(f"memory {node_id!r} is stored without its vector")
        # The first memory starts the chain; each memory forgotten may leave one
        # more without a predecessor (its successor, or the next one ingested).
        unchained, stored = found["unchained"][0]
        if stored and unchained > 1 + len(forgotten):
            faults.append(f"{unchained} memories without a chain edge into them, "
                          f"{len(forgotten)} forgotten")
        # The logged writes: one writer a write number, tokens that only go up.
        by_number = defaultdict(list)
        for entry in logged:
            by_number[entry[2]].append(entry)
        last_token = None
        for number in sorted(by_number):
            entries = by_number[number]
            if len(entries) > 1:
                faults.append(f"write {number} was made {len(entries)} times: {entries}")
            token = min(e[1] for e in entries)
            if last_token is not None and token < last_token:
                faults.append(f"write {number} has token {token} after token {last_token}")
            last_token = max(e[1] for e in entries)
        if logged:
            if len(found["owner"]) != 1:
                faults.append(f"owner table holds {len(found['owner'])} rows")
            else:
                _, token, writes = found["owner"][0]
                if writes < max(by_number) or token < last_token:
                    faults.append(f"owner row (token {token}, writes {writes}) behind the "
                                  f"logged writes (up to {max(by_number)}, token {last_token})")
        return faults

    async def check(self, logs: list[list[Any]]) -> tuple[list[str], dict[str, int]]:
        """Every graph against the memories acknowledged when the check began, and
        against `logs` (the writes logged, read before the check began). Returns the
        faults found and, for each graph found, the index of the server holding it
        (a graph must be on exactly one)."""
        load = self.load
        acked = {graph: set(ids) for graph, ids in load.acked.items()}
        found: dict[str, list[tuple[int, dict[str, list[Any]]]]] = defaultdict(list)
        for k, conninfo in enumerate(self.conninfos):
            async with await psycopg.AsyncConnection.connect(conninfo) as conn:
                await conn.set_isolation_level(psycopg.IsolationLevel.REPEATABLE_READ)
                async with conn.cursor() as cur:
                    await cur.execute("SELECT nspname FROM pg_namespace "
                                      "WHERE nspname = ANY(%s)", (load.graphs,))
                    for (graph,) in await cur.fetchall():
                        found[graph].append((k, await self._read(cur, graph,
                                                                 acked.get(graph, set()))))
                await conn.rollback()
        # read after the snapshots: every forget that may have reached them
        forgotten = {graph: set(ids) for graph, ids in load.forgotten.items()}
        logged = defaultdict(list)
        for entry in logs:
            logged[entry[0]].append(entry)
        faults, placed = [], {}
        for graph in load.graphs:
            places = found.get(graph, [])
            if len(places) > 1:
                faults.append(f"{graph}: on servers {[k for k, _ in places]}")
            if not places:
                if acked.get(graph):
                    faults.append(f"{graph}: acknowledged memories, and no graph on any server")
                continue
            placed[graph] = places[0][0]
            faults += [f"{graph}: {fault}" for fault in self._faults(
                places[0][1], forgotten.get(graph, set()), logged[graph])]
        return faults, placed
