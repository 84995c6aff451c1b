"""Which PostgreSQL server holds which graph: configuration, not code.

    servers = ServerMap({"a": "host=db-a dbname=memories", "b": "host=db-b dbname=memories"},
                        graphs={"user-17": "b"})
    servers.place("user-17")   # "b": listed
    servers.place("user-42")   # "a" or "b", by a hash of the name, the same in every process

A graph listed in `graphs` lives on its server; any other is placed by a
stable hash of its name over the servers' names (sorted), so every process
with the same map finds it in the same place. Adding a server moves the
unlisted graphs whose hash now points elsewhere: list a graph before adding
servers to keep it where it is (or move its schema with it).
`ServerMap.from_file(path)` reads the same from JSON:
`{"servers": {"a": "...", "b": "..."}, "graphs": {"user-17": "b"}}`.
"""
from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from pathlib import Path


class ServerMap:
    def __init__(self, servers: Mapping[str, str], graphs: Mapping[str, str] | None = None) -> None:
        if not servers:
            raise ValueError("a server map needs at least one server")
        self.servers = dict(servers)
        self.graphs = dict(graphs or {})
        for graph, server in self.graphs.items():
            if server not in self.servers:
                raise ValueError(f"graph {graph!r} is mapped to unknown server {server!r}")
        self._names = sorted(self.servers)

    @classmethod
    def single(cls, conninfo: str) -> ServerMap:
        return cls({"main": conninfo})

    @classmethod
    def from_file(cls, path: str | Path) -> ServerMap:
        data = json.loads(Path(path).read_text())
        return cls(data["servers"], data.get("graphs"))

    def place(self, graph: str) -> str:
        """The name of the server that holds `graph`."""
        server = self.graphs.get(graph)
        if server is not None:
            return server
        digest = hashlib.sha256(graph.encode("utf-8", "surrogatepass")).digest()
        return self._names[int.from_bytes(digest[:8], "big") % len(self._names)]
