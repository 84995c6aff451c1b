"""The progress bar of the stream, on stderr."""
from __future__ import annotations

import sys
import time


class Progress:
    def __init__(self, total: int, stream=sys.stderr, width: int = 32) -> None:
        self.total, self.stream, self.width = total, stream, width
        self.t0 = time.perf_counter()
        # redrawn in place on a terminal; in a log, one line per tenth
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.next_tenth = 1

    def update(self, done: int) -> None:
        frac = done / self.total if self.total else 1.0
        if not self.live:
            if frac * 10 < self.next_tenth and done < self.total:
                return
            self.next_tenth = int(frac * 10) + 1
        fill = int(round(frac * self.width))
        rate = done / max(time.perf_counter() - self.t0, 1e-9)
        self.stream.write(f"{'\r' if self.live else ''}  [{'#' * fill}{'.' * (self.width - fill)}] "
                          f"{done:>6}/{self.total} memories  {rate:7.0f}/s{'' if self.live else chr(10)}")
        self.stream.flush()

    def close(self) -> None:
        if self.live:
            self.stream.write("\n")
            self.stream.flush()
