"""What a host loaded kept out of the garbage collector's way."""
from __future__ import annotations

import gc


class Freezer:
    """Keeps what a host loaded, and what it goes on adding, out of the garbage
    collector's way: `gc.freeze()` once loaded, and again after every `every`
    memories, each time after a young collection (so that cyclic garbage of the
    last calls is collected, not frozen for good). A full collection then walks
    only what was made since the last freeze."""

    def __init__(self, every: int | None = 5000) -> None:
        self.every = every
        self._since = 0

    def loaded(self) -> None:
        gc.collect(1)
        gc.freeze()
        self._since = 0

    def added(self, count: int) -> None:
        self._since += count
        if self.every is not None and self._since >= self.every:
            self.loaded()
