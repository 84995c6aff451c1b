"""The wiring a host developer copies: the package inside the reference host.

Everything the package needs from a host happens here, in four steps:

1. ``make_host``: the host's graph and its similarity search, the search
   following the graph's nodes (the graph tells it of each node it stores or
   removes);
2. ``connect``: the extension, built once over that graph and search;
3. ``store`` then ``link``: each batch of new memories stored in the graph,
   then handed to the extension, which forms the chain and semantic edges in
   the graph;
4. ``forget``: memories removed from the graph, then from the extension's
   candidate index.

The rest of the demo times, counts and draws what happens here.
"""
from __future__ import annotations

import sys
from typing import Any, NamedTuple

import vantor_lacet
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService

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


def make_host(search: str) -> Host:
    """The host's graph and search, empty."""
    service, description = make_search(search)
    return Host(MemoryGraph(), service, description)


def connect(graph: Any, service: Any, config: vantor_lacet.LacetConfig) -> Any:
    graph.add_listener(service)  # the search's index follows the graph's nodes
    return vantor_lacet.build_extension(service, graph, config)


def as_node(memory: Memory) -> MemoryNode:
    return MemoryNode(id=memory.id, content=memory.text, content_embedding=memory.embedding,
                      metadata={"source": memory.source})


def store(graph: Any, nodes: list[MemoryNode]) -> None:
    for node in nodes:
        graph.add_node(node)


def link(graph: Any, ext: Any, nodes: list[MemoryNode]) -> Any:
    """The extension's edges for nodes the graph already holds: a LacetIngestResult."""
    return ext.on_ingest_batch(graph, nodes)


def forget(graph: Any, ext: Any, ids: list[str]) -> None:
    for node_id in ids:
        graph.remove_node(node_id)
    ext.on_forget(ids)
