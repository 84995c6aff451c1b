"""The wiring a host developer copies: the package inside the reference host.

Everything the package needs from a host happens here, in four steps:

1. ``make_host``: the host's graph and its similarity search, the search
   following the graph's nodes (the graph tells it of each node it stores or
   removes). The graph lives in memory, or in SQLite or PostgreSQL
   (``open_store``); on a database the search names the neighbourhood of each
   ingest to the graph, which loads it in one statement;
2. ``connect``: the extension, built once over that graph and search;
3. ``store`` then ``link``: each batch of new memories stored in the graph,
   then handed to the extension, which forms the chain and semantic edges in
   the graph (on a database, in a session: the extension's calls answered
   from the loaded neighbourhood, its writes sent in one statement at the end);
4. ``forget``: memories removed from the graph, then from the extension's
   candidate index.

The rest of the demo times, counts and draws what happens here.
"""
from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator
from typing import Any, NamedTuple

import vantor_lacet
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService
from vantor_lacet_stores.hosts.graph_host import NeighbourhoodSearch
from vantor_lacet_stores.testing.graphs import open_graph
from vantor_lacet_stores.testing.latency import latency_of

from lacet_demo.corpus import Memory


class Host(NamedTuple):
    graph: Any
    service: Any
    description: str  # what the search is, for the printed summary


def make_search(kind: str) -> tuple[Any, str]:
    """The similarity search: exact (numpy cosine) or approximate (usearch HNSW)."""
    if kind == "approx":
        try:
            from vantor.core.ann_similarity import ApproximateSimilarityService
        except ImportError as exc:
            print(f"note: approximate search needs usearch, which is not importable here "
                  f"({exc}); using exact search instead", file=sys.stderr)
        else:
            return ApproximateSimilarityService(), "approximate (usearch HNSW)"
    return SimilarityService(), "exact (numpy cosine)"


@contextlib.contextmanager
def open_store(store: str, latency_ms: float = 0.0) -> Iterator[Any]:
    """The graph for ``--store``: "memory", "sqlite[:PATH]" (a temporary file
    without a path) or "postgresql[:CONNINFO]" (a throwaway cluster without a
    connection string), closed and removed at the end. ``latency_ms`` is
    waited before each statement (each call, in memory): a stand-in for a
    network."""
    if store == "memory" and not latency_ms:
        yield MemoryGraph()
        return
    with open_graph(store, latency_ms / 1000) as graph:
        latency_of(graph).spin = True  # a busy loop: a sleep wakes too late to mean much
        yield graph


def make_host(search: str, graph: Any = None, snapshot: bool = True) -> Host:
    """The host's graph (a new in-memory one without ``graph``) and search, empty.
    On a store that keeps a snapshot, the search tells the graph what to load."""
    service, description = make_search(search)
    graph = MemoryGraph() if graph is None else graph
    if snapshot and hasattr(graph, "prefetch"):
        service = NeighbourhoodSearch(service, graph)
    return Host(graph, service, description)


def connect(graph: Any, service: Any, config: vantor_lacet.LacetConfig) -> Any:
    graph.add_listener(service)  # the search's index follows the graph's nodes
    return vantor_lacet.build_extension(service, graph, config)


def as_node(memory: Memory) -> MemoryNode:
    return MemoryNode(id=memory.id, content=memory.text, content_embedding=memory.embedding,
                      metadata={"source": memory.source})


def store(graph: Any, nodes: list[MemoryNode]) -> None:
    for node in nodes:
        graph.add_node(node)


def link(graph: Any, ext: Any, nodes: list[MemoryNode], snapshot: bool = True) -> Any:
    """The extension's edges for nodes the graph already holds: a LacetIngestResult.
    A graph in a database also keeps the last memory linked, so that a restart
    can continue the chain from it."""
    if not hasattr(graph, "session"):
        return ext.on_ingest_batch(graph, nodes)
    with graph.session() if snapshot else contextlib.nullcontext():
        graph.prefetch(node.id for node in nodes)  # loaded together with the first call
        result = ext.on_ingest_batch(graph, nodes)
        if nodes:
            graph.set_last_ingested(nodes[-1].id)
        graph.flush()  # the queued writes, here rather than at the session's end
    return result


def forget(graph: Any, ext: Any, ids: list[str]) -> None:
    for node_id in ids:
        graph.remove_node(node_id)
    ext.on_forget(ids)
