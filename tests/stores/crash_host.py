"""A host that streams memories into a store through `GraphStoreHost`, for the tests
that kill it or take its store away.

The stream is fixed (`stream(n)`: singles and batches, by a seeded draw), so any
run that resumes it ends with the same graph. `resume` opens the store, skips
the calls the store already holds (a call is stored whole or not at all, so
they are a prefix) and goes on, reporting each call's start and end.

Run as a script it is a fork server: it imports everything once, then for each
JSON line read on stdin forks a child that runs `resume` with those arguments,
writing its report to the file named there, and answers "pid N". The child is
reaped only when the next line, "wait", arrives, and the answer is "status N":
until then its pid stays taken (a zombie at worst), so a kill sent in between
reaches that child and no other process. Starting a fresh interpreter for each
run would cost more than the runs.
"""
from __future__ import annotations

import json
import os
import sys
import traceback
from collections import Counter
from typing import Any

import numpy as np

import vantor_lacet
from vantor.core.edge import RelationshipType
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService
from vantor.core.counting_graph import CountingMemoryGraph
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost

CAP = 3


def config() -> Any:
    return vantor_lacet.LacetConfig(similarity_threshold=0.55, max_semantic_edges_per_node=CAP)


def memories(n: int) -> list[MemoryNode]:
    rng = np.random.default_rng(5)
    centres = rng.normal(size=(6, 8))
    vecs = centres[rng.integers(0, 6, size=n)] + rng.normal(scale=0.5, size=(n, 8))
    return [MemoryNode(id=f"m{i} 'é;", content=f"memory {i}",
                       content_embedding=None if i % 23 == 7 else vecs[i].astype(np.float32))
            for i in range(n)]


def stream(n: int) -> list[list[MemoryNode]]:
    """The calls: about half singles, the rest batches of 2 to 6."""
    rng = np.random.default_rng(11)
    nodes, calls, i = memories(n), [], 0
    while i < n:
        size = 1 if rng.random() < 0.5 else int(rng.integers(2, 7))
        calls.append(nodes[i:i + size])
        i += size
    return calls


def describe(edge: Any) -> tuple[Any, ...]:
    return (edge.source_node, edge.target_node, edge.relationship.type.value,
            edge.relationship.subtype, edge.weight.current)


def seed() -> int:
    """The seed of a test's random draws: LACET_STORE_SEED to repeat a run."""
    value = int(os.environ.get("LACET_STORE_SEED") or np.random.default_rng().integers(10**9))
    # pytest shows what a failed test printed: the line to run it again with.
    print(f"random draws of this test: LACET_STORE_SEED={value}")
    return value


def open_graph(kind: str, where: str, name: str, latency: float = 0.0) -> Any:
    if kind == "sqlite":
        from vantor_lacet_stores.graphs.sqlite_graph import SqliteGraph
        return SqliteGraph(where, latency=latency)
    from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
    return PostgresGraph(where, graph=name, latency=latency)


def done_calls(graph: Any, calls: list[list[MemoryNode]]) -> int:
    """How many calls the store holds: a prefix of the stream, each call whole
    (AssertionError otherwise)."""
    held = graph.held([node.id for call in calls for node in call])
    whole = [sum(node.id in held for node in call) for call in calls]
    k = next((i for i, count in enumerate(whole) if count == 0), len(calls))
    assert all(count == len(call) for count, call in zip(whole[:k], calls[:k])), "a call half stored"
    assert not any(whole[k:]), "a call stored after one that is not"
    return k


def resume(kind: str, where: str, name: str, n: int, snapshot: bool, latency: float,
           report: Any) -> None:
    calls = stream(n)
    with open_graph(kind, where, name, latency) as graph:
        host = GraphStoreHost(graph, SimilarityService(), config(), snapshot=snapshot)
        k = done_calls(graph, calls)
        report(f"ready {k}")
        for i in range(k, len(calls)):
            report(f"begin {i}")
            host.add(calls[i])
            report(f"end {i}")
    report("done")


class Reference:
    """The uninterrupted run, in memory: the graph after any number of calls."""

    def __init__(self, n: int) -> None:
        self.calls = stream(n)
        graph = CountingMemoryGraph()
        host = GraphStoreHost(graph, SimilarityService(), config())
        self.added: dict[Any, int] = {}
        self.removed: dict[Any, int] = {}
        self.edges: dict[Any, tuple[Any, ...]] = {}
        for i, call in enumerate(self.calls):
            result = host.add(call)
            for edge in result.created:
                self.added[edge.id], self.edges[edge.id] = i + 1, describe(edge)
            for edge_id in result.evicted_edge_ids:
                self.removed[edge_id] = i + 1

    def after(self, k: int) -> tuple[list[str], list[tuple[Any, ...]], str | None]:
        """Node ids, sorted edge descriptions and last ingested id after k calls."""
        ids = [node.id for call in self.calls[:k] for node in call]
        edges = sorted(self.edges[e] for e, at in self.added.items()
                       if at <= k and self.removed.get(e, k + 1) > k)
        return ids, edges, ids[-1] if ids else None


def check_store(graph: Any, reference: Reference) -> int:
    """The checks made on a reopened store: the calls it holds are whole and a
    prefix of the stream; no edge has a missing end, no node holds more than the
    cap of automatic semantic edges, no two edges of one type join the same pair
    the same way, every memory but the first has its chain edge; the last
    ingested id is the last memory stored; and the graph is the one the
    uninterrupted run had after as many calls. Returns that number of calls."""
    k = done_calls(graph, reference.calls)
    ids, expected_edges, last = reference.after(k)
    nodes = [node.id for node in graph.all_nodes()]
    edges = graph.edges()
    assert nodes == ids
    present = set(nodes)
    assert all(e.source_node in present and e.target_node in present for e in edges)
    auto: Counter[str] = Counter()
    for e in edges:
        if e.relationship.type == RelationshipType.SEMANTIC and \
                e.relationship.subtype == "auto_discovered":
            auto.update({e.source_node, e.target_node})
    assert max(auto.values(), default=0) <= CAP
    triples = [(e.source_node, e.target_node, e.relationship.type) for e in edges]
    assert len(set(triples)) == len(triples)
    chained = {e.target_node for e in edges if e.relationship.subtype == "auto_chain"}
    assert set(nodes[1:]) <= chained
    assert graph.last_ingested() == last
    assert sorted(describe(e) for e in edges) == expected_edges
    return k


def serve() -> None:
    for line in sys.stdin:
        args = json.loads(line)
        pid = os.fork()
        if pid == 0:
            code = 0
            fd = os.open(args.pop("report"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
            try:
                resume(**args, report=lambda text: os.write(fd, (text + "\n").encode()))
            except BaseException:
                os.write(fd, traceback.format_exc().encode())
                code = 1
            os._exit(code)
        print("pid", pid, flush=True)
        command = sys.stdin.readline().strip()
        _, status = os.waitpid(pid, 0)
        if command != "wait":
            sys.exit(f"crash_host: expected 'wait', got {command!r}")
        print("status", status, flush=True)


if __name__ == "__main__":
    serve()
