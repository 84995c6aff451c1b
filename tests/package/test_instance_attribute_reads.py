"""Host attributes read where the interpreter keeps them, in every state.

The native package reads an attribute that lives in the instance dict
straight from the interpreter's own storage: the class's shared keys give
the name's index into the inline values, and a dict of its own is read at
the entry where the name was last found. Each test below puts a node in a
state one of those reads must notice (a dict made, replaced or written
through, an attribute deleted, another class, a descriptor, a full keys
table, a change during a host call) and checks that the id the package read
is the one Python reads, against the model. The chain edge of each ingest
carries the id read from the node as its target.
"""
from __future__ import annotations

import gc
import itertools
import json
import os
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parents[2]

serial = itertools.count()


class Graph:
    """Accepts every edge; `during` runs inside each has_node call."""

    def __init__(self):
        self.during = None

    def all_nodes(self):
        return []

    def has_node(self, node_id):
        if self.during:
            self.during()
        return True

    def add_edge(self, edge):
        pass

    def get_edge_between(self, a, b):
        return None

    def get_edges_for_node(self, node_id):
        return []

    def remove_edge(self, edge_id):
        pass


class Service:
    def find_similar(self, node, exclude, **kwargs):
        return []


class Start:
    def __init__(self):
        self.id = f"start{next(serial)}"
        self.content_embedding = None


class Reader:
    def __init__(self, impl):
        self.impl = impl
        self.graph = Graph()
        self.ext = impl.package.build_extension(Service(), self.graph, impl.former.LacetConfig())
        self.ext.on_ingest(self.graph, Start())

    def id_of(self, node):
        """The id the package read from `node`: the target of its chain edge
        from an id no node has (so that the site sees no other class)."""
        self.ext._last_id = fresh_id("before")
        (edge,) = self.ext.on_ingest(self.graph, node).created
        return edge.target_node


@pytest.fixture
def reader(impl):
    return Reader(impl)


def node_class(*order, base=object, name="Node"):
    """A plain class whose __init__ sets the attributes in `order`."""

    def __init__(self, node_id, **extra):
        values = {"id": node_id, "content_embedding": None, **extra}
        for key in order:
            setattr(self, key, values[key])

    return type(name, (base,), {"__init__": __init__})


def fresh_id(prefix="n"):
    return f"{prefix}{next(serial)}"


class Late:
    id = "class-id"  # what a node answers from the class until it has its own

    def __init__(self, node_id=None):
        self.content_embedding = None
        if node_id is not None:
            self.id = node_id


def served():
    """Run in a child process with the package's counts on: how often the
    direct reads answered and fell back, around reads of plain nodes and
    around reads of a name the class's keys gained after the site learned."""
    from types import SimpleNamespace as NS

    import vantor_lacet
    from vantor_lacet import former

    reader = Reader(NS(kind="native", package=vantor_lacet, former=former))
    counts = vantor_lacet._cache_counts

    def around(nodes):
        before = counts()["instance_values"]
        assert [reader.id_of(n) for n in nodes] == [n.id for n in nodes]
        after = counts()["instance_values"]
        return [after[0] - before[0], after[1] - before[1]]

    Node = node_class("id", "content_embedding")
    plain = around([Node(fresh_id()) for _ in range(20)])
    assert reader.id_of(Late()) == "class-id"
    late = around([Late(fresh_id()) for _ in range(10)])
    return {"layout": counts()["instance_layout"], "plain": plain, "late": late}


def test_the_direct_reads_serve():
    env = dict(os.environ, VANTOR_LACET_CACHE_COUNTS="1")
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (str(ROOT / "host_contracts"), env.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, __file__], capture_output=True, text=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout)
    assert seen["layout"] == [1, 0]  # the layout check turned them on
    # Two reads of node.id and one of content_embedding an ingest, each direct;
    # the name added to the class's keys since the site learned is read
    # directly too.
    assert seen["plain"][0] >= 20 * 3 and seen["plain"][1] == 0, seen
    assert seen["late"][0] >= 10 * 3 and seen["late"][1] == 0, seen


def test_inline_values_are_read(reader):
    Node = node_class("id", "content_embedding")
    ids = [fresh_id() for _ in range(20)]
    assert [reader.id_of(Node(i)) for i in ids] == ids


def test_materialised_and_written_through_dicts(reader):
    Node = node_class("id", "content_embedding")
    warm = Node(fresh_id())
    assert reader.id_of(warm) == warm.id
    node = Node(fresh_id())
    assert vars(node)["id"] == node.id  # a dict made from the values
    assert reader.id_of(node) == node.id
    vars(node)["id"] = written = fresh_id()  # written through the dict
    assert reader.id_of(node) == written
    vars(node)[0] = 0  # a key that is not a string: a table of the dict's own
    assert reader.id_of(node) == written
    node.id = later = fresh_id()  # the attribute set after that
    assert reader.id_of(node) == later
    vars(node)["id"] = last = fresh_id()
    assert reader.id_of(node) == last
    assert reader.id_of(Node("fresh")) == "fresh"


def test_replaced_dicts(reader):
    Node = node_class("id", "content_embedding")
    Other = node_class("content_embedding", "extra", "id", name="Other")
    node = Node(fresh_id())
    assert reader.id_of(node) == node.id
    node.__dict__ = {"content_embedding": None, "id": "replaced"}
    assert reader.id_of(node) == "replaced"
    # The dict of an instance of a class whose keys are in another order.
    other = Other(fresh_id(), extra=1)
    node.__dict__ = other.__dict__
    assert reader.id_of(node) == other.id
    assert reader.id_of(Node("n-after")) == "n-after"


def test_deleted_and_added_again(reader):
    Node = node_class("id", "content_embedding")
    node = Node(fresh_id())
    assert reader.id_of(node) == node.id
    del node.id
    with pytest.raises(AttributeError):
        reader.id_of(node)
    node.id = again = fresh_id()
    assert reader.id_of(node) == again
    del node.content_embedding
    node.content_embedding = None
    assert reader.id_of(Node("n-del")) == "n-del"


def test_another_insertion_order_in_dicts_of_their_own(reader):
    # A SimpleNamespace keeps a dict of its own at a fixed offset.
    both = [SimpleNamespace(id=fresh_id(), content_embedding=None),
            SimpleNamespace(content_embedding=None, id=fresh_id()),
            SimpleNamespace(id=fresh_id(), content_embedding=None)]
    assert [reader.id_of(n) for n in both] == [n.id for n in both]
    # An exception keeps its dict at a fixed offset, sharing its class's keys.
    First = node_class("id", "content_embedding", base=Exception, name="First")
    Second = node_class("content_embedding", "id", base=Exception, name="Second")
    both = [First(fresh_id()), Second(fresh_id()), First(fresh_id()), Second(fresh_id())]
    assert [reader.id_of(n) for n in both] == [n.id for n in both]
    Node = node_class("id", "content_embedding")
    later = node_class("content_embedding", "id", name="Later")
    mixed = [Node(fresh_id()), later(fresh_id()), Node(fresh_id())]
    assert [reader.id_of(n) for n in mixed] == [n.id for n in mixed]


def test_class_swaps_between_layouts(reader):
    A = node_class("id", "content_embedding", "a", name="A")
    B = node_class("b", "content_embedding", "id", name="B")
    a_template, b_template = A(fresh_id(), a=1), B(fresh_id(), b=2)
    assert reader.id_of(a_template) == a_template.id
    assert reader.id_of(b_template) == b_template.id
    node = A(fresh_id(), a=1)
    assert reader.id_of(node) == node.id
    node.__class__ = B
    assert reader.id_of(node) == node.id
    node.__class__ = A
    node.id = back = fresh_id()
    assert reader.id_of(node) == back
    made = A(fresh_id(), a=1)
    vars(made)  # with a dict made from its values first
    made.__class__ = B
    assert reader.id_of(made) == made.id
    assert reader.id_of(B(fresh_id(), b=3)).startswith("n")


def test_a_name_missing_when_the_site_learns(reader):
    class Later(Late):
        pass

    assert reader.id_of(Later()) == "class-id"
    ids = [fresh_id() for _ in range(10)]
    assert [reader.id_of(Later(i)) for i in ids] == ids


def test_getattr_and_getattribute_subclasses(reader):
    Node = node_class("id", "content_embedding")
    plain = Node(fresh_id())
    assert reader.id_of(plain) == plain.id

    class Fallback(Node):
        def __getattr__(self, name):
            return f"fallback-{name}-{next(serial)}"

    missing = Fallback.__new__(Fallback)
    missing.content_embedding = None
    assert reader.id_of(missing).startswith("fallback-id-")

    class Overriding(Node):
        def __getattribute__(self, name):
            if name == "id":
                return "overridden-" + object.__getattribute__(self, "id")
            return object.__getattribute__(self, name)

    node = Overriding(fresh_id())
    assert reader.id_of(node) == "overridden-" + vars(node)["id"]


def test_a_full_shared_keys_table(reader):
    many = [f"field{i}" for i in range(40)]
    Wide = node_class(*many, "content_embedding", "id", name="Wide")
    nodes = [Wide(fresh_id(), **dict.fromkeys(many, 0)) for _ in range(4)]
    assert [reader.id_of(n) for n in nodes] == [n.id for n in nodes]
    Narrow = node_class("id", "content_embedding", *many, name="Narrow")
    nodes = [Narrow(fresh_id(), **dict.fromkeys(many, 0)) for _ in range(4)]
    assert [reader.id_of(n) for n in nodes] == [n.id for n in nodes]


class DataDescriptor:
    def __get__(self, obj, owner=None):
        return "descriptor"

    def __set__(self, obj, value):
        raise AttributeError("read-only")


def test_a_class_gaining_a_descriptor_for_the_name(reader):
    Node = node_class("id", "content_embedding")
    node = Node(fresh_id())
    assert reader.id_of(node) == node.id
    Node.id = property(lambda self: "property")
    assert reader.id_of(node) == "property"
    Node.id = DataDescriptor()
    assert reader.id_of(node) == "descriptor"
    del Node.id
    assert reader.id_of(node) == vars(node)["id"]
    Node.id = "class value"  # a plain value: the instance's own comes first
    assert reader.id_of(node) == vars(node)["id"]


def test_changes_during_a_host_call(reader):
    """node.id is read before and after graph.has_node; the call changes the
    node's class, frees the class it had and makes classes of other layouts,
    which may take the freed memory."""
    A = node_class("id", "content_embedding", name="A")
    warm = A(fresh_id())
    assert reader.id_of(warm) == warm.id
    node = A(fresh_id())
    expected = node.id
    kept = []

    def during():
        reader.graph.during = None
        nonlocal A, warm
        del A, warm
        later = []
        for i in range(50):
            cls = node_class(*[f"pad{j}" for j in range(i % 5)], "content_embedding", "id",
                             name=f"C{i}")
            later.append(cls(fresh_id(), **{f"pad{j}": j for j in range(i % 5)}))
        node.__class__ = type(later[-1])  # its attributes go with it
        gc.collect()
        kept.extend(later)

    reader.ext._last_id = fresh_id("before")
    reader.graph.during = during
    (edge,) = reader.ext.on_ingest(reader.graph, node).created
    assert edge.target_node == expected and kept
    assert [reader.id_of(n) for n in kept[-5:]] == [n.id for n in kept[-5:]]


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    print(json.dumps(served()))
