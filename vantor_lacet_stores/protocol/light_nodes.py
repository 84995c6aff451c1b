"""The nodes an extension of `StoreHost` or `AsyncStoreHost` holds: an id and the
mark that the memory has a vector, which lives in the store and is searched
there. The package asks nothing else of a candidate."""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any


class VectorInStore:
    """The `content_embedding` of a light node: the vector is in the store, and
    the search runs there, so the process keeps none."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<vector in the store>"


IN_STORE = VectorInStore()


class LightNode:
    """A stored memory as the extension's candidate index holds it: its id and the
    mark that it has a vector. About 100 bytes with its id, and no dict."""

    __slots__ = ("id", "content_embedding")

    def __init__(self, node_id: str, content_embedding: Any = IN_STORE) -> None:
        self.id = node_id
        self.content_embedding = content_embedding

    def __repr__(self) -> str:
        return f"LightNode({self.id!r})"


class LightNodes:
    """What `build_extension` is given as its graph: the stored memories that have
    a vector, as light nodes (`all_nodes`). Nothing else is asked of it."""

    def __init__(self, ids: Iterable[str]) -> None:
        self.nodes = [LightNode(node_id) for node_id in ids]

    def all_nodes(self) -> list[LightNode]:
        return self.nodes
