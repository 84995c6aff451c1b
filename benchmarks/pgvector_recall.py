"""Recall of the HNSW search of the two-phase hosts against exact search, and
the time a search takes, for several `hnsw.ef_search`.

    .venv/bin/python benchmarks/pgvector_recall.py                      # 10^4 and 10^5 memories
    .venv/bin/python benchmarks/pgvector_recall.py --sizes 10000 --incremental
    .venv/bin/python benchmarks/pgvector_recall.py --corpus demo        # the demo's real texts
    .venv/bin/python benchmarks/pgvector_recall.py --quick              # about 20 s

A graph of N stored memories (`pg_bench.fill_graph`: one COPY, then the index
built over every row; with `--incremental` the rows go in by INSERTs of 100
into the indexed table, as a host's writes put them) is searched for held-out
memories of the same distribution, each query as the first statement of a
call of one memory: `plan_approximate` (the index: the `top_k` nearest as
HNSW finds them) and `plan_exact` (every stored memory, in distance order,
the threshold applied in SQL) of the graph's `PgStatements`, the statements
`IngestRound` sends.

Recall@8 at threshold 0.7: of the exact search's top 8 among the memories at
similarity 0.7 or more, the fraction that the index search's top 8 also
returned (what the call's replay passes to the package: the index's hits at or
above the threshold). Summed over all queries (queries with no memory above
the threshold count for nothing); also the share of queries that got all of
theirs, and recall@8 without a threshold. The exact answers are checked
against numpy's: each hit among numpy's 8 nearest and at numpy's similarity,
both to 1e-4 (pgvector's arithmetic and numpy's differ in the sixth digit, so
near ties at the 8th place may go either way).

Search time: the median wall-clock time of the whole first statement (the
search, the neighbourhood, the JSON) and of a bare `ORDER BY vec <=> q LIMIT
8` query, as the client sees them on this machine's Unix socket.
"""
from __future__ import annotations

import argparse
import signal
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pg_bench  # noqa: E402  (puts host_contracts on the path)
from pg_bench import clustered, demo_corpus, fill_graph, vec_text  # noqa: E402

import numpy as np  # noqa: E402
import psycopg  # noqa: E402
from psycopg import sql  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster  # noqa: E402
from vantor_lacet_stores.statements.pg_types import ensure_vectors, vector_bytes  # noqa: E402
from vantor_lacet_stores.statements.pg_graph import PgStatements, setup_statements  # noqa: E402
from vantor_lacet_stores.statements.sessions import session_settings  # noqa: E402

TOP_K = 8


def fill_incrementally(conninfo: str, graph: str, vecs: np.ndarray) -> list[str]:
    """The memories INSERTed 100 at a time into the graph's indexed table."""
    stmts = PgStatements(graph, vecs.shape[1])
    ids = [f"h{i:07d}" for i in range(len(vecs))]
    g = sql.Identifier(graph).as_string(None)
    with psycopg.connect(conninfo, autocommit=True) as conn:
        with conn.transaction():
            for step in setup_statements(stmts):
                conn.execute(step)
        for lo in range(0, len(vecs), 100):
            part = range(lo, min(lo + 100, len(vecs)))
            conn.execute(f"INSERT INTO {g}.nodes (id, content, embedding, metadata, vec) "
                         "SELECT i, 'memory ' || i, e, '{}', v::vector FROM unnest("
                         "%s::text[], %s::bytea[], %s::text[]) AS u(i, e, v)",
                         ([ids[i] for i in part], [vecs[i].tobytes() for i in part],
                          [vec_text(vecs[i]) for i in part]))
        conn.execute(f"ANALYZE {g}.nodes")
    return ids


def first_statement(conn: psycopg.Connection[Any], stmts: PgStatements, q: np.ndarray,
                    exact: bool, threshold: float | None) -> tuple[list[tuple[str, float]], float]:
    """The first statement of a call of one memory with vector q: its hits, and
    the statement's wall-clock time."""
    params = {"vecs": [vector_bytes(q)], "names": [], "k": TOP_K, "cap": TOP_K,
              "threshold": threshold, "holder": None, "token": None}
    t0 = time.perf_counter()
    row = conn.execute(stmts.plan_exact if exact else stmts.plan_approximate, params).fetchone()
    elapsed = time.perf_counter() - t0
    return list(zip(row[1] or (), row[2] or ())), elapsed


def bare_search(conn: psycopg.Connection[Any], table: str, q: np.ndarray) -> float:
    t0 = time.perf_counter()
    conn.execute(f"SELECT id, 1 - (vec <=> %(q)s::vector) FROM {table} WHERE vec IS NOT NULL "
                 "ORDER BY vec <=> %(q)s::vector LIMIT 8", {"q": vec_text(q)}).fetchall()
    return time.perf_counter() - t0


def recall(exact: list[list[tuple[str, float]]], approx: list[list[tuple[str, float]]],
           threshold: float | None) -> tuple[float, float, int]:
    """(recall, share of queries with every wanted hit, hits wanted) of `approx`
    against `exact`, both the top 8 of each query, keeping those at or above
    `threshold` (None: all)."""
    found = wanted = whole = asked = 0
    for want, got in zip(exact, approx):
        w = {i for i, s in want[:TOP_K] if threshold is None or s >= threshold}
        g = {i for i, s in got[:TOP_K] if threshold is None or s >= threshold}
        if w:
            asked += 1
            whole += w <= g
        found += len(w & g)
        wanted += len(w)
    return (found / wanted if wanted else float("nan"), whole / asked if asked else float("nan"),
            wanted)


def measure(conninfo: str, graph: str, stored: np.ndarray, ids: list[str],
            queries: np.ndarray, ef_values: list[int], threshold: float) -> list[dict[str, Any]]:
    stmts = PgStatements(graph, stored.shape[1])
    table = f"{sql.Identifier(graph).as_string(None)}.nodes"
    # numpy's exact answer: the statement's must be the same memories
    sims = queries @ stored.T
    rows = []
    with psycopg.connect(conninfo, autocommit=True) as conn:
        ensure_vectors(conn)
        for setting in session_settings(40):
            conn.execute(setting)
        exact, exact_times = [], []
        for q in queries:
            hits, elapsed = first_statement(conn, stmts, q, True, None)
            exact.append(hits)
            exact_times.append(elapsed)
        disagree = 0  # a hit numpy does not find among the 8 nearest, or at another similarity
        index = {node_id: i for i, node_id in enumerate(ids)}
        for k, hits in enumerate(exact):
            eighth = np.sort(sims[k])[-TOP_K]
            disagree += any(abs(sims[k][index[i]] - s) > 1e-4 or sims[k][index[i]] < eighth - 1e-4
                            for i, s in hits)
        thresholded = sum(s >= threshold for hits in exact for _, s in hits)
        for ef in ef_values:
            conn.execute(f"SET hnsw.ef_search TO {int(ef)}")
            for q in queries[:20]:  # warm: the index's pages in the server's buffers
                first_statement(conn, stmts, q, False, None)
            approx, times, bare = [], [], []
            for q in queries:
                hits, elapsed = first_statement(conn, stmts, q, False, None)
                approx.append(hits)
                times.append(elapsed)
                bare.append(bare_search(conn, table, q))
            r_t, whole_t, wanted_t = recall(exact, approx, threshold)
            r_all, _, _ = recall(exact, approx, None)
            rows.append({"memories": len(stored), "ef_search": ef, "queries": len(queries),
                         "recall_at_threshold": r_t, "queries_whole": whole_t,
                         "hits_wanted": wanted_t, "recall_top8": r_all,
                         "statement_ms": float(np.median(times)) * 1e3,
                         "statement_p99_ms": float(np.quantile(times, 0.99)) * 1e3,
                         "bare_search_ms": float(np.median(bare)) * 1e3,
                         "exact_statement_ms": float(np.median(exact_times)) * 1e3,
                         "exact_disagreements_with_numpy": int(disagree),
                         "exact_hits_at_threshold": int(thresholded)})
            print_row(rows[-1])
    return rows


def print_row(r: dict[str, Any]) -> None:
    print(f"{r['memories']:>7} memories, ef_search {r['ef_search']:>3}: recall@8 at the threshold "
          f"{r['recall_at_threshold']:.4f} ({r['hits_wanted']} hits wanted, "
          f"{r['queries_whole']:.3f} of the queries whole), recall@8 {r['recall_top8']:.4f}; "
          f"first statement {r['statement_ms']:.2f} ms (p99 {r['statement_p99_ms']:.2f}), bare "
          f"search {r['bare_search_ms']:.2f} ms, exact {r['exact_statement_ms']:.1f} ms; "
          f"exact vs numpy: {r['exact_disagreements_with_numpy']} disagreements", flush=True)


def main(argv: list[str] | None = None) -> None:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # unwind: the cluster goes
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="10000,100000", help="memories stored, comma-separated")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--ef-search", default="40,80,100")
    p.add_argument("--threshold", type=float, default=0.7)
    p.add_argument("--corpus", choices=("clustered", "demo"), default="clustered",
                   help="demo: the 3,801 real texts (the last --queries of a shuffle are asked)")
    p.add_argument("--incremental", action="store_true",
                   help="the rows INSERTed into the indexed table, not COPYed before the index")
    p.add_argument("--shared-buffers", default="256MB")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--quick", action="store_true", help="2,000 memories, 100 queries")
    p.add_argument("--json", default=None, help="results file (default benchmarks/results/)")
    args = p.parse_args(argv)
    if args.quick:
        args.sizes, args.queries = "2000", 100
    ef_values = [int(x) for x in args.ef_search.split(",")]
    rows = []
    with ThrowawayCluster({"shared_buffers": args.shared_buffers}) as cluster:
        if args.corpus == "demo":
            _, vecs = demo_corpus()
            order = np.random.default_rng(args.seed).permutation(len(vecs))
            vecs = vecs[order]
            sets = [(vecs[:-args.queries], vecs[-args.queries:])]
        else:
            sets = []
            for n in (int(x) for x in args.sizes.split(",")):
                vecs = clustered(n + args.queries, seed=args.seed)
                sets.append((vecs[:n], vecs[n:]))
        for k, (stored, queries) in enumerate(sets):
            graph = f"recall {k}"
            t0 = time.perf_counter()
            fill = fill_incrementally if args.incremental else fill_graph
            ids = fill(cluster.conninfo, graph, stored)
            print(f"{len(stored)} memories stored in {time.perf_counter() - t0:.1f} s "
                  f"({'INSERTs into the index' if args.incremental else 'COPY, then the index'})",
                  flush=True)
            rows += measure(cluster.conninfo, graph, stored, ids, queries, ef_values,
                            args.threshold)
    report = {"command": " ".join(["pgvector_recall.py"] + (argv if argv is not None
                                                             else sys.argv[1:])),
              "args": vars(args), "rows": rows}
    print(f"results: {pg_bench.write_report(report, 'pgvector_recall', args.json)}")


if __name__ == "__main__":
    main()
