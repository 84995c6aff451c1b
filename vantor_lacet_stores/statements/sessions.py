"""What every connection to a graph sets first: the planner's mode, pgvector's
search breadth, and the bounds that keep one call from holding the server or
a graph for longer than a lease.

- `plan_cache_mode = force_custom_plan`: a generic plan cannot know how many
  ids an array holds and may scan every edge for a neighbourhood; each
  statement is planned for its values (a tenth of a millisecond) rather than
  with one plan made when the graph was small. The two-phase hosts instead
  ask for `force_generic_plan` (`generic_plans`): their statements are
  prepared, and written so that no plan of theirs can read every edge (see
  `pg_graph._plan`); planning the first statement of a call for its values
  cost the server more than running it (0.7 against 0.8 ms at 10^3 memories).
  A cached plan is made again when the tables' statistics change.
- `hnsw.ef_search`: pgvector's HNSW search breadth.
- `statement_timeout`: a statement that runs longer is cancelled and stores
  nothing (each call's writes are one statement). Well above the longest
  statement a call of the host's `max_batch` memories makes.
- `lock_timeout`: a statement that waits longer for a lock fails rather than
  queueing behind it. Below the lease, so that a call waiting on a graph's
  owner row gives up before the lease it is waiting on could run out.
- `idle_in_transaction_session_timeout`: the server ends a session that sits
  idle inside a transaction for longer (the transaction rolls back). A client
  stopped between its statements and its COMMIT (paused, cut off) then holds
  no row lock, the owner row's above all, for much longer than a lease: a
  takeover waits for that at most.
- `temp_file_limit`: a statement that would write more temporary files is
  cancelled rather than filling the server's disk. Only a superuser (or a
  role granted `SET` on it, PostgreSQL 15 and later) may set it for a session;
  for any other role it is set where allowed and otherwise left as the server
  has it (`ALTER ROLE ... SET temp_file_limit`, made by an administrator, sets
  it for the role's sessions instead). It is therefore set in a block that
  lets the refusal pass.
"""
from __future__ import annotations

from typing import TypedDict


def _ms(seconds: float | None) -> int:
    """A timeout in seconds as PostgreSQL's milliseconds (None: 0, no limit)."""
    if seconds is None:
        return 0
    if seconds <= 0:
        raise ValueError(f"a timeout must be positive or None, not {seconds}")
    return max(1, round(seconds * 1000))


def session_settings(ef_search: int | None, statement_timeout: float | None = 30.0,
                     lock_timeout: float | None = 2.0,
                     idle_in_transaction_timeout: float | None = 5.0,
                     temp_file_limit: str | None = "1GB",
                     generic_plans: bool = False) -> list[str]:
    """The statements every connection to a graph runs first (see the module's
    text), in autocommit. `ef_search`: pgvector's HNSW search breadth (None: the
    server has no pgvector to set it for). The timeouts are in seconds, None for
    none; `lock_timeout` below the lease and `idle_in_transaction_timeout` about
    one lease (the defaults suit the hosts' default lease of 5 s). `temp_file_limit`:
    PostgreSQL's size text ("1GB"), None to leave it as the server has it."""
    settings = ["SET plan_cache_mode TO "
                + ("force_generic_plan" if generic_plans else "force_custom_plan")]
    if ef_search is not None:
        settings.append(f"SET hnsw.ef_search TO {int(ef_search)}")
    settings += [f"SET statement_timeout TO {_ms(statement_timeout)}",
                 f"SET lock_timeout TO {_ms(lock_timeout)}",
                 f"SET idle_in_transaction_session_timeout TO {_ms(idle_in_transaction_timeout)}"]
    if temp_file_limit is not None:
        if not temp_file_limit.replace(" ", "").isalnum():
            raise ValueError(f"temp_file_limit {temp_file_limit!r} is not a size like '1GB'")
        settings.append(
            "DO $$ BEGIN PERFORM set_config('temp_file_limit', "
            f"'{temp_file_limit}', false); "
            "EXCEPTION WHEN insufficient_privilege THEN NULL; END $$")
    return settings


class LeaseBounds(TypedDict):
    lock_timeout: float
    idle_in_transaction_timeout: float


def lease_bounds(lease_seconds: float | None) -> LeaseBounds:
    """`lock_timeout` and `idle_in_transaction_timeout` for a host's lease: a lock
    is waited for at most two fifths of a lease (never more than 2 s), and a
    transaction left idle is ended after one lease."""
    lease = 5.0 if lease_seconds is None else float(lease_seconds)
    return {"lock_timeout": min(2.0, lease * 0.4), "idle_in_transaction_timeout": lease}
