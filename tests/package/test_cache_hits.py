"""The caches serve: hits and misses counted by the package itself.

A cache that stops hitting changes no result, only the speed, so no other
test would notice. Each cache counts how often it was found valid and how
often it had to learn afresh. The package offers the counts
(vantor_lacet._cache_counts()) only when VANTOR_LACET_CACHE_COUNTS=1 is in
the environment at import, and the suite's own process imports it without,
so the scenarios here run in a child process: this file run as a script
drives a steady stream on each thin host, and a change that must be learned
once, and prints the counts; the tests check them. The last test does the
same across interpreters and re-imports.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = str(ROOT / "benchmarks")
SWITCH = "VANTOR_LACET_CACHE_COUNTS"


def child_env(value="1"):
    """The environment of a child process: the host's modules on its path,
    the switch set to `value` (None: unset)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (str(ROOT / "host_contracts"), env.get("PYTHONPATH")) if p)
    env.pop(SWITCH, None)
    if value is not None:
        env[SWITCH] = value
    return env


# -- the child process ---------------------------------------------------------

def delta(before, after):
    """The counts' change; "instance_layout" is a state (on: (1, 0)), not a cache."""
    return {k: (after[k][0] - before[k][0], after[k][1] - before[k][1]) for k in after
            if k != "instance_layout"}


def drive(ext, graph, nodes):
    """Single ingests, a batch and retrieval contexts: every cache is used."""
    import workloads as W
    half = len(nodes) // 2
    W.ingest_all(ext, graph, nodes[:half])
    W.ingest_batches(ext, graph, nodes[half:], 10)
    for _ in range(5):
        ext.retrieval_context(20)


def scenarios():
    """{host: {"steady": counts, "change": counts}}, each the counts' change
    over 60 memories after 40 to learn from, on a fresh stream."""
    import workloads as W  # puts the host's modules on the path
    import thin_host
    import vantor_lacet
    from vantor_lacet import former

    def steady(kind, ext, graph, nodes):
        before = vantor_lacet._cache_counts()
        drive(ext, graph, nodes[:60])
        return delta(before, vantor_lacet._cache_counts())

    def change(kind, ext, graph, nodes):
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
        return delta(before, vantor_lacet._cache_counts())

    out = {}
    for name, kind in thin_host.KINDS.items():
        out[name] = {}
        for scenario in (steady, change):
            with thin_host.plugged(former, kind=kind):
                s = W.ThinStream(n_ingest=160, pool=200, kind=kind)
                ext, graph = s.fresh(vantor_lacet)
                drive(ext, graph, s.stream[:40])  # each cache learns here
                out[name][scenario.__name__] = scenario(kind, ext, graph, s.stream[40:])
    out["instance_layout"] = vantor_lacet._cache_counts()["instance_layout"]
    return out


if __name__ == "__main__":
    sys.path.insert(0, BENCHMARKS)
    print(json.dumps(scenarios()))


# -- the tests -----------------------------------------------------------------

@pytest.fixture(scope="module")
def counted():
    done = subprocess.run([sys.executable, __file__], capture_output=True, text=True,
                          env=child_env(), timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


# Caches of paths the stream does not take: a batch records straight into
# its own lists, the configuration is given, no host call fails.
UNUSED = {"at_one_created", "at_one_evicted_edge_ids", "global_LacetConfig", "global_logger"}


@pytest.mark.parametrize("host", ["slots", "dict"])
def test_every_cache_hits_and_nothing_is_learned_again(counted, host):
    counts = counted[host]["steady"]
    missed = {k: c for k, c in counts.items() if c[1]}
    assert not missed, f"caches that learned again on the {host} host: {missed}"
    assert {k for k, c in counts.items() if not c[0]} == UNUSED
    assert counted["instance_layout"] == [1, 0]  # the direct reads are on


@pytest.mark.parametrize("host", ["slots", "dict"])
def test_a_change_is_learned_once_then_hits_again(counted, host):
    counts = counted[host]["change"]
    relearned = {k for k, (hits, misses) in counts.items() if misses}
    assert {"construct_edge", "at_edge_weight", "global_MemoryEdge", "global_SEMANTIC_SUBTYPE",
            "result_class"} <= relearned
    assert all(counts[k][1] == 1 and counts[k][0] > 0 for k in relearned), counts


SHOW = textwrap.dedent("""
    import vantor_lacet, vantor_lacet.former as former
    names = [k for k in vars(vantor_lacet) if not k.startswith("__")]
    print(names, vantor_lacet.__all__, "_cache_counts" in vars(former))
    if "_cache_counts" in names:
        counts = vantor_lacet._cache_counts()
        print("global_MemoryEdge" in counts,
              all(v == (0, 0) for k, v in counts.items() if k != "instance_layout"))
""")


def test_the_counts_are_offered_only_when_asked_for_at_import():
    public = ["former", "LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]
    seen = {}
    for value in (None, "", "0", "yes", "1"):
        done = subprocess.run([sys.executable, "-c", SHOW], capture_output=True, text=True,
                              env=child_env(value), timeout=60)
        assert done.returncode == 0, done.stderr[-3000:]
        seen[value] = done.stdout.splitlines()
    default = [f"{public} {public[1:]} False"]
    assert {v: lines for v, lines in seen.items() if v != "1"} == dict.fromkeys(
        (None, "", "0", "yes"), default)
    assert seen["1"] == [f"{public + ['_cache_counts']} {public[1:]} False",
                         "True True"]


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
                          env=child_env(), timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]
