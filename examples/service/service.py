"""A memory service over HTTP: a graph per user or agent in PostgreSQL with pgvector,
edges formed by vantor_lacet as memories arrive. How to run it: README.md beside this."""
import contextlib
import os
from collections.abc import AsyncIterator
from dataclasses import asdict, dataclass
from typing import Any

from aiohttp import web

from vantor_lacet_stores import errors
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost
from vantor_lacet_stores.testing.cluster import ThrowawayCluster

PORT = int(os.environ.get("LACET_PORT", "8080"))
HOST = web.AppKey("host", AsyncStoreHost)
# The answer to each failure (the nearest class wins). 409 AlreadyStored: it is stored (a
# resent request meets it). 503: nothing stored, send it again (GraphTaken: to the holder).
STATUS = {errors.AlreadyStored: 409, errors.BatchTooLarge: 413, errors.MemoryRefused: 422,
          errors.GraphTaken: 503, errors.GraphLost: 503, errors.StoreFailed: 503,
          KeyError: 404, ValueError: 422, TypeError: 422}  # KeyError: forget, an id not stored


@dataclass
class Memory:  # a node: what the store keeps of a memory
    id: str
    content: str = ""
    embedding: list[float] | None = None
    metadata: Any = None
    content_embedding = property(lambda self: self.embedding)  # the name the host reads


@web.middleware
async def answer_errors(request: web.Request, handler: Any) -> web.StreamResponse:
    try:
        return await handler(request)
    except tuple(STATUS) as exc:
        return web.json_response({"error": type(exc).__name__, "detail": str(exc),
                                  "holder": getattr(exc, "holder", None)},  # where to resend
                                 status=next(STATUS[k] for k in type(exc).__mro__ if k in STATUS))


async def add(request: web.Request) -> web.Response:  # one memory, or a list of them
    body = await request.json()
    nodes = [Memory(**item) for item in (body if isinstance(body, list) else [body])]
    result = await request.app[HOST].add(request.match_info["graph"], nodes)
    return web.json_response(status=201, data={"evicted": result.evicted_edge_ids, "created": [
        {"id": e.id, "source": e.source_node, "target": e.target_node,
         "type": e.relationship.type.value, "weight": e.weight.current} for e in result.created],
        "write": result.write_number, "token": result.lease_token})  # order answers by "write"


async def forget(request: web.Request) -> web.Response:  # {"ids": [...]}
    match await request.json():
        case {"ids": list(ids)} if all(isinstance(i, str) for i in ids):
            done = await request.app[HOST].forget(request.match_info["graph"], ids)
            return web.json_response({"forgotten": ids, "write": done.write_number,
                                      "token": done.lease_token})
    raise web.HTTPUnprocessableEntity(text='expected {"ids": ["...", ...]}')


async def hand_over(request: web.Request) -> web.Response:  # {"to": instance}: a router's call
    to = (await request.json()).get("to")  # the instance the graph's requests go to from now on
    if not isinstance(to, str):
        raise web.HTTPUnprocessableEntity(text='expected {"to": "instance name"}')
    return web.json_response({"held": await request.app[HOST].hand_over(
        request.match_info["graph"], to)})


async def recall(request: web.Request) -> web.Response:  # {"embedding": [...], "max_results": 5}
    body, graph, host = dict(await request.json()), request.match_info["graph"], request.app[HOST]
    await host.open(graph)  # served here: the graph's extension gives the recall's parameters
    context = host.extension(graph).retrieval_context(body.get("max_results", 10))
    found = await host.recall(graph, body.get("embedding"), context)  # one statement, no lock
    return web.json_response([asdict(memory) for memory in found])  # best first, with how reached


async def health(request: web.Request) -> web.Response:
    host = request.app[HOST]  # the graphs this instance serves now
    return web.json_response({"instance": host.instance, "serving": host.serving()})


async def store_host(app: web.Application) -> AsyncIterator[None]:
    with contextlib.ExitStack() as stack:  # no LACET_DSN: a local PostgreSQL to try it out
        dsn = os.environ.get("LACET_DSN") or stack.enter_context(ThrowawayCluster()).conninfo
        app[HOST] = await AsyncStoreHost.connect(
            dsn, dimensions=int(os.environ.get("LACET_DIMENSIONS", "3")),
            instance=os.environ.get("LACET_INSTANCE", f"http://{os.uname().nodename}:{PORT}"),
            take_timeout=float(os.environ.get("LACET_TAKE_TIMEOUT", "6")))
        yield
        await app[HOST].close()  # after the last request: the leases end, the graphs are free


if __name__ == "__main__":
    app = web.Application(middlewares=[answer_errors])
    app.add_routes([web.post("/graphs/{graph}/memories", add), web.get("/health", health),
                    web.delete("/graphs/{graph}/memories", forget),
                    web.post("/graphs/{graph}/hand-over", hand_over),
                    web.post("/graphs/{graph}/recall", recall)])
    app.cleanup_ctx.append(store_host)
    web.run_app(app, host=os.environ.get("LACET_BIND", "127.0.0.1"), port=PORT)  # SIGTERM, SIGINT
