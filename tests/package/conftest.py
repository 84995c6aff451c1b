import importlib
import logging
from types import SimpleNamespace

import pytest

from vantor.core.graph import MemoryGraph
from vantor.core.node import MemoryNode

from recording_host import Service


@pytest.fixture(params=["native", "model"])
def impl(request):
    """The package under test and its pure-Python twin, as (package, former)."""
    name = "vantor_lacet" if request.param == "native" else "lacet_model"
    package = importlib.import_module(name)
    former = importlib.import_module(name + ".former")
    return SimpleNamespace(kind=request.param, package=package, former=former)


@pytest.fixture
def restore_globals(impl):
    """Undo rebinding of module globals done by a test."""
    namespace = vars(impl.former)
    saved = dict(namespace)
    yield impl.former
    namespace.clear()
    namespace.update(saved)


@pytest.fixture
def records():
    """Log records of the package's logger, at every level."""
    logger = logging.getLogger("vantor_lacet.former")
    seen = []

    class Keep(logging.Handler):
        def emit(self, record):
            seen.append(record)

    handler = Keep(level=logging.DEBUG)
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield seen
    logger.removeHandler(handler)
    logger.setLevel(old_level)


def node(node_id, embedding=(1.0, 0.0)):
    return MemoryNode(id=node_id, content_embedding=None if embedding is None else list(embedding))


def graph_with(*nodes):
    graph = MemoryGraph()
    for n in nodes:
        graph.add_node(n)
    return graph


def scripted_service(*answers):
    """A similarity service that gives the scripted answers in turn (an
    exception is raised, a callable is called with the node, the live
    candidate set and dict), then empty ones, and keeps the calls' arguments."""
    return Service(answer=[], script=answers, keep_calls=True)
