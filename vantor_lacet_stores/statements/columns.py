"""What every store's tables share: the columns of an edge row, in the order
every statement reads and writes them, the meta key of the memory ingested
last, and the stored type of a semantic edge (the value of
`RelationshipType.SEMANTIC`)."""
from __future__ import annotations

EDGE_COLUMNS = ("id", "source", "target", "type", "subtype", "description", "bidirectional",
                "weight_current", "weight_initial")
LAST_INGESTED = "last_ingested"
SEMANTIC = "semantic"
