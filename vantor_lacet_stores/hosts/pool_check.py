"""When a pooled connection is checked before its use: only after it has sat
in the pool for a while. A check is a round trip to the server (an empty
statement) before the call's own: on a busy service, where each connection
comes back within milliseconds, it cost about a fifth of the memories a second
at 8 clients. A connection used within the last `idle` seconds is handed out
unchecked; a server restarted within that span fails the next call on it
(StoreFailed, and the graph's next call recovers), as a server lost in the
middle of a call does."""
from __future__ import annotations

import time
import weakref
from typing import Any


class IdleCheck:
    """Which connections are due for a check: those never returned to the pool,
    or returned more than `idle` seconds ago (0: every one)."""

    def __init__(self, idle: float) -> None:
        self.idle = idle
        self._returned: weakref.WeakKeyDictionary[Any, float] = weakref.WeakKeyDictionary()

    def returned(self, conn: Any) -> None:
        self._returned[conn] = time.monotonic()

    def due(self, conn: Any) -> bool:
        back = self._returned.get(conn)
        return back is None or time.monotonic() - back >= self.idle
