from __future__ import annotations

from collections.abc import Collection, Iterable, Mapping
from typing import Any

import numpy as np

_MIN_ROWS = 1024


def unit_vector(embedding: Any) -> np.ndarray | None:
    """The embedding as a unit float32 vector, or None when it cannot be normalised."""
    if embedding is None:
        return None
    vec = np.asarray(embedding, dtype=np.float32).ravel()
    if vec.size == 0:
        return None
    norm = float(np.linalg.norm(vec.astype(np.float64)))
    if norm == 0.0 or not np.isfinite(norm):
        return None
    return vec / np.float32(norm)


def _size_of(collection: Any) -> int:
    try:
        return len(collection)
    except TypeError:  # a container without a length: no cheap check
        return 0


class VectorStore:
    """The vectors a similarity service searches: one row per node of a float32
    matrix that doubles when full, rows of removed nodes reused.

    Fed or not fed:

    - Fed: the host calls `add(node)` when it stores a memory and `remove(node_id)`
      when it forgets one (`MemoryGraph.add_listener(service)` does both for the
      reference graph). A search then only reads the hits it returns: each hit is
      checked against `candidate_ids` and `node_lookup` by membership, never by
      walking them. The one exception: when `candidate_ids` holds more ids than the
      store holds nodes, some candidate was never added, and the missing ones are
      read from `node_lookup` (one set difference).
    - Not fed (nothing was ever added or removed): every search first brings the
      store in line with `candidate_ids` and `node_lookup`: set differences and a
      dict comparison over all candidates, in C but O(candidates) per call.

    Either way a hit whose `node_lookup` entry is another object than the node the
    row was read from is read again before it is scored, so the similarity of a
    returned pair is always that of the returned node. Changing
    `content_embedding` on a stored node object is not noticed: replace the node,
    or call `invalidate(node_id)`.
    """

    def __init__(self, dim: int | None = None) -> None:
        self._dim = dim
        self._matrix = np.zeros((_MIN_ROWS, dim or 0), dtype=np.float32)
        self._active = np.zeros(_MIN_ROWS, dtype=bool)
        self._size = 0  # rows handed out so far, live or free
        self._row_ids: list[str | None] = []  # row -> id (None: free row)
        self._row_of: dict[str, int] = {}
        self._nodes: dict[str, Any] = {}  # id -> node its row was read from
        self._free: list[int] = []
        self._blank: set[int] = set()  # live rows without a usable vector; they score 0.0
        self._fed = False

    @property
    def dim(self) -> int | None:
        return self._dim

    @property
    def fed(self) -> bool:
        return self._fed

    def __len__(self) -> int:
        """Number of nodes held."""
        return len(self._nodes)

    def __contains__(self, node_id: object) -> bool:
        return node_id in self._nodes

    def add(self, node: Any) -> None:
        """Hold `node`'s embedding under `node.id`, replacing what was held under that id."""
        self._fed = True
        self._store(node.id, node)

    def remove(self, node_id: str) -> None:
        """Drop the node held under `node_id`; an id not held is ignored."""
        self._fed = True
        if node_id in self._nodes:
            self._discard(node_id)

    def invalidate(self, node_id: str | None = None) -> None:
        """Read the embedding of one held node, or of all of them, again."""
        ids = list(self._nodes) if node_id is None else [node_id] if node_id in self._nodes else []
        for nid in ids:
            self._store(nid, self._nodes[nid])

    # -- search helpers shared by the services -----------------------------------

    def find_similar(
        self,
        node: Any,
        exclude: Collection[str] | None = None,
        top_k: int | None = 10,
        threshold: float | None = None,
        exclude_self: bool = True,
        candidate_ids: Iterable[str] | None = None,
        node_lookup: Mapping[str, Any] | None = None,
    ) -> list[tuple[Any, float]]:
        """Return up to `top_k` (candidate node, cosine similarity) pairs, best first.

        Only ids in `candidate_ids` (all of `node_lookup` when None) are returned,
        each resolved through `node_lookup`; ids missing from it are skipped, as are
        the ids in `exclude` and, with `exclude_self`, `node.id`. Pairs below
        `threshold` are dropped (None: no threshold). `top_k` None or <= 0 means no
        limit: callers use those values to say "uncapped", not "nothing".
        Equal similarities are ordered by id. A query embedding of the wrong
        dimension raises ValueError.
        """
        query, limit, skip, candidate_ids = self._begin(
            node, exclude, top_k, exclude_self, candidate_ids, node_lookup)
        assert node_lookup is not None  # checked by _begin
        found: dict[str, Any] = {}
        sims = self._rank(query, limit, threshold, skip, candidate_ids, node_lookup, found)
        return self._finish(found, sims or self._scores(found, query), limit, threshold)

    def _rank(self, query: np.ndarray | None, limit: int | None, threshold: float | None,
              skip: set[str], candidate_ids: Any, node_lookup: Mapping[str, Any],
              found: dict[str, Any]) -> list[float] | None:
        """Fill `found` with the hits to return (id -> node); return their
        similarities, in the order of `found`, when they were worked out on the
        way (None: the caller works them out)."""
        raise NotImplementedError

    def _begin(self, node: Any, exclude: Collection[str] | None, top_k: int | None,
               exclude_self: bool, candidate_ids: Iterable[str] | None,
               node_lookup: Mapping[str, Any] | None
               ) -> tuple[np.ndarray | None, int | None, set[str], Any]:
        """Check the arguments, bring the store in line, and return
        (query unit vector or None, result limit or None, ids to skip, candidate_ids)."""
        if node_lookup is None:
            raise ValueError("node_lookup is required")
        if candidate_ids is None:
            candidate_ids = node_lookup.keys()
        elif not hasattr(candidate_ids, "__contains__"):
            candidate_ids = set(candidate_ids)  # a one-shot iterable: read it once
        query = unit_vector(node.content_embedding)
        if query is not None:
            if self._dim is None:
                self._set_dim(query.size)
            elif query.size != self._dim:
                raise ValueError(f"query embedding has dimension {query.size}, expected {self._dim}")
        if not self._fed:
            self._reconcile(candidate_ids, node_lookup)
        elif _size_of(candidate_ids) > len(self._nodes):
            self._add_missing(candidate_ids, node_lookup)
        skip = set(exclude) if exclude else set()
        if exclude_self:
            skip.add(node.id)
        limit = top_k if top_k is not None and top_k > 0 else None
        return query, limit, skip, candidate_ids

    def _accept(self, rows: Iterable[int], skip: set[str], candidate_ids: Any,
                node_lookup: Mapping[str, Any], found: dict[str, Any]) -> None:
        """Add to `found` (id -> node) the rows that are live candidates."""
        row_ids, nodes = self._row_ids, self._nodes
        for row in rows:
            cid = row_ids[row]
            if cid is None or cid in found or cid in skip or cid not in candidate_ids:
                continue
            current = node_lookup.get(cid)
            if current is None:
                continue
            if current is not nodes[cid]:
                self._store(cid, current)  # replaced behind the store's back: read it again
            found[cid] = current

    def _blank_hits(self, skip: set[str], candidate_ids: Any, node_lookup: Mapping[str, Any],
                    found: dict[str, Any]) -> None:
        """Add the live candidates whose embedding could not be used (they score 0.0)."""
        self._accept(list(self._blank), skip, candidate_ids, node_lookup, found)

    def _scores(self, found: dict[str, Any], query: np.ndarray | None) -> list[float]:
        """Exact cosine of each found node against the query (0.0 without a query)."""
        if query is None or not found:
            return [0.0] * len(found)
        rows = np.fromiter(map(self._row_of.__getitem__, found), dtype=np.intp, count=len(found))
        return np.clip((self._matrix[rows] @ query).astype(np.float64), -1.0, 1.0).tolist()

    @staticmethod
    def _finish(found: dict[str, Any], sims: list[float], limit: int | None,
                threshold: float | None) -> list[tuple[Any, float]]:
        """Threshold, best first (ties by id), the first `limit` pairs."""
        picked = sorted(((s, cid) for s, cid in zip(sims, found) if threshold is None or s >= threshold),
                        key=lambda item: (-item[0], item[1]))
        if limit is not None:
            picked = picked[:limit]
        return [(found[cid], s) for s, cid in picked]

    # -- rows --------------------------------------------------------------------

    def _store(self, node_id: str, node: Any) -> None:
        vec = unit_vector(node.content_embedding)
        if vec is not None and self._dim is None:
            self._set_dim(vec.size)
        if vec is not None and vec.size != self._dim:
            vec = None
        if node_id in self._nodes:
            self._discard(node_id)
        if self._free:
            row = self._free.pop()
            self._row_ids[row] = node_id
        else:
            row = self._size
            if row == self._matrix.shape[0]:
                self._resize(2 * row)
            self._size += 1
            self._row_ids.append(node_id)
        if vec is None:
            self._matrix[row] = 0.0
            self._blank.add(row)
        else:
            self._matrix[row] = vec
        self._active[row] = True
        self._row_of[node_id] = row
        self._nodes[node_id] = node
        if vec is not None:
            self._stored(row, vec)

    def _discard(self, node_id: str) -> None:
        row = self._row_of.pop(node_id)
        del self._nodes[node_id]
        self._active[row] = False
        self._row_ids[row] = None
        if row in self._blank:
            self._blank.discard(row)
        else:
            self._dropped(row)
        self._free.append(row)

    def _stored(self, row: int, vec: np.ndarray) -> None:
        """Called after a usable vector was written to `row`."""

    def _dropped(self, row: int) -> None:
        """Called after the usable vector in `row` was given up."""

    def _reconcile(self, candidate_ids: Any, node_lookup: Mapping[str, Any]) -> None:
        """Hold exactly the candidates, each as the node `node_lookup` maps it to."""
        cand = candidate_ids if isinstance(candidate_ids, (set, frozenset)) else set(candidate_ids)
        nodes = self._nodes
        for cid in nodes.keys() - cand:
            self._discard(cid)
        self._add_missing(cand, node_lookup)
        # Nodes replaced under an unchanged id. The dict comparison runs in C and
        # matches by identity first; it only fails when node_lookup holds other
        # ids too or a node was replaced, and then each held id is checked.
        try:
            fresh = len(node_lookup) == len(nodes) and node_lookup == nodes
        except Exception:  # node types whose == cannot answer (e.g. array fields)
            fresh = False
        if not fresh:
            for cid, held in list(nodes.items()):
                current = node_lookup.get(cid)
                if current is None:
                    self._discard(cid)
                elif current is not held:
                    self._store(cid, current)

    def _add_missing(self, candidate_ids: Any, node_lookup: Mapping[str, Any]) -> None:
        cand = candidate_ids if isinstance(candidate_ids, (set, frozenset)) else set(candidate_ids)
        for cid in cand - self._nodes.keys():
            current = node_lookup.get(cid)
            if current is not None:
                self._store(cid, current)

    def _resize(self, capacity: int) -> None:
        matrix = np.zeros((capacity, self._matrix.shape[1]), dtype=np.float32)
        matrix[: self._size] = self._matrix[: self._size]
        active = np.zeros(capacity, dtype=bool)
        active[: self._size] = self._active[: self._size]
        self._matrix, self._active = matrix, active

    def _set_dim(self, dim: int) -> None:
        # Only called before any usable vector was stored: every existing row is zero.
        self._dim = dim
        self._matrix = np.zeros((self._matrix.shape[0], dim), dtype=np.float32)


class SimilarityService(VectorStore):
    """Exact cosine-similarity search: one matrix-vector product over all held rows.

    Feed it (`add`/`remove`, see `VectorStore`) and a search costs that product
    plus a check of the few best rows; unfed, each search first brings the matrix
    in line with the candidate set. Empty, zero, non-finite or wrongly sized
    candidate embeddings score 0.0.
    """

    def _rank(self, query: np.ndarray | None, limit: int | None, threshold: float | None,
              skip: set[str], candidate_ids: Any, node_lookup: Mapping[str, Any],
              found: dict[str, Any]) -> list[float] | None:
        size = self._size
        if query is None:
            scores = np.zeros(size)
        else:
            scores = np.clip((self._matrix[:size] @ query).astype(np.float64), -1.0, 1.0)
        eligible = self._active[:size].copy()
        if threshold is not None:
            eligible &= scores >= threshold
        rows = np.flatnonzero(eligible)
        # Rows that are not live candidates are passed over; fetch twice what is
        # needed and fetch again, twice as many, while too few were candidates.
        count = rows.size if limit is None else 2 * limit + len(skip)
        while True:
            if count < rows.size:
                # argpartition finds the top set; ties at its edge are settled arbitrarily
                top = rows[np.argpartition(-scores[rows], count - 1)[:count]]
            else:
                top = rows
            found.clear()
            self._accept(top.tolist(), skip, candidate_ids, node_lookup, found)
            if limit is None or len(found) >= limit or top.size == rows.size:
                return None
            count *= 2
