"""The caches serve: hits and misses counted by the package itself.

A cache that stops hitting changes no result, only the speed, so no other
test would notice. Each cache counts how often it was found valid and how
often it had to learn afresh (vantor_lacet._cache_counts(), private), and
these tests read the counts around a steady stream on the thin hosts, around
a change that must be learned once, and across interpreters and re-imports.
"""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vantor_lacet
from vantor_lacet import former

BENCHMARKS = str(Path(__file__).resolve().parents[2] / "benchmarks")
sys.path.insert(0, BENCHMARKS)

import thin_host  # noqa: E402
import workloads as W  # noqa: E402


def delta(before, after):
    """The counts' change; "instance_layout" is a state (on: (1, 0)), not a cache."""
    return {k: (after[k][0] - before[k][0], after[k][1] - before[k][1]) for k in after
            if k != "instance_layout"}


def drive(ext, graph, nodes):
    """Single ingests, a batch and retrieval contexts: every cache is used."""
    half = len(nodes) // 2
    W.ingest_all(ext, graph, nodes[:half])
    W.ingest_batches(ext, graph, nodes[half:], 10)
    for _ in range(5):
        ext.retrieval_context(20)


@pytest.fixture(params=["slots", "dict"])
def stream(request):
    kind = thin_host.KINDS[request.param]
    with thin_host.plugged(former, kind=kind):
        s = W.ThinStream(n_ingest=160, pool=200, kind=kind)
        ext, graph = s.fresh(vantor_lacet)
        drive(ext, graph, s.stream[:40])  # each cache learns here
        yield kind, ext, graph, s.stream[40:]


# Caches of paths the stream does not take: a batch records straight into
# its own lists, the configuration is given, no host call fails.
UNUSED = {"at_one_created", "at_one_evicted_edge_ids", "global_LacetConfig", "global_logger"}


def test_every_cache_hits_and_nothing_is_learned_again(stream):
    kind, ext, graph, nodes = stream
    before = vantor_lacet._cache_counts()
    drive(ext, graph, nodes[:60])
    counts = delta(before, vantor_lacet._cache_counts())
    missed = {k: c for k, c in counts.items() if c[1]}
    assert not missed, f"caches that learned again on the {kind.name} host: {missed}"
    assert {k for k, c in counts.items() if not c[0]} == UNUSED
    assert vantor_lacet._cache_counts()["instance_layout"] == (1, 0)


def test_a_change_is_learned_once_then_hits_again(stream):
    kind, ext, graph, nodes = stream
    before = vantor_lacet._cache_counts()
    kind.MemoryEdge.marker = None  # a new version tag for the class
    former.LacetIngestResult.marker = None  # patched and put back: untouched again
    del former.LacetIngestResult.marker
    vars(former)["probe"] = None  # any change of the namespace
    del vars(former)["probe"]
    try:
        drive(ext, graph, nodes[:60])
    finally:
        del kind.MemoryEdge.marker
    counts = delta(before, vantor_lacet._cache_counts())
    relearned = {k for k, (hits, misses) in counts.items() if misses}
    assert {"construct_edge", "at_edge_weight", "global_MemoryEdge", "global_SEMANTIC_SUBTYPE",
            "result_class"} <= relearned
    assert all(counts[k][1] == 1 and counts[k][0] > 0 for k in relearned), counts


# Run in a process of its own: it imports the package afresh, which would
# leave the test session with classes of two module instances.
INTERPRETERS = textwrap.dedent("""
    import gc, sys, threading

    CHECK = '''
    import sys
    if {benchmarks!r} not in sys.path:
        sys.path.insert(0, {benchmarks!r})
    import thin_host, workloads as W
    import vantor_lacet
    from vantor_lacet import former

    kind = thin_host.SLOTS
    with thin_host.plugged(former, kind=kind):
        s = W.ThinStream(n_ingest=40, pool=50, kind=kind)
        ext, graph = s.fresh(vantor_lacet)
        W.ingest_all(ext, graph, s.stream[:20])

        class Edge(kind.MemoryEdge):
            __slots__ = ()

        former.MemoryEdge = Edge  # rebound between ingests: the next one uses it
        created = ext.on_ingest(graph, s.stream[20]).created
        assert created and all(type(e) is Edge for e in created), created
        hits, misses = vantor_lacet._cache_counts()["global_MemoryEdge"]
        W.ingest_all(ext, graph, s.stream[21:])
        now = vantor_lacet._cache_counts()["global_MemoryEdge"]
        # Alone, nothing is learned again; beside another interpreter that
        # changes its namespace, the shared count may cost lookups.
        alone = globals().get("ALONE", True)
        assert now[0] > hits and (now[1] == misses or not alone), (hits, misses, now)
    '''

    def in_new_interpreter(own_gil, alone=True):
        code = f"ALONE = {{alone}}\\n" + CHECK
        try:
            import _interpreters as interpreters
        except ImportError:  # 3.12
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=own_gil)
            try:
                interpreters.run_string(interp, code)
            finally:
                interpreters.destroy(interp)
            return
        interp = interpreters.create("isolated" if own_gil else "legacy")
        try:
            failure = interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        assert failure is None, failure

    def afresh():
        for name in ("vantor_lacet", "vantor_lacet.former"):
            sys.modules.pop(name, None)
        gc.collect()
        exec(CHECK, {{}})

    exec(CHECK, {{}})
    in_new_interpreter(own_gil=False)
    in_new_interpreter(own_gil=True)
    exec(CHECK, {{}})
    # An interpreter with a GIL of its own runs at the same time as this one.
    failures = []
    def beside():
        try:
            in_new_interpreter(own_gil=True, alone=False)
        except BaseException as error:
            failures.append(error)
    worker = threading.Thread(target=beside)
    worker.start()
    for _ in range(3):
        exec(CHECK, {{"ALONE": False}})
    worker.join()
    assert not failures, failures
    for _ in range(12):  # more than an interpreter has dict watchers
        afresh()
    print("ok")
""")


def test_globals_cache_across_interpreters_and_reimports():
    script = INTERPRETERS.format(benchmarks=BENCHMARKS)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]
