"""The recall call of the PostgreSQL hosts, written once with no I/O like the
calls of `protocol.calls`: one statement (`statements.recall`), its answer read
into `Recalled` records.

A recall that only reads takes neither the graph's lock nor its lease: it reads
what is committed when its statement starts, whoever holds the graph, and
needs no extension (a graph this process does not serve can be recalled). One
that strengthens the edges it used writes, and so goes the way of every write:
the host takes the graph (its lock, its lease) and the statement is fenced by
the lease's token (`GraphLost`, nothing written, for a process that lost it).
"""
from __future__ import annotations

import functools
import json
import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from vantor_lacet_stores.errors import GraphLost, MemoryRefused, StoreFailed
from vantor_lacet_stores.protocol.calls import Call, GraphState, HostOptions, Statement
from vantor_lacet_stores.statements.pg_types import vector_bytes
from vantor_lacet_stores.statements.recall import RecallStatements


@dataclass(frozen=True, slots=True)
class Recalled:
    """A memory a recall answers: its `score` (its activation), and how it was
    reached: `hop` 0 for a seed (found by its vector), otherwise the round in
    which the spreading first reached it, with `edge` the id of the edge that
    brought it the most activation in that round and `via` the memory across
    that edge (both None for a seed)."""

    id: str
    score: float
    hop: int
    edge: str | None
    via: str | None
    content: str


@functools.lru_cache(maxsize=4096)
def recall_statements(graph: str) -> RecallStatements:
    return RecallStatements(graph)


def prepare(dimensions: int, query_vector: Any, context: Any) -> dict[str, Any] | None:
    """The statement's parameters for `query_vector` and the context's fields;
    None for a zero vector (nothing is near it). `MemoryRefused` for a vector
    of another dimension or one holding NaN or infinity; ValueError for a
    gossip weight that is not a finite number."""
    try:
        vec = np.asarray(query_vector, dtype=np.float32).ravel()
    except (TypeError, ValueError) as exc:
        raise MemoryRefused(f"the query vector is not a vector of numbers: {exc}") from None
    if vec.size != dimensions:
        raise MemoryRefused(f"the query vector has {vec.size} dimensions, the graph's "
                            f"vectors {dimensions}")
    if not np.isfinite(vec).all():
        raise MemoryRefused("the query vector holds NaN or infinity")
    gossip = float(context.coverage_gossip_weight)
    if not math.isfinite(gossip):
        raise ValueError(f"coverage_gossip_weight is {gossip}")
    if not vec.any():
        return None
    return {"vec": vector_bytes(vec),
            "seeds": int(context.seed_count), "rounds": int(context.max_iterations),
            "results": int(context.max_results), "gossip": min(max(gossip, 0.0), 1.0),
            "norm": bool(context.degree_normalization),
            "volume": bool(context.use_volume_termination),
            "harvest": bool(context.coverage_harvest)}


def recall(host: HostOptions, graph: str, state: GraphState | None, params: dict[str, Any],
           strengthen: bool) -> Call:
    """Recall from `graph` with `prepare`'s parameters: a list of `Recalled`,
    best first. `strengthen` writes, behind the lease of `state` (the graph as
    this process serves it) where it has one. A read of a graph that has no
    tables yet answers nothing."""
    from psycopg.errors import UndefinedTable

    stmts = recall_statements(graph)
    lease = state.lease(host.instance) if strengthen and state is not None else None
    if not strengthen:
        text = stmts.read[host.exact]
    elif lease is None:
        text = stmts.strengthen[host.exact]
    else:
        text, params = stmts.strengthen_fenced[host.exact], {**params, **lease}
    try:
        row = yield Statement(text, params)
    except StoreFailed as exc:
        if strengthen or not isinstance(exc.__cause__, UndefinedTable):
            raise
        return []  # nothing was ever stored in the graph
    if lease is not None:
        assert state is not None
        if row[2] is None:
            raise GraphLost(graph, host.instance)
        host.write_log.append((graph, state.token, int(row[2])))
    return [Recalled(*item) for item in json.loads(row[0])]
