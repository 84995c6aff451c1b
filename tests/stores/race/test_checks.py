"""The race tests' checks on graphs made to be wrong: two writers of one graph
seen in the logged writes, a fork and a gap in the chain, a memory acknowledged
and not stored. (The race tests pass only if these can fail.)"""
from __future__ import annotations

from checks import Checker
from fleet import vector

GOOD = {"missing": [], "vectors": [], "forks": [], "unchained": [(1, 5)], "over cap": [],
        "under threshold": [], "pairs": [], "owner": [("i1.2", 3, 6)]}
LOG = [["g", 1, 1, "i0.1", 10], ["g", 1, 2, "i0.1", 10], ["g", 2, 3, "i1.1", 11],
       ["g", 3, 4, "i1.2", 12], ["g", 3, 5, "i1.2", 12], ["g", 3, 6, "i1.2", 12]]


def faults(found=None, log=LOG, forgotten=frozenset()):
    return Checker([], None)._faults({**GOOD, **(found or {})}, set(forgotten), log)


def test_one_writer_at_a_time_and_tokens_that_only_go_up():
    assert faults() == []
    # a paused process wrote with its old token after the takeover
    late = LOG[:4] + [["g", 1, 5, "i0.1", 10], LOG[5]]
    assert faults(log=late) == ["write 5 has token 1 after token 3"]
    # two processes both counted the same write (no fence in the write)
    twice = LOG + [["g", 2, 6, "i1.1", 11]]
    assert faults(log=twice)[0].startswith("write 6 was made 2 times")
    # the store's counter behind what was logged: a logged write is not stored
    assert faults({"owner": [("i1.2", 3, 5)]}) == [
        "owner row (token 3, writes 5) behind the logged writes (up to 6, token 3)"]


def test_the_graph_itself():
    assert faults({"forks": [("source", "m3", 2)]}) == ["'m3' is the source of 2 chain edges "
                                                        "(a fork)"]
    assert faults({"unchained": [(2, 5)]}) == ["2 memories without a chain edge into them, "
                                               "0 forgotten"]
    assert faults({"unchained": [(2, 5)]}, forgotten={"m1"}) == []
    assert faults({"missing": [("m4",)]}) == ["acknowledged memory 'm4' is not stored"]
    assert faults({"missing": [("m4",)]}, forgotten={"m4"}) == []
    checker = Checker([], None)
    stored = [("m1", vector("m1").tobytes(), True), ("m2", vector("m1").tobytes(), True)]
    assert checker._faults({**GOOD, "vectors": stored}, set(), LOG) == [
        "memory 'm2' is stored without its vector"]
    assert checker.verified == {"m1"}
