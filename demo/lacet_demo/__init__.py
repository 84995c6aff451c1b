"""End-to-end demo: real memories streaming into the reference host.

Memories (Python standard-library docstrings with all-MiniLM-L6-v2 sentence
embeddings, shipped in demo/data/) are added to a fresh reference
``MemoryGraph`` batch by batch, and each batch is handed to the extension
through ``on_ingest_batch``. The extension forms the temporal chain and the
semantic edges under the per-node cap. At the end the demo prints a summary
table, shows three memories with the memories they were linked to, and saves
four pictures.

    .venv/bin/python demo/lacet_demo            # all 3,801 memories
    .venv/bin/python demo/lacet_demo --help     # the options

One concern a module:

    host.py        the wiring a host developer copies: graph, search, extension, ingest
    corpus.py      the memories: the shipped corpus or synthetic clusters
    timing.py      timing wrappers around the host's calls, and the ledger that splits the time
    stream.py      the stream: batches through host.py, timed and counted
    progress.py    the progress bar
    graph_view.py  reading the finished graph: edge kinds, degrees, neighbours
    stats.py       time and work per memory from the stream's records
    tables.py      the printed tables and the three memories shown
    layout.py      the neighbourhood drawn: which memories, and where
    pictures.py    the four pictures
    slots.py       the host's edge dataclasses rebuilt with slots=True (--edge-slots)
    forget.py      forgetting memories, and the checks that the index follows
    cli.py         the options and the run
"""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# The reference host lives in the repository, not in the wheel.
_HOST = str(ROOT / "host_contracts")
if _HOST not in sys.path:
    sys.path.insert(0, _HOST)
