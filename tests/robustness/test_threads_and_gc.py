"""The extension under the cyclic garbage collector and under threads.

(a) The host commonly closes a cycle through the extension: it holds the
extension, and the nodes, service or configuration the extension holds point
back at the host. Only the cyclic GC can free such a cycle, so the extension
must take part in it.
(b) The host must not overlap calls on one extension, but a native package has
to stay memory-safe when it does: several threads drive one extension whose
host callbacks release the GIL. Results may be inconsistent; the process must
not crash (under the sanitizers: no report).
"""
from __future__ import annotations

import gc
import os
import random
import threading
import time
import weakref

import pytest

import vantor_lacet
from vantor_lacet import former
from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode

from recording_host import GRAPH_CALLS, SEARCH, Graph, Recorder, Service, package_log

SANITIZED = bool(os.environ.get("LACET_SANITIZED"))


class Host:
    """Stands for the host's memory system: it keeps the extension."""

    def __init__(self):
        self.extension = None


def first_four(node, candidate_ids, node_lookup):
    pairs = []
    for candidate_id in list(candidate_ids)[:4]:  # the live set: other threads change it
        candidate = node_lookup.get(candidate_id)
        if candidate is not None:
            pairs.append((candidate, 0.5 + (hash(candidate_id) % 50) / 100))
    return pairs


def service(owner=None, rec=None):
    svc = Service(rec, answer=first_four)
    svc.owner = owner
    return svc


def sleepy_host():
    """A graph and a search that give up the GIL in each call the package makes."""
    rec = Recorder(keep=False)
    for name in GRAPH_CALLS + (SEARCH,):
        rec.hook(name, lambda *args, **kwargs: time.sleep(0), once=False)
    return Graph(rec, multi=True), service(rec=rec)


# ----------------------------------------------------------------- (a) cycles


def _nodes_pointing_at(host, count=4):
    return [MemoryNode(id=f"n{i}", content_embedding=[1.0, float(i)], metadata={"host": host}) for i in range(count)]


def _cycle_through_index():
    host = Host()
    graph = MemoryGraph()
    for node in _nodes_pointing_at(host):
        graph.add_node(node)
    host.extension = vantor_lacet.build_extension(service(), graph)
    return host


def _cycle_through_ingest():
    host = Host()
    graph = MemoryGraph()
    host.extension = former.LacetExtension(service(), graph, former.LacetConfig(max_semantic_edges_per_node=2))
    for node in _nodes_pointing_at(host):
        graph.add_node(node)
        host.extension.on_ingest(graph, node)
    return host


def _cycle_through_service():
    host = Host()
    host.extension = former.LacetExtension(service(owner=host), MemoryGraph())
    return host


def _cycle_through_config():
    host = Host()
    config = former.LacetConfig()
    config.owner = host
    host.extension = former.LacetExtension(service(), MemoryGraph(), config)
    return host


def _extension_holding_itself():
    host = Host()
    host.extension = former.LacetExtension(service(), MemoryGraph())
    host.extension.on_ingest(MemoryGraph(), MemoryNode(id="n0", content_embedding=[1.0]))
    host.extension._service = host.extension
    return host


@pytest.mark.parametrize(
    "build",
    [_cycle_through_index, _cycle_through_ingest, _cycle_through_service, _cycle_through_config,
     _extension_holding_itself],
)
def test_cyclic_gc_collects_an_extension_in_a_cycle(build):
    with package_log():
        host = build()
    ext_ref, host_ref = weakref.ref(host.extension), weakref.ref(host)
    del host
    gc.collect()
    assert ext_ref() is None, "the extension in a reference cycle was not collected"
    assert host_ref() is None


def test_gc_during_a_callback_keeps_the_extension_working():
    # a collection run from inside a callback traverses the live extension
    host = Host()
    graph = MemoryGraph()

    collecting = service()
    collecting.rec.hook(SEARCH, lambda *args, **kwargs: gc.collect(), once=False)
    host.extension = former.LacetExtension(collecting, graph, former.LacetConfig(max_semantic_edges_per_node=1))
    nodes = _nodes_pointing_at(host, 6)
    with package_log():
        for node in nodes:
            graph.add_node(node)
            host.extension.on_ingest(graph, node)
    assert host.extension._candidate_ids == {n.id for n in nodes}
    assert set(host.extension._node_lookup) == host.extension._candidate_ids


# ---------------------------------------------------------------- (b) threads


def test_threads_driving_one_extension_do_not_crash():
    graph, search = sleepy_host()
    nodes = [MemoryNode(id=f"n{i}", content_embedding=[1.0, float(i)]) for i in range(40)]
    for node in nodes:
        graph.host_put_node(node)
    config = former.LacetConfig(max_semantic_edges_per_node=2)
    ext = former.LacetExtension(search, graph, config)
    seconds = 1.5
    start = threading.Barrier(6)
    deadline = [time.monotonic() + seconds + 1.0]  # the second covers the start of the threads
    calls = [0] * 6
    failures = []

    def worker(index, step):
        rng = random.Random(index)
        start.wait()
        while time.monotonic() < deadline[0]:
            try:
                step(rng)
            except Exception:  # inconsistent results are the host's fault here
                pass
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)
                return
            calls[index] += 1

    steps = [
        lambda rng: ext.on_ingest(graph, rng.choice(nodes)),
        lambda rng: ext.on_ingest(graph, rng.choice(nodes)),
        lambda rng: ext.on_ingest_batch(graph, rng.sample(nodes, 3)),
        lambda rng: (ext.on_forget([rng.choice(nodes).id for _ in range(3)]), time.sleep(0)),
        lambda rng: (ext.retrieval_context(rng.randint(-3, 80)),
                     ext._enforce_cap(graph, rng.choice(nodes).id, rng.choice(nodes).id, rng.random(),
                                      former.LacetIngestResult()), time.sleep(0)),
        lambda rng: (setattr(config, "max_semantic_edges_per_node", rng.choice([None, 0, 1, 2, 3])),
                     gc.collect(0), time.sleep(0)),
    ]
    threads = [threading.Thread(target=worker, args=(i, step)) for i, step in enumerate(steps)]
    with package_log():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures
    assert all(calls), calls  # every thread got to run its operation
    # the extension is still usable and its index still made of its own set and dict
    assert type(ext._candidate_ids) is set and type(ext._node_lookup) is dict
    config.max_semantic_edges_per_node = 2
    with package_log():
        result = ext.on_ingest(graph, nodes[0])
    assert isinstance(result, former.LacetIngestResult)
