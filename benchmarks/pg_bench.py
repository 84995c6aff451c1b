"""What the PostgreSQL (pgvector) benchmarks share: their memories, graphs
filled in bulk, and the CPU the server used.

- `clustered(n)`: synthetic 128-dimensional unit vectors with the nearness
  profile of text embeddings: 200 topics of Zipf-distributed sizes, 12
  subtopics each, and a spread that differs from memory to memory (some are
  close to their subtopic, some vague). At 3,801 memories, 48% of them have a
  neighbour at similarity 0.7 or more and 10% have eight (the demo's real
  sentence embeddings: 60% and 3%); the graph gets denser as it grows (at
  10^5, 84% and 63%).
- `demo_corpus()`: the demo's 3,801 real texts and their 384-dimensional
  sentence embeddings.
- `fill_graph`: a graph of stored memories made in bulk, without the package:
  the tables as the hosts create them, the memories by one COPY (ids, texts,
  float32 bytes, the pgvector column), the HNSW index built once afterwards
  (much faster than taking each row into it), and the last ingested id. The
  memories have no edges. A host opening the graph reads them as light nodes.
"""
from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "host_contracts"))

import numpy as np  # noqa: E402
import psycopg  # noqa: E402
from psycopg import sql  # noqa: E402

from vantor_lacet_stores.statements.pg_graph import DIMENSIONS, PgStatements, setup_statements  # noqa: E402
from vantor_lacet_stores.protocol.rows import LAST_INGESTED  # noqa: E402

RESULTS = HERE / "results"


def _unit(a: np.ndarray) -> np.ndarray:
    return a / np.linalg.norm(a, axis=-1, keepdims=True)


def clustered(n: int, dim: int = 128, seed: int = 0, topics: int = 200,
              subtopics: int = 12) -> np.ndarray:
    """n unit vectors (float32) with a text-like nearness profile (see the module's text).
    The same seed gives the same topics whatever n: `clustered(n + m)[:n]` is not
    `clustered(n)`, but both are draws from one distribution."""
    rng = np.random.default_rng(seed)
    weights = 1.0 / np.arange(1, topics + 1) ** 0.8
    weights /= weights.sum()
    topic = _unit(rng.normal(size=(topics, dim)))
    centre = _unit(topic[:, None, :] + 0.9 * _unit(rng.normal(size=(topics, subtopics, dim))))
    t = rng.choice(topics, size=n, p=weights)
    s = rng.integers(0, subtopics, size=n)
    spread = rng.uniform(0.35, 1.1, size=n) / np.sqrt(dim)
    out = np.empty((n, dim), dtype=np.float32)
    for lo in range(0, n, 32768):  # in slices: no n x dim float64 temporary
        hi = min(lo + 32768, n)
        block = centre[t[lo:hi], s[lo:hi]] + rng.normal(size=(hi - lo, dim)) * spread[lo:hi, None]
        out[lo:hi] = _unit(block)
    return out


def demo_corpus() -> tuple[list[str], np.ndarray]:
    """The demo's texts and their sentence embeddings (float32, 384 dimensions)."""
    data = ROOT / "demo" / "data"
    vecs = np.load(data / "embeddings.f16.npy").astype(np.float32)
    with open(data / "corpus.jsonl", encoding="utf-8") as fh:
        texts = [json.loads(line)["text"] for line in fh]
    if len(texts) != len(vecs):
        raise SystemExit("corpus.jsonl and embeddings.f16.npy disagree in length")
    return texts, vecs


def vec_text(vec: np.ndarray) -> str:
    """pgvector's text for a float32 vector, as the hosts write it."""
    return "[" + ",".join(map(repr, vec.tolist())) + "]"


def fill_graph(conninfo: str, graph: str, vecs: np.ndarray, prefix: str = "h") -> list[str]:
    """Store `vecs` as the memories of the new graph `graph` (see the module's text):
    ids prefix + number, in order; the last one is the chain's end. Returns the ids."""
    stmts = PgStatements(graph, vecs.shape[1])
    ids = [f"{prefix}{i:07d}" for i in range(len(vecs))]
    g = sql.Identifier(graph).as_string(None)
    with psycopg.connect(conninfo, autocommit=True) as conn:
        with conn.transaction():
            for step in setup_statements(stmts):
                conn.execute(step)
            conn.execute(stmts.set_meta, (DIMENSIONS, str(vecs.shape[1])))
        conn.execute(f"DROP INDEX {g}.nodes_vec")
        with conn.cursor() as cur:
            with cur.copy(f"COPY {g}.nodes (id, content, embedding, metadata, vec) "
                          "FROM STDIN") as copy:
                for node_id, vec in zip(ids, vecs):
                    copy.write_row((node_id, f"memory {node_id}", vec.tobytes(), "{}",
                                    vec_text(vec)))
        conn.execute("SET maintenance_work_mem TO '1GB'")
        conn.execute("SET max_parallel_maintenance_workers TO 1")
        # the index as the hosts' setup makes it, built over every row at once
        conn.execute(f"CREATE INDEX nodes_vec ON {g}.nodes USING hnsw (vec vector_cosine_ops)")
        conn.execute(f"ANALYZE {g}.nodes")
        conn.execute(stmts.set_meta, (LAST_INGESTED, ids[-1]))
    return ids


def server_cpu(data_dir: Path) -> float:
    """CPU seconds used by the cluster so far: the postmaster, its live children,
    and the children it has reaped (counted in its cutime and cstime)."""
    postmaster = int((data_dir / "postmaster.pid").read_text().split()[0])
    tick = os.sysconf("SC_CLK_TCK")
    total = 0
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        pid, ppid = int(stat.parent.name), int(fields[1])
        if pid == postmaster:
            total += sum(int(x) for x in fields[11:15])  # utime stime cutime cstime
        elif ppid == postmaster:
            total += int(fields[11]) + int(fields[12])
    return total / tick


def quantile(values: list[float], q: float) -> float:
    return float(np.quantile(values, q)) if values else float("nan")


def write_report(report: dict[str, Any], name: str, path: str | None) -> Path:
    report["load_average"] = os.getloadavg()
    out = Path(path) if path else RESULTS / f"{name}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(report, indent=1))
    return out
