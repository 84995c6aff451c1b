"""The memories: the shipped corpus (docstrings and their sentence embeddings)
or synthetic ones clustered around random centres."""
from __future__ import annotations

import json
from dataclasses import dataclass

import numpy as np

from lacet_demo import ROOT

DATA = ROOT / "demo" / "data"


@dataclass(slots=True)
class Memory:
    id: str
    source: str
    text: str
    embedding: np.ndarray


def load_corpus(limit: int | None) -> list[Memory]:
    emb = np.load(DATA / "embeddings.f16.npy")
    memories = []
    with open(DATA / "corpus.jsonl", encoding="utf-8") as fh:
        for i, line in enumerate(fh):
            if limit is not None and i >= limit:
                break
            rec = json.loads(line)
            memories.append(Memory(rec["id"], rec["source"], rec["text"],
                                   emb[i].astype(np.float32)))
    if len(memories) > emb.shape[0]:
        raise SystemExit("corpus.jsonl and embeddings.f16.npy disagree in length")
    return memories


def synthetic_corpus(n: int, clusters: int = 20, dim: int = 64, seed: int = 0) -> list[Memory]:
    """n memories around `clusters` random centres, in random order."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dim))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    labels = rng.integers(0, clusters, size=n)
    vecs = np.empty((n, dim), dtype=np.float32)
    for start in range(0, n, 65536):  # in slices: no n x dim float64 temporary
        part = slice(start, min(start + 65536, n))
        block = centres[labels[part]] + rng.normal(scale=0.09, size=(part.stop - start, dim))
        vecs[part] = block / np.linalg.norm(block, axis=1, keepdims=True)
    width = max(5, len(str(n - 1)))
    return [Memory(f"s{i:0{width}d}", f"cluster{labels[i]:02d}.item{i}",
                   f"synthetic memory {i} drawn around centre {labels[i]}", vecs[i])
            for i in range(n)]
