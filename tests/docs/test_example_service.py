"""The memory service under examples/service runs as its README says: a process of
its own on a loopback port, driven over HTTP, against a throwaway PostgreSQL; what
it answers is checked against what the database holds."""
import ast
import asyncio
import importlib.util
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SERVICE = ROOT / "examples" / "service" / "service.py"
NEEDS = ("aiohttp", "psycopg", "psycopg_pool", "numpy")
missing = [name for name in NEEDS if importlib.util.find_spec(name) is None]
# The wheel's own package tests run in an environment with none of these: the wheel
# check runs the service there from an environment of its own (tools/test_wheel.sh).
pytestmark = pytest.mark.skipif(bool(missing), reason=f"the service needs {', '.join(missing)}")


def pgvector_server():
    from vantor_lacet_stores.testing.cluster import has_pgvector
    try:
        return has_pgvector()
    except FileNotFoundError:
        return False


def code_lines(path):
    """Lines that are neither blank, comments nor docstrings."""
    text = path.read_text()
    docs = set()
    for node in ast.walk(ast.parse(text)):
        body = getattr(node, "body", None)
        if isinstance(body, list) and body and isinstance(body[0], ast.Expr) \
                and isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str):
            docs.update(range(body[0].lineno, body[0].end_lineno + 1))
    return [line for number, line in enumerate(text.splitlines(), 1)
            if line.strip() and not line.strip().startswith("#") and number not in docs]


def test_the_service_a_user_writes_is_short():
    assert len(code_lines(SERVICE)) <= 76


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Service:
    """The example in a process of its own; `call` sends a request and returns the
    status and the decoded JSON answer."""

    def __init__(self, env):
        self.port = free_port()
        self.env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        # the host's `vantor` package: here the reference host of the repository
        self.env.update(PYTHONPATH=str(ROOT / "host_contracts"), LACET_PORT=str(self.port), **env)
        self.proc = subprocess.Popen([sys.executable, str(SERVICE)], env=self.env, cwd="/",
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        give_up = time.monotonic() + 120
        while True:
            try:
                self.health = self.call("GET", "/health")[1]
                return
            except (urllib.error.URLError, ConnectionError):
                if self.proc.poll() is not None or time.monotonic() > give_up:
                    self.stop()
                    pytest.fail(f"the service did not start:\n{self.proc.stdout.read()}")
                time.sleep(0.2)

    def call(self, method, path, body=None):
        data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=data,
                                         method=method)
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as answer:
            text = answer.read()
            return answer.code, json.loads(text) if text.startswith(b"{") else text.decode()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


@pytest.fixture(scope="module")
def cluster():
    if not pgvector_server():
        pytest.skip("no PostgreSQL server with pgvector found")
    from vantor_lacet_stores.testing.cluster import ThrowawayCluster
    with ThrowawayCluster() as cluster:
        yield cluster


@pytest.fixture(scope="module")
def service(cluster):
    running = Service({"LACET_DSN": cluster.conninfo, "LACET_INSTANCE": "service-a"})
    yield running
    running.stop()


def stored(cluster, graph):
    from vantor_lacet_stores.graphs.postgres_graph import PostgresGraph
    with PostgresGraph(cluster.conninfo, graph=graph) as pg:
        return {n.id: n for n in pg.all_nodes()}, pg.edges(), pg.last_ingested()


def memory(node_id, embedding, **more):
    return {"id": node_id, "content": f"text of {node_id}", "embedding": embedding, **more}


def test_single_and_batch_adds_are_stored(service, cluster):
    status, answer = service.call("POST", "/graphs/alice/memories",
                                  memory("a1", [1, 0, 0], metadata={"source": "chat"}))
    assert (status, answer) == (201, {"created": [], "evicted": [], "write": 1, "token": 1})
    status, answer = service.call("POST", "/graphs/alice/memories",
                                  [memory("a2", [0.9, 0.1, 0]), memory("a3", [0, 1, 0])])
    assert status == 201
    pairs = {(e["source"], e["target"], e["type"]) for e in answer["created"]}
    assert {("a1", "a2", "temporal"), ("a2", "a3", "temporal")} <= pairs
    nodes, edges, last = stored(cluster, "alice")
    assert set(nodes) == {"a1", "a2", "a3"} and last == "a3"
    assert nodes["a1"].metadata == {"source": "chat"} and nodes["a2"].content == "text of a2"
    assert list(nodes["a3"].content_embedding) == [0, 1, 0]
    assert {e.id for e in edges} == {e["id"] for e in answer["created"]}
    assert service.call("GET", "/health")[1] == {"instance": "service-a", "serving": ["alice"]}


def test_refused_requests_store_nothing(service, cluster):
    service.call("POST", "/graphs/bob/memories", memory("b1", [1, 0, 0]))
    before = stored(cluster, "bob")
    status, answer = service.call("POST", "/graphs/bob/memories", memory("b1", [0, 1, 0]))
    assert status == 409 and answer["error"] == "AlreadyStored"
    # a batch with one memory stored already: none of it is stored
    status, _ = service.call("POST", "/graphs/bob/memories",
                             [memory("b2", [0, 1, 0]), memory("b1", [0, 0, 1])])
    assert status == 409
    for bad in (memory("b3", [1, 0]),                   # another dimension
                memory("b3", [1, "x", 0]),              # not a number
                memory("b3", [1, 0, 0], colour="red"),  # a field a memory has not
                [memory("b3", [1, 0, 0]), "b4"],        # a batch member that is no memory
                {"id": 7, "embedding": [1, 0, 0]}):     # an id that is not text
        status, answer = service.call("POST", "/graphs/bob/memories", bad)
        assert status in (400, 422), (bad, status, answer)
    assert service.call("POST", "/graphs/bob/memories", b"{not json")[0] in (400, 422)
    # more than the host's max_batch (200 by default) in one request
    status, answer = service.call("POST", "/graphs/bob/memories",
                                  [memory(f"big{i}", [1, 0, i]) for i in range(201)])
    assert (status, answer["error"]) == (413, "BatchTooLarge")
    after = stored(cluster, "bob")
    assert set(after[0]) == set(before[0]) == {"b1"} and after[1:] == before[1:]
    # the service goes on after the refusals
    assert service.call("POST", "/graphs/bob/memories", memory("b2", [0, 1, 0]))[0] == 201
    assert stored(cluster, "bob")[2] == "b2"


def test_forget(service, cluster):
    service.call("POST", "/graphs/carol/memories",
                 [memory("c1", [1, 0, 0]), memory("c2", [1, 0.1, 0]), memory("c3", [0, 0, 1])])
    status, answer = service.call("DELETE", "/graphs/carol/memories", {"ids": ["c2"]})
    assert (status, answer) == (200, {"forgotten": ["c2"], "write": 2, "token": 1})
    nodes, edges, _ = stored(cluster, "carol")
    assert set(nodes) == {"c1", "c3"}
    assert all("c2" not in (e.source_node, e.target_node) for e in edges)
    # one id not stored: 404, and the other one stays
    status, answer = service.call("DELETE", "/graphs/carol/memories", {"ids": ["c3", "nope"]})
    assert status == 404 and "nope" in answer["detail"]
    assert set(stored(cluster, "carol")[0]) == {"c1", "c3"}
    for bad in ({"ids": "c3"}, {"ids": [3]}, ["c3"]):
        assert service.call("DELETE", "/graphs/carol/memories", bad)[0] == 422
    assert set(stored(cluster, "carol")[0]) == {"c1", "c3"}


def test_a_router_hands_a_graph_over(service, cluster):
    """The graph goes to the instance named, which takes it at once and goes on
    with its write numbers; anyone else meets GraphTaken naming it."""
    import numpy as np
    from vantor.core.node import MemoryNode
    from vantor_lacet_stores.errors import GraphTaken
    from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
    service.call("POST", "/graphs/gina/memories", memory("g1", [1, 0, 0]))
    for held in (True, False):  # the second time it no longer holds it
        assert service.call("POST", "/graphs/gina/hand-over", {"to": "service-b"}) == (
            200, {"held": held})
    assert service.call("POST", "/graphs/gina/hand-over", {"to": 3})[0] == 422

    async def elsewhere():
        hosts = [await AsyncStoreHost.connect(cluster.conninfo, dimensions=3, instance=name,
                                              take_timeout=0.0)
                 for name in ("service-c", "service-b")]
        try:
            with pytest.raises(GraphTaken) as taken:
                await hosts[0].open("gina")
            result = await hosts[1].add("gina", [MemoryNode(
                id="g2", content_embedding=np.array([0, 1, 0], np.float32))])
            return taken.value.holder, result.write_number, result.lease_token
        finally:
            for host in hosts:
                await host.close()

    assert asyncio.run(elsewhere()) == ("service-b", 2, 2)
    assert "gina" not in service.call("GET", "/health")[1]["serving"]


def test_recall(service, cluster):
    service.call("POST", "/graphs/frank/memories",
                 [memory("f1", [1, 0, 0]), memory("f2", [0, 1, 0]), memory("f3", [0, 0, 1])])
    status, answer = service.call("POST", "/graphs/frank/recall",
                                  {"embedding": [1, 0, 0.1], "max_results": 2})
    # f2, at right angles to the query, comes before the nearer f3 by its chain edge to f1
    assert status == 200 and [m["id"] for m in answer] == ["f1", "f2"]
    assert answer[0]["content"] == "text of f1" and answer[0]["hop"] == 0
    for bad in ({"embedding": [1, 0]}, {"embedding": [1, "x", 0]}, ["f1"]):
        assert service.call("POST", "/graphs/frank/recall", bad)[0] == 422


def test_sigterm_ends_the_leases_at_once(service, cluster):
    """Last of the module: stops the service."""
    from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
    service.call("POST", "/graphs/dave/memories", memory("d1", [1, 0, 0]))
    serving = service.call("GET", "/health")[1]["serving"]
    assert "dave" in serving
    service.proc.send_signal(signal.SIGTERM)
    assert service.proc.wait(timeout=30) == 0, service.proc.stdout.read()

    async def take_over():  # no waiting: a lease still held raises GraphTaken
        host = await AsyncStoreHost.connect(cluster.conninfo, dimensions=3, instance="service-b",
                                            take_timeout=0.0)
        try:
            for graph in serving:
                await host.open(graph)
            return sorted(host.serving())
        finally:
            await host.close()

    assert asyncio.run(take_over()) == sorted(serving)


def test_without_a_dsn_it_runs_on_a_throwaway_server_and_removes_it(cluster):
    """The try-out of the README: no LACET_DSN, a server of its own, gone at the end."""
    import tempfile
    folder = Path(tempfile.mkdtemp(prefix="lacet-example-"))
    folder.chmod(0o755)  # the server may run as another user (when the tests run as root)
    try:
        service = Service({"TMPDIR": str(folder)})
        try:
            assert [p.name.startswith("lacet-pg-") for p in folder.iterdir()] == [True]
            assert service.call("POST", "/graphs/eve/memories", memory("e1", [0, 0, 1]))[0] == 201
            assert service.call("DELETE", "/graphs/eve/memories", {"ids": ["e1"]})[0] == 200
            service.proc.send_signal(signal.SIGINT)
            assert service.proc.wait(timeout=60) == 0, service.proc.stdout.read()
        finally:
            service.stop()
        assert list(folder.iterdir()) == []
    finally:
        shutil.rmtree(folder, ignore_errors=True)
