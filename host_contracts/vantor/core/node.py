from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Sequence

import numpy as np


# eq=False: nodes compare by identity (embeddings are arrays, and `==` on them is
# element-wise), which also keeps them hashable.
@dataclass(eq=False, slots=True)
class MemoryNode:
    id: str
    content: str = ""
    # None means "no embedding". Treat a stored vector as immutable: replace it
    # instead of editing it in place (SimilarityService caches by object identity).
    content_embedding: np.ndarray | Sequence[float] | None = None
    metadata: dict[str, Any] = field(default_factory=dict)
