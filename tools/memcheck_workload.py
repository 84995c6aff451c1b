"""A representative vantor_lacet workload for tools/valgrind_memcheck.sh.

Ingests with evictions, batches, forgets, retrieval contexts and every kind of
host failure the package handles or passes on, on the tests' recording host (no
numpy, so that the run under valgrind stays short). Needs host_contracts on
PYTHONPATH for vantor.core.edge and vantor.agents.gossip_retriever.
Usage: python tools/memcheck_workload.py [rounds]
"""
from __future__ import annotations

import gc
import os
import sys
import types

import vantor_lacet
from vantor_lacet import former

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
from recording_host import Graph, HostAbort, Node, Recorder, Service, package_log  # noqa: E402


def ranked(top_k):
    def answer(node, candidate_ids, node_lookup):
        return ((node_lookup[c], (hash((node.id, c)) % 1000) / 1000) for c in sorted(candidate_ids)[: top_k or None])
    return answer


def raising(exc):
    def answer(node, candidate_ids, node_lookup):
        raise exc("search")
    return answer


def odd(node, candidate_ids, node_lookup):
    other = node_lookup[next(iter(candidate_ids))]
    return [(node, 0.9), (other, float("nan")), (other, "0.95")]


MODES = {"raise": raising(RuntimeError), "none": None, "triple": lambda node, *_: [(node, 0.5, 1)], "odd": odd,
         "abort": raising(HostAbort)}


def run(rounds):
    ops = 0
    for r in range(rounds):
        rec = Recorder(keep=False)
        graph = Graph(rec)
        for i in range(12):
            graph.host_put_node(Node(f"n{r}-{i}", None if i % 5 == 0 else (1.0, float(i))))
        config = former.LacetConfig(max_semantic_edges_per_node=2)
        service = Service(rec, answer=ranked(config.max_semantic_edges_per_node))
        ext = vantor_lacet.build_extension(service, graph, config)
        nodes = list(graph.nodes.values())
        for node in nodes:
            ext.on_ingest(graph, node)
            ops += 1
        ext.on_ingest_batch(graph, iter(nodes[:6]))
        ext.on_forget([n.id for n in nodes[::3]])
        ext.retrieval_context(r)
        ext.retrieval_context("12")
        ops += 4
        for fail in (ValueError, KeyError):
            rec.fail("graph.add_edge", fail)
            ext.on_ingest(graph, nodes[1])
            ext.on_ingest(graph, nodes[2])
            rec.faults.clear()
            ops += 2
        for fail in (TypeError, HostAbort):
            rec.fail("graph.add_edge", fail)
            try:
                ext.on_ingest(graph, nodes[3])
            except (TypeError, HostAbort):
                pass
            rec.faults.clear()
            ops += 1
        normal = service.answer
        for answer in MODES.values():
            service.answer = answer
            try:
                ext.on_ingest(graph, nodes[4])
                ext.on_ingest_batch(graph, nodes[4:8])
            except (TypeError, ValueError, HostAbort):
                pass
            ops += 2
        service.answer = normal
        for bad in (lambda: ext.retrieval_context(None), lambda: ext.on_forget([[]]),
                    lambda: ext.on_ingest(graph), lambda: former.LacetExtension(service, None)):
            try:
                bad()
            except (TypeError, AttributeError):
                pass
            ops += 1
        # a cycle through the index, left to the collector
        cycle = types.SimpleNamespace(id="cycle", content_embedding=(1.0,), ext=ext)
        ext.on_ingest(graph, cycle)
        del ext, cycle
        gc.collect()
    return ops


if __name__ == "__main__":
    with package_log():
        done = run(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
    print(f"memcheck workload done: {done} operations")
