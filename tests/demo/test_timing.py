import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "demo"))
try:
    from lacet_demo.timing import Ledger, Overhead
finally:
    sys.path.pop(0)


class FakeClock:
    def __init__(self):
        self.t = 0.0

    def __call__(self):
        return self.t

    def spend(self, seconds):
        self.t += seconds


def test_ledger_books_nested_time_to_the_inner_part_and_takes_wrapper_cost_out():
    clock = FakeClock()
    ledger = Ledger(now=clock)
    cost = Overhead(inside=0.1, outside=0.2)

    def host_call(seconds, collect=0.0):
        clock.spend(seconds)
        if collect:
            ledger.aside("gc", collect)  # a collection inside the host's call
            clock.spend(collect)
        return seconds

    host = ledger.timed("host", host_call, cost)

    def failing_host_call():
        clock.spend(1.0)
        raise KeyError("x")

    failing = ledger.timed("host", failing_host_call, cost)

    def package():
        clock.spend(1.0)
        assert host(2.0) == 2.0
        clock.spend(1.0)
        host(3.0, collect=0.5)
        with pytest.raises(KeyError):
            failing()
        clock.spend(1.0)

    ledger.timed("package", package)()
    # package: 3 s of its own, less the outside cost of its 3 timed calls
    assert ledger.part("package") == pytest.approx(3.0 - 3 * 0.2)
    # host: 2 + 3 + 1 s, the collection booked apart, less the inside cost of 3 calls
    assert ledger.part("host") == pytest.approx(6.0 - 3 * 0.1)
    assert ledger.part("gc") == pytest.approx(0.5)
    assert ledger.calls("host") == 3 and ledger.wrapper_cost() == pytest.approx(0.9)
    # nothing left open: a later call is not nested in the package
    before = ledger.snapshot()
    host(1.0)
    assert ledger.part("package", before) == 0.0
    assert ledger.part("host", before) == pytest.approx(0.9)
