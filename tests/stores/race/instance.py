"""One instance of a service that serves graphs through an `AsyncStoreHost`,
for the tests and the benchmark that kill, pause and restart instances.

    python instance.py --name i0 --socket /tmp/x/i0.sock --servers '"host=..."' \
        --log /tmp/x/i0.log --dimensions 16 --lease 2.0 --idle 6.0

It answers JSON lines on a Unix socket, one answer a request, on as many
connections as the clients open:

    {"op": "add", "graph": "g", "nodes": [[id, content, [v0, v1, ...]], ...]}
    {"op": "forget", "graph": "g", "ids": [...]}
    {"op": "hand_over", "graph": "g", "to": holder name}
    {"op": "ping"}

with {"ok": true, ...} (an add's and a forget's answer carry the `token` and
`writes` of the result, a hand-over's whether the instance `held` the graph) or {"ok": false, "error": type name, "message":
text, "holder": the holder named by GraphTaken}. `--servers` is JSON: a
conninfo string, or {"servers": {name: conninfo}, "graphs": {graph: name}}
for a `ServerMap`.

Every write the host records in `write_log` is appended to the `--log` file
(one JSON line [graph, token, writes, instance, pid]) before the request that
made it is answered, so a write that was acknowledged is always in the file,
even when the process is killed right after; a failed call is logged as
[graph, null, null, instance, pid, error type, time.monotonic()]. SIGTERM
closes the host (its leases are released) and ends the process, and so does
the end of the process that started it.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[2] / "host_contracts"))

import vantor_lacet  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost  # noqa: E402
from vantor_lacet_stores.hosts.server_map import ServerMap  # noqa: E402

THRESHOLD = 0.3
CAP = 4


def config(graph: str | None = None) -> Any:
    return vantor_lacet.LacetConfig(similarity_threshold=THRESHOLD, max_semantic_edges_per_node=CAP)


def servers_from(text: str) -> Any:
    value = json.loads(text)
    if isinstance(value, str):
        return value
    return ServerMap(value["servers"], graphs=value.get("graphs", {}))


class Instance:
    def __init__(self, host: Any, name: str, log_path: str) -> None:
        self.host = host
        self.name = name
        self.log_fd = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.logged = 0

    def log_line(self, entry: list[Any]) -> None:
        os.write(self.log_fd, (json.dumps(entry[:3] + [self.name, os.getpid()] + entry[3:])
                               + "\n").encode())

    def flush_log(self) -> None:
        """Append the writes recorded since the last flush, in one write()."""
        log = self.host.write_log
        if self.logged == len(log):
            return
        lines = "".join(json.dumps([graph, token, writes, self.name, os.getpid()]) + "\n"
                        for graph, token, writes in log[self.logged:])
        self.logged = len(log)
        os.write(self.log_fd, lines.encode())

    async def answer(self, request: dict[str, Any]) -> dict[str, Any]:
        op = request["op"]
        if op == "ping":
            return {"ok": True, "pid": os.getpid()}
        graph = request["graph"]
        if op == "add":
            nodes = [MemoryNode(id=node_id, content=content,
                                content_embedding=np.asarray(vec, dtype=np.float32))
                     for node_id, content, vec in request["nodes"]]
            result = await self.host.add(graph, nodes)
            return {"ok": True, "token": result.lease_token, "writes": result.write_number}
        if op == "forget":
            done = await self.host.forget(graph, request["ids"])
            return {"ok": True, "token": done.lease_token, "writes": done.write_number}
        if op == "hand_over":
            return {"ok": True, "held": await self.host.hand_over(graph, request["to"])}
        raise ValueError(f"unknown op {op!r}")

    async def serve_connection(self, reader: asyncio.StreamReader,
                               writer: asyncio.StreamWriter) -> None:
        try:
            while line := await reader.readline():
                request = json.loads(line)
                try:
                    answer = await self.answer(request)
                except Exception as exc:  # answered, never fatal to the instance
                    answer = {"ok": False, "error": type(exc).__name__, "message": str(exc),
                              "holder": getattr(exc, "holder", None)}
                    self.log_line([request.get("graph"), None, None, type(exc).__name__,
                                   time.monotonic()])
                finally:
                    self.flush_log()
                writer.write(json.dumps(answer).encode() + b"\n")
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()


async def main(args: argparse.Namespace) -> None:
    host = await AsyncStoreHost.connect(servers_from(args.servers), args.dimensions,
                                        instance=args.name, lease_seconds=args.lease,
                                        take_timeout=0.0, config=config, timeout=args.timeout,
                                        idle_release=args.idle)
    instance = Instance(host, args.name, args.log)
    if os.path.exists(args.socket):  # left by a killed predecessor
        os.unlink(args.socket)
    server = await asyncio.start_unix_server(instance.serve_connection, path=args.socket)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)

    async def orphaned() -> None:  # the test or benchmark that started it is gone
        while os.getppid() == parent:
            await asyncio.sleep(1.0)
        stop.set()

    parent = os.getppid()
    watch = asyncio.create_task(orphaned())
    print("ready", flush=True)
    try:
        await stop.wait()
    finally:
        watch.cancel()
        server.close()
        await host.close()
        instance.flush_log()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--socket", required=True)
    parser.add_argument("--servers", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--dimensions", type=int, default=16)
    parser.add_argument("--lease", type=float, default=2.0)
    parser.add_argument("--timeout", type=float, default=1.0, help="for a pooled connection")
    parser.add_argument("--idle", type=float, default=None,
                        help="idle_release of the host (default: none)")
    asyncio.run(main(parser.parse_args()))
