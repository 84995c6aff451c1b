"""Timing wrappers around the host's calls, and the ledger they write to.

Every wrapper passes its call through unchanged. The ledger keeps, for each
part (the package, the host's edge model, its search, index upkeep and graph),
the time spent in it *less* the time of the timed calls made inside it, which
go to their own parts: the package's time is what is left of its calls once
the host calls it makes are taken out. The cyclic garbage collector's time is
booked to a part of its own and taken out of the call it ran in.

A wrapper costs time of its own. Part of that falls inside the interval it
measures (it is counted in the host's part it wraps), part outside it (it is
counted in the caller's part: the package, for the calls the package makes).
``calibrate`` measures both on a no-op of the same shape, and ``Ledger.part``
takes them back out. Amid a stream a wrapper costs more than in calibrate's
tight loop (colder caches), so some of its cost stays in the parts;
demo/timing_check.py measures how much."""
from __future__ import annotations

import time
from contextlib import contextmanager
from typing import Any, Callable, Iterator, NamedTuple


class Overhead(NamedTuple):
    """A timing wrapper's own cost per call, in seconds: inside the interval it
    measures, and outside it (in the caller's time)."""
    inside: float = 0.0
    outside: float = 0.0


class Ledger:
    """Exclusive seconds and call counts per part.

    For each part, ``accounts[p]`` is [seconds, calls, wrapper cost]: the time in
    p's calls less the timed calls made inside them, the number of p's timed
    calls, and the timing wrappers' own cost that p's seconds hold (the inside
    cost of p's own wrappers, the outside cost of the wrappers of the calls made
    from inside p's calls)."""

    def __init__(self, now: Callable[[], float] = time.perf_counter) -> None:
        self.now = now
        self.accounts: dict[str, list[float]] = {}
        self._open: list[list[Any]] = []   # [start, nested seconds, account] of open calls

    def account(self, part: str) -> list[float]:
        return self.accounts.setdefault(part, [0.0, 0, 0.0])

    def timed(self, part: str, fn: Callable[..., Any],
              overhead: Overhead = Overhead()) -> Callable[..., Any]:
        """fn, with each call's time booked to part; overhead is this wrapper's own
        cost per call (see calibrate)."""
        open_calls, now, acc = self._open, self.now, self.account(part)
        inside, outside = overhead

        def call(*args: Any, **kwargs: Any) -> Any:
            frame = [now(), 0.0, acc]
            open_calls.append(frame)
            try:
                return fn(*args, **kwargs)
            finally:
                elapsed = now() - frame[0]
                open_calls.pop()
                acc[0] += elapsed - frame[1]
                acc[1] += 1
                acc[2] += inside
                if open_calls:
                    caller = open_calls[-1]
                    caller[1] += elapsed
                    caller[2][2] += outside
        call.__name__ = call.__qualname__ = getattr(fn, "__name__", part)
        return call

    def timed_class(self, part: str, cls: type, overhead: Overhead = Overhead()) -> type:
        """A subclass of cls whose __init__ is timed. The package enters a class
        with a plain Python __init__ as object.__new__, then __init__; a timed
        function in the class's place would have it take the slower generic call
        and charge the difference to the host."""
        return type(cls.__name__, (cls,), {"__init__": self.timed(part, cls.__init__, overhead),
                                           "__slots__": (), "__module__": cls.__module__,
                                           "__qualname__": cls.__qualname__})

    def aside(self, part: str, seconds: float) -> None:
        """Book seconds spent inside the innermost open call to part instead (the
        collector, which runs inside whatever call allocates)."""
        acc = self.account(part)
        acc[0] += seconds
        acc[1] += 1
        if self._open:
            self._open[-1][1] += seconds

    def snapshot(self) -> dict[str, tuple[float, float, float]]:
        return {p: (a[0], a[1], a[2]) for p, a in self.accounts.items()}

    def _since(self, name: str, since: dict | None) -> tuple[float, float, float]:
        s, c, w = self.account(name)
        s0, c0, w0 = (since or {}).get(name, (0.0, 0, 0.0))
        return s - s0, c - c0, w - w0

    def calls(self, name: str, since: dict | None = None) -> int:
        return int(self._since(name, since)[1])

    def part(self, name: str, since: dict | None = None) -> float:
        """Seconds in part name since a snapshot, less the wrappers' own cost."""
        seconds, _, wrappers = self._since(name, since)
        return max(seconds - wrappers, 0.0)

    def wrapper_cost(self, since: dict | None = None) -> float:
        """The wrappers' own cost that part() takes out, over all parts."""
        return sum(self._since(name, since)[2] for name in list(self.accounts))

    @contextmanager
    def installed(self, module: Any, names: dict[str, tuple[str, Overhead]]) -> Iterator[None]:
        """Module globals name -> a timed stand-in booked to part names[name][0] (a timed
        subclass for a class, a timed function otherwise), put back afterwards."""
        saved = {name: getattr(module, name) for name in names}
        try:
            for name, (part, overhead) in names.items():
                value = saved[name]
                setattr(module, name, self.timed_class(part, value, overhead)
                        if isinstance(value, type) else self.timed(part, value, overhead))
            yield
        finally:
            for name, value in saved.items():
                setattr(module, name, value)


class TimedGraph:
    """The host's graph, with add_node and the calls the extension makes timed
    (part "graph"); anything else passes through untimed."""

    TIMED = ("add_node", "has_node", "add_edge", "get_edge_between", "get_edges_for_node",
             "remove_edge", "flush", "set_last_ingested")  # the last two: stores only

    def __init__(self, inner: Any, ledger: Ledger, overhead: Overhead = Overhead()) -> None:
        self.inner = inner
        for name in self.TIMED:
            if hasattr(inner, name):
                setattr(self, name, ledger.timed("graph", getattr(inner, name), overhead))

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


class TimedService:
    """The host's similarity search: find_similar timed (part "search", with the
    pairs it returns counted), the index upkeep add and remove timed (part "index")."""

    def __init__(self, inner: Any, ledger: Ledger, keywords: Overhead = Overhead(),
                 positional: Overhead = Overhead()) -> None:
        self.inner = inner
        self.hits = 0
        self.find_similar = ledger.timed("search", self._find_similar, keywords)
        self.add = ledger.timed("index", inner.add, positional)
        self.remove = ledger.timed("index", inner.remove, positional)

    def _find_similar(self, *args: Any, **kwargs: Any) -> Any:
        result = self.inner.find_similar(*args, **kwargs)
        self.hits += len(result)
        return result

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


class GcTimer:
    """The cyclic garbage collector's time (a gc callback), booked to the part "gc"
    of a ledger and taken out of the timed call it ran in."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.ledger: Ledger | None = None
        self._t0 = 0.0

    def __call__(self, phase: str, info: dict) -> None:
        if phase == "start":
            self._t0 = time.perf_counter()
            return
        seconds = time.perf_counter() - self._t0
        self.seconds += seconds
        if self.ledger is not None:
            self.ledger.aside("gc", seconds)


GC = GcTimer()


# -- the wrappers' own cost ---------------------------------------------------

def _noop_init(self: Any, source_node: Any, target_node: Any, relationship: Any,
               weight: Any = None, id: Any = None) -> None:
    return None


def _noop_method(a: Any, b: Any = None) -> None:
    return None


def _keyword_calls(f: Callable[..., Any], n: int) -> None:
    obj = object()
    for _ in range(n):
        f(obj, source_node="a", target_node="b", relationship=None, weight=None)


def _positional_calls(f: Callable[..., Any], n: int) -> None:
    for _ in range(n):
        f("a", "b")


def _no_calls(f: Callable[..., Any], n: int) -> None:
    for _ in range(n):
        pass


SHAPES = {"keywords": (_noop_init, _keyword_calls), "positional": (_noop_method, _positional_calls)}


def calibrate(shape: str, n: int = 2_000, repeats: int = 31) -> Overhead:
    """A wrapper's own cost per call, for calls of shape "keywords" (as the package
    makes of the edge constructors and find_similar) or "positional" (graph methods,
    share_edge_fields_set), made from inside a timed call as the package's are.

    A caller's loop of n calls, timed three ways: with no calls (the loop alone),
    calling a no-op directly, and calling it through a wrapper. Inside: what the
    wrapper records, less what the direct call costs. Outside: what the wrapped
    loop costs the caller, less the loop alone. Each quantity is the median of
    `repeats` rounds, so that a round in which the machine ran something else
    does not count."""
    noop, loop = SHAPES[shape]
    samples: dict[str, list[float]] = {"empty": [], "direct": [], "wrapped": [], "recorded": []}
    for _ in range(repeats):
        scratch = Ledger()
        wrapped = scratch.timed("callee", noop)
        for name, f, body in (("empty", noop, _no_calls), ("direct", noop, loop),
                              ("wrapped", wrapped, loop)):
            before = scratch.account("caller")[0]
            scratch.timed("caller", body)(f, n)
            samples[name].append((scratch.account("caller")[0] - before) / n)
        samples["recorded"].append(scratch.account("callee")[0] / n)
    m = {name: sorted(values)[repeats // 2] for name, values in samples.items()}
    return Overhead(inside=max(m["recorded"] - (m["direct"] - m["empty"]), 0.0),
                    outside=max(m["wrapped"] - m["empty"], 0.0))
