from __future__ import annotations

from collections.abc import Collection, Iterable, Mapping
from typing import Any

import numpy as np

_MIN_ROWS = 1024


class SimilarityService:
    """Exact cosine-similarity search over a caller-supplied, changing candidate set.

    Each candidate's unit vector is cached in a row of a growing float32 matrix,
    together with the node object it was read from. A call works out which ids
    joined or left the candidate set since the previous call (set arithmetic, no
    per-candidate Python work when `node_lookup` still maps every candidate to
    the cached node) and scores all live rows with one matrix-vector product.

    - An id that leaves the set is deactivated; if it returns, it is read afresh.
    - A different node object under a cached id is re-read.
    - Changing `content_embedding` on a cached node object is not noticed:
      replace the node, or call `invalidate(node_id)`.
    - Empty, zero, non-finite or wrongly sized candidate embeddings score 0.0.
    """

    def __init__(self, dim: int | None = None) -> None:
        self._dim = dim
        self._matrix = np.zeros((_MIN_ROWS, dim or 0), dtype=np.float32)
        self._active = np.zeros(_MIN_ROWS, dtype=bool)
        self._size = 0
        self._row_ids: list[str] = []
        self._row_nodes: list[Any] = []
        self._row_of: dict[str, int] = {}  # live id -> row
        self._seen: dict[str, Any] = {}  # live id -> node the row was read from

    @property
    def dim(self) -> int | None:
        return self._dim

    def invalidate(self, node_id: str | None = None) -> None:
        """Drop the cached vector of one node, or of all nodes; it is re-read when next needed."""
        if node_id is None:
            self._active[:] = False
            self._row_of.clear()
            self._seen.clear()
        elif node_id in self._row_of:
            self._deactivate(node_id)

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

        Only ids in `candidate_ids` (all of `node_lookup` when None) are considered,
        each resolved through `node_lookup`; ids missing from it are skipped, as are
        the ids in `exclude` and, with `exclude_self`, `node.id`. Pairs below
        `threshold` are dropped (None: no threshold). `top_k` None or <= 0 means no
        limit: callers use those values to say "uncapped", not "nothing".
        Equal similarities are ordered by id. A query embedding of the wrong
        dimension raises ValueError.
        """
        if node_lookup is None:
            raise ValueError("node_lookup is required")
        if candidate_ids is None:
            candidate_ids = node_lookup.keys()
        query = self._unit(node.content_embedding)
        if query is not None:
            if self._dim is None:
                self._set_dim(query.size)
            elif query.size != self._dim:
                raise ValueError(f"query embedding has dimension {query.size}, expected {self._dim}")

        self._sync(candidate_ids, node_lookup)

        size = self._size
        eligible = self._active[:size].copy()
        skip = set(exclude) if exclude else set()
        if exclude_self:
            skip.add(node.id)
        for sid in skip:
            row = self._row_of.get(sid)
            if row is not None:
                eligible[row] = False
        if query is None:
            scores = np.zeros(size)
        else:
            scores = np.clip((self._matrix[:size] @ query).astype(np.float64), -1.0, 1.0)
        if threshold is not None:
            eligible &= scores >= threshold
        rows = np.flatnonzero(eligible)
        if top_k is not None and 0 < top_k < rows.size:
            # argpartition finds the top-k set; ties at its edge are settled arbitrarily
            rows = rows[np.argpartition(-scores[rows], top_k - 1)[:top_k]]
        picked = [(float(scores[r]), self._row_ids[r], r) for r in rows.tolist()]
        picked.sort(key=lambda item: (-item[0], item[1]))
        return [(self._row_nodes[r], score) for score, _, r in picked]

    # -- cache maintenance ---------------------------------------------------

    def _sync(self, candidate_ids: Iterable[str], node_lookup: Mapping[str, Any]) -> None:
        """Make the live rows match the candidate ids and the nodes they resolve to."""
        cand = candidate_ids if isinstance(candidate_ids, (set, frozenset)) else set(candidate_ids)
        seen = self._seen
        for cid in seen.keys() - cand:
            self._deactivate(cid)
        for cid in cand - seen.keys():
            cand_node = node_lookup.get(cid)
            if cand_node is not None:
                self._activate(cid, cand_node)
        # Nodes replaced under an unchanged id. The dict comparison runs in C and
        # matches by identity first; it only fails when node_lookup holds other
        # ids too or a node was replaced, and then each live id is checked.
        try:
            fresh = len(node_lookup) == len(seen) and node_lookup == seen
        except Exception:  # node types whose == cannot answer (e.g. array fields)
            fresh = False
        if not fresh:
            for cid, cached in list(seen.items()):
                current = node_lookup.get(cid)
                if current is None:
                    self._deactivate(cid)
                elif current is not cached:
                    self._deactivate(cid)
                    self._activate(cid, current)
        if self._size > 2 * len(seen) + _MIN_ROWS:
            self._compact()

    def _activate(self, node_id: str, node: Any) -> None:
        vec = self._unit(node.content_embedding)
        if vec is not None and self._dim is None:
            self._set_dim(vec.size)
        row = self._size
        if row == self._matrix.shape[0]:
            self._resize(2 * row)
        self._matrix[row] = vec if vec is not None and vec.size == self._dim else 0.0
        self._active[row] = True
        self._row_ids.append(node_id)
        self._row_nodes.append(node)
        self._size += 1
        self._row_of[node_id] = row
        self._seen[node_id] = node

    def _deactivate(self, node_id: str) -> None:
        self._active[self._row_of.pop(node_id)] = False
        del self._seen[node_id]

    def _compact(self) -> None:
        keep = np.flatnonzero(self._active[: self._size])
        capacity = max(_MIN_ROWS, 2 * keep.size)
        matrix = np.zeros((capacity, self._matrix.shape[1]), dtype=np.float32)
        matrix[: keep.size] = self._matrix[keep]
        self._matrix = matrix
        self._active = np.zeros(capacity, dtype=bool)
        self._active[: keep.size] = True
        kept = keep.tolist()
        self._row_ids = [self._row_ids[r] for r in kept]
        self._row_nodes = [self._row_nodes[r] for r in kept]
        self._row_of = {cid: i for i, cid in enumerate(self._row_ids)}
        self._size = keep.size

    def _resize(self, capacity: int) -> None:
        matrix = np.zeros((capacity, self._matrix.shape[1]), dtype=np.float32)
        matrix[: self._size] = self._matrix[: self._size]
        active = np.zeros(capacity, dtype=bool)
        active[: self._size] = self._active[: self._size]
        self._matrix, self._active = matrix, active

    def _set_dim(self, dim: int) -> None:
        # Only called before any valid vector was cached: every existing row is zero.
        self._dim = dim
        self._matrix = np.zeros((self._matrix.shape[0], dim), dtype=np.float32)

    @staticmethod
    def _unit(embedding: Any) -> np.ndarray | None:
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
