"""What a failure tells a newcomer: the note on an import without a host, and
traceback entries naming the package function an exception passed through or was
caught in. The traceback tests run against the native package and its Python
model alike: the native entries are to read as the model's frames do."""
import logging
import os
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path
from types import SimpleNamespace

import pytest

from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata
from conftest import graph_with, node, scripted_service

HERE = Path(__file__).resolve()


def functions(error):
    """Names of the traceback entries below the test's own calling frames."""
    entries = traceback.extract_tb(error.__traceback__)
    while entries and entries[0].filename == __file__:
        entries.pop(0)
    return [e.name for e in entries]


def raised(call):
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("nothing raised")


# -- the import note ------------------------------------------------------------

def test_import_without_a_host_notes_what_is_missing(tmp_path):
    def package(root, edge_source):
        core = root / "vantor" / "core"
        core.mkdir(parents=True)
        (root / "vantor" / "__init__.py").write_text("")
        (core / "__init__.py").write_text("")
        (core / "edge.py").write_text(edge_source)
        return str(root)

    lacking = package(tmp_path / "lacking", "MemoryEdge = RelationshipMetadata = object\n")
    failing = package(tmp_path / "failing", "import no_such_dependency_of_the_host\n")
    script = textwrap.dedent(f"""
        import sys
        sys.path = [p for p in sys.path if 'host_contracts' not in p]
        for path in [None, {lacking!r}, {failing!r}]:
            if path: sys.path.insert(0, path)
            try:
                import vantor_lacet
            except ImportError as error:
                print(repr((type(error).__name__, str(error), error.name, getattr(error, '__notes__', None),
                            'vantor_lacet' in sys.modules, 'vantor_lacet.former' in sys.modules)))
            for name in [m for m in sys.modules if m.startswith('vantor')]:
                del sys.modules[name]
            if path: sys.path.remove(path)
        sys.path.insert(0, {str(HERE.parents[2] / 'host_contracts')!r})
        import vantor_lacet
        print(repr(vantor_lacet.__all__))
    """)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    missing, lacks, fails, imported = [eval(line) for line in out.stdout.splitlines()]
    kind, message, name, notes, *left = missing
    assert (kind, message, name, left) == ("ModuleNotFoundError", "No module named 'vantor'", "vantor",
                                           [False, False])
    assert len(notes) == 1 and "host package that provides the module vantor.core.edge" in notes[0]
    assert "What a host must provide" in notes[0]
    assert lacks[0] == "ImportError" and lacks[2] == "vantor.core.edge" and lacks[3] == notes
    assert lacks[4:] == (False, False)
    # A host that is there but fails on a dependency of its own gets no note.
    assert fails[:4] == ("ModuleNotFoundError", "No module named 'no_such_dependency_of_the_host'",
                         "no_such_dependency_of_the_host", None)
    assert imported == ["LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]


# -- traceback entries: exceptions that leave the package ------------------------

def semantic(source, target, weight):
    return MemoryEdge(source_node=source, target_node=target,
                      relationship=RelationshipMetadata(type=RelationshipType.SEMANTIC, subtype="auto_discovered"),
                      weight=WeightMetadata(current=weight, initial=weight))


def ingest_failure(impl, answer, **config):
    old, new = node("old"), node("new")
    graph = graph_with(old, new)
    ext = impl.package.build_extension(scripted_service(answer(old)), graph,
                                       impl.former.LacetConfig(temporal_chain=False, **config))
    ext._candidate_ids.add("old")
    ext._node_lookup["old"] = old
    return graph, ext, new


@pytest.mark.parametrize("answer, kind", [
    (lambda old: [(old, None)], TypeError),               # None as a similarity
    (lambda old: [(old, 0.5, "extra")], ValueError),      # a result that does not unpack
    (lambda old: [(SimpleNamespace(), 0.5)], AttributeError),  # a candidate without an id
])
def test_errors_raised_in_the_ingest_name_it(impl, answer, kind):
    graph, ext, new = ingest_failure(impl, answer)
    error = raised(lambda: ext.on_ingest(graph, new))
    assert type(error) is kind and error.__cause__ is None and error.__context__ is None
    assert functions(error) == ["on_ingest"]


@pytest.mark.parametrize("make", [lambda: (1, 2, 3), lambda: [1, 2, 3], lambda: dict.fromkeys("abc"),
                                  lambda: iter((1, 2, 3)), lambda: (1,)])
def test_a_result_that_does_not_unpack_says_what_python_says(impl, make):
    # The message differs between versions (3.14 adds the length of a list,
    # tuple or dict): the interpreter running the test is the reference.
    graph, ext, new = ingest_failure(impl, lambda old: [make()])
    error = raised(lambda: ext.on_ingest(graph, new))
    with pytest.raises(ValueError) as python:
        first, second = make()
    assert type(error) is ValueError and str(error) == str(python.value)


def test_errors_in_the_cap_name_the_ingest_then_the_cap(impl):
    graph, ext, new = ingest_failure(impl, lambda old: [(old, 0.9)], max_semantic_edges_per_node=1)
    graph.add_node(node("x"))
    graph.add_edge(semantic("old", "x", None))  # a weight that cannot be compared
    error = raised(lambda: ext.on_ingest(graph, new))
    assert isinstance(error, TypeError)
    assert functions(error)[:2] == ["on_ingest", "_enforce_cap"]


def test_host_frames_stay_below_the_package_entry(impl):
    graph, ext, new = ingest_failure(impl, lambda old: [(old, 0.9)])

    def refuse(edge):
        raise RuntimeError("store is read-only")
    graph.add_edge = refuse
    error = raised(lambda: ext.on_ingest(graph, new))
    assert functions(error) == ["on_ingest", "refuse"] and error.args == ("store is read-only",)


def test_other_methods_and_the_factory_name_themselves(impl):
    graph = graph_with(node("a"))
    ext = impl.package.build_extension(None, graph)
    assert functions(raised(lambda: ext.on_forget([["unhashable"]]))) == ["on_forget"]
    assert functions(raised(lambda: ext.retrieval_context(None))) == ["retrieval_context"]
    bad_graph = SimpleNamespace(all_nodes=lambda: [object()])
    error = raised(lambda: impl.package.build_extension(None, bad_graph))
    assert isinstance(error, AttributeError) and functions(error) == ["build_extension", "__init__"]


def test_a_bad_call_gets_no_entry(impl):
    ext = impl.package.build_extension(None, graph_with())
    assert functions(raised(lambda: ext.on_ingest())) == []


def test_native_entries_belong_to_the_former_module(impl):
    if impl.kind != "native":
        pytest.skip("the model's frames are ordinary Python frames")
    graph, ext, new = ingest_failure(impl, lambda old: [(old, None)])
    error = raised(lambda: ext.on_ingest(graph, new))
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_filename == "vantor_lacet/former"
    assert tb.tb_frame.f_globals is vars(impl.former)
    assert "vantor_lacet/former" in "".join(traceback.format_exception(error))


# -- traceback entries: logged records --------------------------------------------

def logged_functions(record):
    return functions(record.exc_info[1])


def test_logged_records_name_the_function_that_caught(impl, records):
    # The search fails on a service without find_similar: no host frame at all.
    graph, ext, new = ingest_failure(impl, lambda old: [])
    ext._service = object()
    ext.on_ingest(graph, new)
    (search,) = [r for r in records if r.getMessage() == "lacet: similarity search failed"]
    assert logged_functions(search) == ["on_ingest"]

    # A batch member whose ingest fails inside the package.
    records.clear()
    graph, ext, new = ingest_failure(impl, lambda old: [(old, None)])
    result = ext.on_ingest_batch(graph, [new])
    (failed,) = [r for r in records if r.levelno == logging.WARNING]
    assert result.created == [] and failed.getMessage() == "lacet: batched formation failed for new"
    assert logged_functions(failed) == ["on_ingest_batch", "on_ingest"]


def test_rejected_edges_show_the_graph_below_the_ingest(impl, records):
    graph, ext, new = ingest_failure(impl, lambda old: [(old, 0.9)])

    def refuse(edge):
        raise KeyError(edge.target_node)
    graph.add_edge = refuse
    assert ext.on_ingest(graph, new).created == []
    (rejected,) = [r for r in records if r.getMessage() == "lacet: semantic edge rejected"]
    assert logged_functions(rejected) == ["on_ingest", "refuse"]
