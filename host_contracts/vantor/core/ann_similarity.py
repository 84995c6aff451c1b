from __future__ import annotations

from collections.abc import Collection, Iterable, Mapping
from typing import Any

import numpy as np
from usearch.index import Index


class _Entry:
    __slots__ = ("label", "embedding", "vector")

    def __init__(self, label: int | None, embedding: object, vector: np.ndarray | None) -> None:
        self.label = label          # key in the usearch index; None: not indexable
        self.embedding = embedding  # the embedding object the vector was made from
        self.vector = vector        # unit float32 vector, or None


class ApproximateSimilarityService:
    """Approximate cosine-similarity search (HNSW, via usearch) over a changing candidate set.

    Same call and result as `SimilarityService.find_similar`, but the ranking comes
    from a graph index, so a true neighbour can occasionally be missed.

    Vectors are indexed lazily: each call indexes the candidates it has not seen yet
    (resolving them through `node_lookup`) and re-indexes a node whose
    `content_embedding` object was replaced. The index is asked for more neighbours
    than needed (`overfetch` times `top_k`, doubling while too many hits are filtered
    out) and every hit is checked against the live `candidate_ids`, so an id that left
    the set is never returned. Such ids are dropped from the index when a query meets
    them, and all at once when they come to outnumber the live candidates.

    Returned similarities are recomputed as exact dot products of the unit vectors,
    so the threshold is applied to true cosine values. Embeddings that are empty,
    zero, not finite or of the wrong dimension score exactly 0.0, as in the exact
    service; a query without a usable embedding scores 0.0 against everything.
    """

    def __init__(
        self,
        dim: int | None = None,
        *,
        connectivity: int = 16,
        expansion_add: int = 128,
        expansion_search: int = 64,
        overfetch: int = 4,
    ) -> None:
        self._dim = dim
        self._params = dict(connectivity=connectivity, expansion_add=expansion_add,
                            expansion_search=expansion_search)
        self._overfetch = max(1, int(overfetch))
        self._index: Index | None = None
        self._entries: dict[str, _Entry] = {}
        self._ids_by_label: dict[int, str] = {}
        self._unindexable: set[str] = set()  # ids whose entry has no vector
        self._next_label = 0

    @property
    def dim(self) -> int | None:
        return self._dim

    def __len__(self) -> int:
        """Number of vectors currently in the index."""
        return len(self._ids_by_label)

    def invalidate(self, node_id: str | None = None) -> None:
        """Forget the indexed vector of one node, or of all nodes when no id is given."""
        if node_id is None:
            self._index = None
            self._entries.clear()
            self._ids_by_label.clear()
            self._unindexable.clear()
        else:
            self._drop(node_id)

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
        limit. Equal similarities are ordered by id. A query embedding of the wrong
        dimension raises ValueError.
        """
        if node_lookup is None:
            raise ValueError("node_lookup is required")
        if candidate_ids is None:
            candidate_ids = node_lookup.keys()
        if not hasattr(candidate_ids, "__contains__"):
            candidate_ids = set(candidate_ids)  # a one-shot iterable: read it once

        query = self._unit(node.content_embedding)
        if query is not None:
            if self._dim is None:
                self._dim = query.size
            elif query.size != self._dim:
                raise ValueError(f"query embedding has dimension {query.size}, expected {self._dim}")

        skip = set(exclude) if exclude else set()
        if exclude_self:
            skip.add(node.id)
        limit = top_k if top_k is not None and top_k > 0 else None

        present = self._sync(candidate_ids, node_lookup)
        if len(self._entries) - present > max(1024, present):
            self._sweep(candidate_ids)

        def live(cid: str) -> bool:
            return cid not in skip and cid in candidate_ids and node_lookup.get(cid) is not None

        scored: dict[str, float] = {}
        if query is None:
            # Nothing to rank by: every live candidate scores 0.0.
            for cid in candidate_ids:
                if live(cid):
                    scored[cid] = 0.0
        else:
            scored.update(self._search(query, limit, threshold, live, candidate_ids))
            for cid in self._unindexable:
                if live(cid):
                    scored[cid] = 0.0

        hits = [(cid, s) for cid, s in scored.items() if threshold is None or s >= threshold]
        hits.sort(key=lambda h: (-h[1], h[0]))
        if limit is not None:
            hits = hits[:limit]
        return [(node_lookup[cid], s) for cid, s in hits]

    # -- internals -----------------------------------------------------------

    def _search(self, query, limit, threshold, live, candidate_ids) -> dict[str, float]:
        index = self._index
        size = len(self._ids_by_label)
        if index is None or size == 0:
            return {}
        count = size if limit is None else min(size, max(limit * self._overfetch, limit + 16))
        while True:
            matches = index.search(query, count, threads=1)
            keys = np.asarray(matches.keys).tolist()
            scored: dict[str, float] = {}
            gone: list[str] = []
            ids_by_label = self._ids_by_label
            for key in keys:
                cid = ids_by_label.get(key)
                if cid is None:
                    continue
                if cid not in candidate_ids:
                    gone.append(cid)
                elif live(cid):
                    scored[cid] = 0.0
            if scored:
                ids = list(scored)
                vecs = np.stack([self._entries[cid].vector for cid in ids])
                sims = np.clip((vecs @ query).astype(np.float64), -1.0, 1.0).tolist()
                scored = dict(zip(ids, sims))
            for cid in gone:
                self._drop(cid)
            if limit is None or count >= size:
                return scored
            good = sum(1 for s in scored.values() if threshold is None or s >= threshold)
            if good >= limit:
                return scored
            # The index returns hits roughly best first: once its worst hit falls
            # below the threshold, asking for more cannot add a qualifying one.
            if threshold is not None and keys:
                worst = 1.0 - float(np.asarray(matches.distances)[-1])
                if worst < threshold - 1e-3:
                    return scored
            size = len(self._ids_by_label)
            count = min(size, count * 2)

    def _sync(self, candidate_ids, node_lookup) -> int:
        """Index the candidates not indexed yet (or whose embedding object changed).
        Returns how many candidates are indexed now."""
        entries = self._entries
        new_keys: list[int] = []
        new_vecs: list[np.ndarray] = []
        present = 0
        for cid in candidate_ids:
            cand = node_lookup.get(cid)
            if cand is None:
                continue
            emb = cand.content_embedding
            entry = entries.get(cid)
            if entry is None or entry.embedding is not emb:
                if entry is not None:
                    self._drop(cid)
                entry = self._make_entry(cid, emb)
                if entry.label is not None:
                    new_keys.append(entry.label)
                    new_vecs.append(entry.vector)
            present += 1
        if new_keys:
            if self._index is None:
                self._index = Index(ndim=self._dim, metric="cos", dtype="f32", **self._params)
            # One thread: the graph then comes out the same on every run.
            self._index.add(np.asarray(new_keys, dtype=np.uint64), np.stack(new_vecs), threads=1)
        return present

    def _make_entry(self, cid: str, emb: Any) -> _Entry:
        vec = self._unit(emb)
        if vec is not None and self._dim is None:
            self._dim = vec.size
        if vec is None or vec.size != self._dim:
            entry = _Entry(None, emb, None)
            self._unindexable.add(cid)
        else:
            label = self._next_label
            self._next_label += 1
            entry = _Entry(label, emb, vec)
            self._ids_by_label[label] = cid
        self._entries[cid] = entry
        return entry

    def _drop(self, cid: str) -> None:
        entry = self._entries.pop(cid, None)
        if entry is None:
            return
        self._unindexable.discard(cid)
        if entry.label is not None:
            del self._ids_by_label[entry.label]
            self._index.remove(entry.label)

    def _sweep(self, candidate_ids) -> None:
        for cid in [cid for cid in self._entries if cid not in candidate_ids]:
            self._drop(cid)

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
