"""The import surface: namespaces, records, the extension class, import failure."""
import dataclasses
import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import vantor_lacet
import vantor_lacet.former as former

FORMER_GLOBALS = [
    "annotations", "logging", "dataclass", "field", "Any", "Optional",
    "MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata",
    "share_edge_fields_set", "logger",
    "DEFAULT_SIMILARITY_THRESHOLD", "DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE",
    "DEFAULT_SEED_COUNT", "DEFAULT_MAX_ITERATIONS", "SEMANTIC_SUBTYPE", "CHAIN_SUBTYPE",
    "LacetConfig", "LacetIngestResult", "LacetExtension",
]
MEMBERS = ["__init__", "config", "on_ingest", "on_ingest_batch", "on_forget",
           "retrieval_context", "_are_connected", "_enforce_cap"]


def test_package_and_submodule_namespaces():
    import __future__
    import logging
    import typing
    import vantor.core.edge as edge

    public = [k for k in vars(vantor_lacet) if not k.startswith("__")]
    assert public == ["former", "LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]
    assert vantor_lacet.__all__ == ["LacetConfig", "LacetExtension", "LacetIngestResult", "build_extension"]
    assert type(vantor_lacet.__all__) is list
    for name in ("LacetConfig", "LacetExtension", "LacetIngestResult"):
        assert getattr(vantor_lacet, name) is getattr(former, name)
    star = {}
    exec("from vantor_lacet import *", star)
    assert sorted(k for k in star if k != "__builtins__") == sorted(vantor_lacet.__all__)

    assert [k for k in vars(former) if not k.startswith("__")] == FORMER_GLOBALS
    assert not hasattr(former, "__all__")
    assert former.annotations is __future__.annotations
    assert former.logging is logging and former.Any is typing.Any and former.Optional is typing.Optional
    assert former.dataclass is dataclasses.dataclass and former.field is dataclasses.field
    for name in ("MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata",
                 "share_edge_fields_set"):
        assert getattr(former, name) is getattr(edge, name)
    assert former.logger is logging.getLogger("vantor_lacet.former")
    constants = [(former.DEFAULT_SIMILARITY_THRESHOLD, 0.7, float), (former.DEFAULT_MAX_SEMANTIC_EDGES_PER_NODE, 8, int),
                 (former.DEFAULT_SEED_COUNT, 5, int), (former.DEFAULT_MAX_ITERATIONS, 3, int),
                 (former.SEMANTIC_SUBTYPE, "auto_discovered", str), (former.CHAIN_SUBTYPE, "auto_chain", str)]
    for value, expected, kind in constants:
        assert type(value) is kind and value == expected
    assert sys.modules["vantor_lacet.former"] is former and vantor_lacet.former is former
    assert former.__spec__.name == "vantor_lacet.former" and former.__package__ == "vantor_lacet"


def test_no_docstrings_anywhere():
    E = former.LacetExtension
    things = [vantor_lacet, former, former.LacetConfig, former.LacetIngestResult, E,
              vantor_lacet.build_extension, E.config]
    things += [getattr(E, m) for m in MEMBERS if m != "config"]
    assert [t for t in things if t.__doc__ is not None] == []


def test_records_are_plain_dataclasses():
    C, R = former.LacetConfig, former.LacetIngestResult
    assert dataclasses.is_dataclass(C) and dataclasses.is_dataclass(R)
    assert C.__bases__ == (object,) and R.__bases__ == (object,)
    assert C.__module__ == R.__module__ == "vantor_lacet.former"
    assert C.__qualname__ == "LacetConfig"
    assert C.__annotations__ == {"similarity_threshold": "float", "max_semantic_edges_per_node": "int",
                                 "temporal_chain": "bool", "seed_count": "int", "max_iterations": "int",
                                 "coverage_gossip_weight": "float"}
    assert list(C.__annotations__) == list(C.__match_args__)
    assert R.__annotations__ == {"created": "list[MemoryEdge]", "evicted_edge_ids": "list[str]"}
    assert [f.type for f in dataclasses.fields(R)] == ["list[MemoryEdge]", "list[str]"]
    assert C() == C(0.7, 8, True, 5, 3, 0.25)
    assert repr(C()) == ("LacetConfig(similarity_threshold=0.7, max_semantic_edges_per_node=8, "
                         "temporal_chain=True, seed_count=5, max_iterations=3, coverage_gossip_weight=0.25)")
    assert C() != (0.7, 8, True, 5, 3, 0.25) and C(temporal_chain=False) != C()
    with pytest.raises(TypeError):
        hash(C())
    with pytest.raises(TypeError):
        C(1, 2, 3, 4, 5, 6, 7)
    with pytest.raises(TypeError):
        C(threshold=0.5)
    first, second = R(), R()
    first.created.append(1)
    assert second.created == [] and second.evicted_edge_ids == []
    mine = []
    assert R(created=mine).created is mine
    assert C(similarity_threshold="high").similarity_threshold == "high"


def test_defaults_were_read_once_at_import(restore_globals):
    restore_globals.DEFAULT_SIMILARITY_THRESHOLD = 0.1
    assert former.LacetConfig().similarity_threshold == 0.7


def test_extension_class_introspects_as_a_plain_class():
    E = former.LacetExtension
    assert type(E) is type and E.__bases__ == (object,) and E.__module__ == "vantor_lacet.former"
    assert [k for k in vars(E) if k in MEMBERS] == MEMBERS
    assert isinstance(vars(E)["config"], property) and vars(E)["config"].fset is None
    assert isinstance(vars(E)["_are_connected"], staticmethod)
    for name in MEMBERS:
        if name != "config":
            assert getattr(E, name).__qualname__ == f"LacetExtension.{name}"
    assert str(inspect.signature(E)) == "(service, graph, config=None)"
    names = lambda f: list(inspect.signature(f).parameters)
    assert names(E.__init__) == ["self", "service", "graph", "config"]
    assert inspect.signature(E.__init__).parameters["config"].default is None
    assert names(E.on_ingest) == ["self", "graph", "node"]
    assert names(E.on_ingest_batch) == ["self", "graph", "nodes"]
    assert names(E.on_forget) == ["self", "node_ids"]
    assert names(E.retrieval_context) == ["self", "max_results"]
    assert names(E._are_connected) == ["graph", "a_id", "b_id"]
    assert names(E._enforce_cap) == ["self", "graph", "a_id", "b_id", "similarity", "result"]
    assert names(vantor_lacet.build_extension) == ["service", "graph", "config"]


def test_instances_are_subclassable_weakrefable_and_collected():
    from vantor.core.graph import MemoryGraph

    class Mine(former.LacetExtension):
        pass

    ext = Mine(service=None, graph=MemoryGraph())
    assert list(vars(ext)) == ["_service", "_config", "_last_id", "_candidate_ids", "_node_lookup"]
    ref = weakref.ref(ext)
    ext.loop = ext
    del ext
    import gc
    gc.collect()
    assert ref() is None


def test_init_called_explicitly_and_through_super():
    from vantor.core.graph import MemoryGraph

    graph, config = MemoryGraph(), former.LacetConfig()

    class Mine(former.LacetExtension):
        def __init__(self, graph, tag):
            super().__init__(None, graph=graph, config=config)
            self.tag = tag

    ext = Mine(graph, "t")
    assert ext.config is config and ext.tag == "t" and ext._last_id is None
    assert str(inspect.signature(Mine)) == "(graph, tag)"

    plain = former.LacetExtension(None, graph, config)
    plain._last_id = "m1"
    assert plain.__init__(None, graph) is None
    assert plain._last_id is None and plain.config == former.LacetConfig() and plain.config is not config
    with pytest.raises(TypeError):
        former.LacetExtension.__init__(object(), None, graph)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'graph'"):
        plain.__init__(None)


def test_bad_calls_raise_type_error_before_anything_runs():
    from vantor.core.graph import MemoryGraph

    graph = MemoryGraph()
    with pytest.raises(TypeError, match=r"build_extension\(\) takes from 2 to 3 positional arguments but 4 were given"):
        vantor_lacet.build_extension(None, graph, None, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'cfg'"):
        vantor_lacet.build_extension(None, graph, cfg=None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'graph'"):
        former.LacetExtension(None)
    ext = vantor_lacet.build_extension(None, graph)
    with pytest.raises(TypeError, match=r"on_ingest\(\) missing 2 required positional arguments: 'graph' and 'node'"):
        ext.on_ingest()
    with pytest.raises(TypeError, match="multiple values for argument 'graph'"):
        ext.on_ingest(graph, graph=graph)
    with pytest.raises(AttributeError):
        ext.config = former.LacetConfig()


def test_missing_host_module_fails_the_import_cleanly(tmp_path):
    # A host whose vantor.core.edge lacks a name, then one without vantor at all;
    # each failure leaves nothing in sys.modules and a later import succeeds.
    broken = tmp_path / "broken" / "vantor" / "core"
    broken.mkdir(parents=True)
    (broken.parent / "__init__.py").write_text("")
    (broken / "__init__.py").write_text("")
    (broken / "edge.py").write_text("MemoryEdge = RelationshipMetadata = RelationshipType = WeightMetadata = object\n")
    script = textwrap.dedent(f"""
        import sys
        sys.path = [p for p in sys.path if 'host_contracts' not in p]
        for attempt, path, expected in [(1, None, ModuleNotFoundError), (2, {str(tmp_path / 'broken')!r}, ImportError)]:
            if path: sys.path.insert(0, path)
            try:
                import vantor_lacet
            except ImportError as error:
                assert type(error) is expected, error
                print(attempt, type(error).__name__, error)
            else:
                raise SystemExit('import succeeded')
            assert 'vantor_lacet' not in sys.modules and 'vantor_lacet.former' not in sys.modules
            for name in [m for m in sys.modules if m.startswith('vantor')]:
                del sys.modules[name]
        sys.path.insert(0, {str(__import__('pathlib').Path(__file__).resolve().parents[2] / 'host_contracts')!r})
        import vantor_lacet
        print('ok', vantor_lacet.former.LacetConfig())
    """)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "1 ModuleNotFoundError No module named 'vantor'"
    assert lines[1].startswith("2 ImportError cannot import name 'share_edge_fields_set' from 'vantor.core.edge'")
    assert lines[2].startswith("ok LacetConfig(")
