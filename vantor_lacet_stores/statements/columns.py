"""What every store's tables share: the columns of an edge row, in the order
every statement reads and writes them, and the meta key of the memory
ingested last."""
from __future__ import annotations

EDGE_COLUMNS = ("id", "source", "target", "type", "subtype", "description", "bidirectional",
                "weight_current", "weight_initial")
LAST_INGESTED = "last_ingested"
