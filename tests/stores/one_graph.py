"""The sync host serving one graph of a throwaway cluster, driven as a single
graph's host: `add(nodes)`, `forget(ids)`, `ext`, and its statements counted."""
from __future__ import annotations

from typing import Any

from vantor_lacet_stores import StoreHost


class OneGraph:
    def __init__(self, graph: Any, config: Any = None, **options: Any) -> None:
        """`graph`: the PostgresGraph whose schema is served (for the checks)."""
        self.name = graph.graph_name
        options.setdefault("lease_seconds", None)
        self.host = StoreHost.connect(graph.conninfo, graph.dimensions, config=lambda _: config,
                                      ef_search=graph.ef_search, max_size=2, **options)
        self.host.open(self.name)

    @property
    def round_trips(self) -> int:
        return self.host.statements

    @property
    def ext(self) -> Any:
        return self.host.extension(self.name)

    def add(self, nodes: Any) -> Any:
        return self.host.add(self.name, nodes)

    def forget(self, ids: Any) -> None:
        self.host.forget(self.name, ids)

    def close(self) -> None:
        self.host.close()

    def __enter__(self) -> OneGraph:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
