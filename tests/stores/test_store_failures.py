"""A store that fails in the middle of a call: the call raises, nothing of it
stays stored, and the host is back in step with the store before its next
call; the stream then ends with the graph of an uninterrupted run. Ids the
stores cannot keep are refused before anything is written."""
from __future__ import annotations

import contextlib
import os
import random
import re
import sqlite3
import subprocess
import tempfile

import numpy as np
import psycopg
import pytest

import crash_host
from crash_host import Reference, check_store, config, done_calls, open_graph
from vantor.core.node import MemoryNode
from vantor.core.similarity import SimilarityService
from vantor_lacet_stores.hosts.graph_host import GraphStoreHost

N = 150


@pytest.fixture(scope="module")
def reference():
    return Reference(N)


class StoreFault(Exception):
    pass


class Faults:
    """Makes a statement of the call fail: the `n`-th (of those that begin with
    `word`, if given), before it runs (the store's error) or after it ran (its
    answer lost)."""

    def __init__(self, graph, error):
        self.graph, self.error = graph, error
        self.execute = graph._execute
        self.armed = None
        self.count = 0
        self.fired = []
        graph._execute = self._run

    def arm(self, n, after=False, word=""):
        self.armed, self.count = (n, after, word), 0

    def _run(self, sql, params=()):
        if self.armed and sql.lstrip().startswith(self.armed[2]):
            self.count += 1
            n, after, _ = self.armed
            if self.count == n:
                self.armed = None
                self.fired.append((sql.split()[0], after))
                if after:
                    self.execute(sql, params)
                raise self.error("injected store failure")
        return self.execute(sql, params)


def in_step(host, graph):
    """The extension and the search hold what the store holds."""
    stored = graph.all_nodes()
    with_vectors = {n.id for n in stored if n.content_embedding is not None}
    assert host.ext._candidate_ids == with_vectors
    assert set(host.ext._node_lookup) == with_vectors
    assert host.ext._last_id == graph.last_ingested()
    assert set(host.search.service._nodes) == {n.id for n in stored}


@pytest.mark.parametrize("snapshot", [True, False])
def test_a_failing_store_fails_the_call_and_the_host_comes_back_in_step(
        stores, reference, snapshot, caplog):
    seed = crash_host.seed()
    rng = random.Random(seed)
    graph = stores.open()
    error = sqlite3.OperationalError if stores.kind == "sqlite" else psycopg.OperationalError
    faults = Faults(graph, error)
    host = GraphStoreHost(graph, SimilarityService(), config(), snapshot=snapshot)
    calls = reference.calls
    batches = [i for i, call in enumerate(calls) if len(call) > 2 and i > 20]
    in_batch = set(rng.sample(batches, 5))
    anywhere = set(rng.sample(sorted(set(range(len(calls))) - in_batch), 4))
    failed = []
    i = 0
    while i < len(calls):
        if i in in_batch:
            # A read made by the package's ingest: with the snapshot, a load after
            # the call's first (the batch's ids); without, the chain's has_node.
            in_batch.discard(i)
            faults.arm(2 if snapshot else 1, word="SELECT")
        elif i in anywhere:  # any statement of the call (each has that many)
            anywhere.discard(i)
            faults.arm(rng.randint(1, 2 if snapshot else 5), after=rng.random() < 0.5)
        try:
            host.add(calls[i])
        except error:
            failed.append(i)
            assert len(failed) <= 9, (seed, failed)
            in_step(host, graph)
            i = done_calls(graph, calls)  # retried, unless stored after all
            continue
        faults.armed = None
        i += 1
    assert len(failed) == len(faults.fired) >= 6, (seed, faults.fired)
    # The batch went on after the member that met the failure, and logged it;
    # the call failed all the same.
    assert any("batched formation failed" in r.getMessage() for r in caplog.records), seed
    check_store(stores.reopen(graph), reference)


def test_an_interrupt_inside_a_batch_leaves_nothing_stored(stores, reference):
    """Anything that is not an Exception leaves the batch at once: the same
    rollback and resynchronisation."""
    graph = stores.open()
    service = SimilarityService()
    host = GraphStoreHost(graph, service, config())
    calls = reference.calls
    batch = next(i for i, call in enumerate(calls) if len(call) > 3 and i > 10)
    for call in calls[:batch]:
        host.add(call)
    find = service.find_similar
    seen = []

    def interrupted(node, *args, **kwargs):
        seen.append(node.id)
        if len(seen) == 3:
            raise KeyboardInterrupt
        return find(node, *args, **kwargs)

    service.find_similar = interrupted
    with pytest.raises(KeyboardInterrupt):
        host.add(calls[batch])
    service.find_similar = find
    assert done_calls(graph, calls) == batch
    in_step(host, graph)
    for call in calls[batch:]:
        host.add(call)
    check_store(graph, reference)


HOSTILE = ["it's", 'say "hi"', "x'); DROP TABLE edges; --", "back\\slash\\", "{1,2}",
           '["json"]', "Zoë 🧠 記憶", "tab\tnew\nline", "", "5", "null", "\\u0000"]


class Text(str):
    pass


def test_ids_are_kept_exactly_or_refused_before_anything_is_written(stores):
    graph = stores.open()
    host = GraphStoreHost(graph, SimilarityService(), config())
    rng = np.random.default_rng(0)

    def node(node_id, content=""):
        return MemoryNode(id=node_id, content=content,
                          content_embedding=rng.normal(size=4).astype(np.float32))

    host.add([node("n1")])
    host.add([node("n2")])
    refused = [(5, TypeError), (1.5, TypeError), (b"a", TypeError), (("a",), TypeError),
               (None, TypeError), (Text("a"), TypeError), ("a\x00b", ValueError),
               ("\ud800", ValueError)]
    before = (host.ext._candidate_ids.copy(), host.ext._last_id, graph.edge_count)
    for bad, kind in refused:
        for call in ([node(bad)], [node("ok"), node(bad)]):
            with pytest.raises(kind, match="node id " + re.escape(repr(bad))):
                host.add(call)
            assert (host.ext._candidate_ids, host.ext._last_id, graph.edge_count) == before
            assert [n.id for n in graph.all_nodes()] == ["n1", "n2"]
    # Texts: SQLite keeps a NUL, PostgreSQL's text cannot hold one.
    if stores.kind == "sqlite":
        host.add([node("nul", "a\x00b")])
    else:
        with pytest.raises(ValueError, match="NUL"):
            host.add([node("nul", "a\x00b")])
    # Every id accepted reads back equal and a str, as a node, an edge end and
    # the last ingested id, in a batch (queued) and alone.
    host.add([node(i) for i in HOSTILE[:6]])
    for i in HOSTILE[6:]:
        host.add([node(i, i)])
    graph = stores.reopen(graph)
    nodes = {n.id: n for n in graph.all_nodes()}
    assert all(type(i) is str for i in nodes)
    assert set(HOSTILE) <= set(nodes)
    assert all(nodes[i].content == i for i in HOSTILE[6:])
    if stores.kind == "sqlite":
        assert nodes["nul"].content == "a\x00b"
    ends = {end for e in graph.edges() for end in (e.source_node, e.target_node)}
    assert set(HOSTILE) <= ends and ends <= set(nodes)
    assert graph.last_ingested() == HOSTILE[-1]
    # Only the id itself finds a node: not a number that SQL would take for it.
    for session in (contextlib.nullcontext(), graph.session()):
        with session:
            assert graph.has_node("5") and graph.get_edges_for_node("5")
            assert not graph.has_node(5) and graph.get_edges_for_node(5) == []
            assert graph.get_edge_between(5, "null") is None


@contextlib.contextmanager
def small_filesystem(size="16m"):
    folder = tempfile.mkdtemp(prefix="lacet-full-")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                          capture_output=True, text=True)
    if done.returncode != 0:
        os.rmdir(folder)
        pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip() or done.returncode}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", folder], check=True)
        os.rmdir(folder)


def test_sqlite_on_a_full_disk(reference):
    calls = reference.calls
    with small_filesystem() as folder, contextlib.ExitStack() as stack:
        path = f"{folder}/graph.db"
        graph = stack.enter_context(open_graph("sqlite", path, ""))
        host = GraphStoreHost(graph, SimilarityService(), config())
        for call in calls[:20]:
            host.add(call)
        with open(f"{folder}/filler", "wb", buffering=0) as filler, \
                contextlib.suppress(OSError):
            while True:  # fill the disk
                filler.write(b"\0" * 4096)
        failures, i = 0, 20
        while i < len(calls) and failures < 3:
            try:
                host.add(calls[i])
                i += 1
            except sqlite3.OperationalError as exc:
                assert "full" in str(exc)
                failures += 1
                in_step(host, graph)
                i = done_calls(graph, calls)
        assert failures == 3
        graph.close()
        graph = stack.enter_context(open_graph("sqlite", path, ""))
        assert check_store(graph, reference) == i
        os.remove(f"{folder}/filler")
        host = GraphStoreHost(graph, SimilarityService(), config())
        for call in calls[i:]:
            host.add(call)
        assert check_store(graph, reference) == len(calls)


def test_postgresql_stopped_and_started_in_the_middle_of_a_stream(reference):
    from vantor_lacet_stores.testing.cluster import ThrowawayCluster

    seed = crash_host.seed()
    rng = random.Random(seed)
    calls = reference.calls
    # Committed means stored: the outage must not take back what was confirmed.
    with ThrowawayCluster({"synchronous_commit": "on"}, pgvector=False) as cluster:
        graph = open_graph("postgresql", cluster.conninfo, "outage")
        host = GraphStoreHost(graph, SimilarityService(), config())
        batch = rng.choice([i for i, call in enumerate(calls)
                            if len(call) > 3 and 5 < i < len(calls) // 2])
        single = rng.choice([i for i, call in enumerate(calls)
                             if len(call) == 1 and batch < i < len(calls) * 3 // 4])
        execute = graph._execute
        outages = []

        def stop_at(n):
            count = 0

            def run(sql, params=()):
                nonlocal count
                count += 1
                if count == n:
                    cluster.stop_server("immediate")
                    outages.append(sql.split()[0])
                return execute(sql, params)
            return run

        i = 0
        while i < len(calls):
            # The second outage goes to the first single call from `single` on
            # that makes as many statements as the draw asks for.
            due = (i >= batch) + (i >= single)
            if len(outages) < due and (i == batch or len(calls[i]) == 1):
                graph._execute = stop_at(rng.randint(1, 3))
            try:
                host.add(calls[i])
                i += 1
            except psycopg.OperationalError:
                graph._execute = execute
                # Down: a call fails and changes nothing.
                with pytest.raises(psycopg.OperationalError):
                    host.add(calls[i])
                cluster.start_server()
                with open_graph("postgresql", cluster.conninfo, "outage") as other:
                    i = check_store(other, reference)
                host.recover()
                in_step(host, graph)
            graph._execute = execute
        assert len(outages) == 2, (seed, outages)
        assert check_store(graph, reference) == len(calls)
        graph.close()
