from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
from usearch.index import Index

from vantor.core.similarity import VectorStore

# The index ranks with a half-precision copy of the vectors; its similarities can
# be off by this much, so a stop decision taken on them keeps this margin.
_RANK_TOLERANCE = 0.01


class ApproximateSimilarityService(VectorStore):
    """Approximate cosine-similarity search over an HNSW graph (usearch).

    Same call and result as `SimilarityService.find_similar`, but the ranking comes
    from the graph index, so a true neighbour can occasionally be missed. Feed it:
    `add(node)` when the host stores a memory, `remove(node_id)` when it forgets one
    (`MemoryGraph.add_listener(service)` does both). Each vector is inserted into
    the index once, at `add`, and a search then costs O(log n) in the number of
    vectors held: one index query, and a membership check in `candidate_ids` and
    `node_lookup` for each hit. An unfed service brings itself in line with the
    candidate set at every search instead, which costs O(candidates) per call.

    The index is asked for more neighbours than needed (`overfetch` times `top_k`,
    plus the ids to skip)
    and asked again for twice as many while too many hits are not live candidates;
    with a threshold, it stops as soon as the index's worst hit lies below it.
    Returned similarities are exact dot products of the stored float32 unit
    vectors, so `threshold` is applied to true cosine values. Embeddings that are
    empty, zero, not finite or of the wrong dimension are not indexed and score
    exactly 0.0, as in the exact service; a query without a usable embedding scores
    0.0 against every candidate, which takes a walk over `candidate_ids`.
    """

    def __init__(
        self,
        dim: int | None = None,
        *,
        connectivity: int = 16,
        expansion_add: int = 64,
        expansion_search: int = 64,
        overfetch: int = 2,
    ) -> None:
        super().__init__(dim)
        self._connectivity = connectivity
        self._expansion = (expansion_add, expansion_search)
        self._overfetch = max(1, int(overfetch))
        self._index: Index | None = None
        self._indexed = 0

    def _rank(self, query: np.ndarray | None, limit: int | None, threshold: float | None,
              skip: set[str], candidate_ids: Any, node_lookup: Mapping[str, Any],
              found: dict[str, Any]) -> list[float] | None:
        if query is None:
            if threshold is None or threshold <= 0.0:
                self._accept((self._row_of[cid] for cid in candidate_ids if cid in self._row_of),
                             skip, candidate_ids, node_lookup, found)
            return None
        sims = self._search(query, limit, threshold, skip, candidate_ids, node_lookup, found)
        if self._blank and (threshold is None or threshold <= 0.0):
            self._blank_hits(skip, candidate_ids, node_lookup, found)
            return None
        return sims

    def _search(self, query: np.ndarray, limit: int | None, threshold: float | None,
                skip: set[str], candidate_ids: Any, node_lookup: Mapping[str, Any],
                found: dict[str, Any]) -> list[float] | None:
        """Fill `found` with the live candidates among the index's nearest; return
        their exact similarities when they were worked out on the way."""
        size = self._indexed
        if self._index is None or size == 0:
            return None
        if limit is not None:
            count = min(size, self._overfetch * limit + len(skip))
        elif threshold is not None:  # everything above the threshold: widen until below it
            count = min(size, 64 + len(skip))
        else:
            count = size
        while True:
            matches = self._index.search(query, count, threads=1)
            keys = matches.keys.tolist()
            found.clear()
            self._accept(keys, skip, candidate_ids, node_lookup, found)
            if count >= size:
                return None
            sims = None
            if limit is not None and len(found) >= limit:
                if threshold is None:
                    return None
                sims = self._scores(found, query)
                if sum(s >= threshold for s in sims) >= limit:
                    return sims
            # Hits come best first: once the index's worst hit lies below the
            # threshold, asking for more cannot add one that qualifies.
            if threshold is not None and keys:
                if 1.0 - float(matches.distances[len(keys) - 1]) < threshold - _RANK_TOLERANCE:
                    return sims
            count = min(size, count * 2)

    # -- index upkeep ------------------------------------------------------------

    def _stored(self, row: int, vec: np.ndarray) -> None:
        if self._index is None:
            # Half precision ranks as well as single here (the returned similarities
            # are recomputed from the float32 rows) and halves the index's memory.
            assert self._dim is not None  # set by the first usable vector
            self._index = Index(ndim=self._dim, metric="cos", dtype="f16",
                                connectivity=self._connectivity, expansion_add=self._expansion[0],
                                expansion_search=self._expansion[1])
        # One thread: the graph then comes out the same on every run.
        self._index.add(row, vec, threads=1)
        self._indexed += 1

    def _dropped(self, row: int) -> None:
        assert self._index is not None
        self._index.remove(row)
        self._indexed -= 1
