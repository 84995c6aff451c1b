"""Which process serves a graph: a lease in the graph's own schema, and a
fencing token that the graph's writes check in the statement that writes.

An extension serves one graph, and two processes serving the same graph would
each chain from their own last memory and cap the same nodes from different
snapshots: the graph would fork without an error. So a process takes a graph
before serving it, in the graph's `owner` row:

- `take`: the row names the holder, a token and a deadline. A process takes the
  graph when the row's deadline has passed (or it holds it already); taking
  raises the token by one. Otherwise `GraphTaken`, naming the holder.
- `renew`: while serving, the holder moves the deadline on (every third of the
  lease) as long as the row still names it with its token.
- every write of the holder (`fenced` statements) first raises the row's write
  counter where the row still names it with its token, and writes nothing
  where it does not: a process that lost the graph (paused past its lease, cut
  off from the server, superseded) is refused in the same transaction as its
  write, and raises `GraphLost`. The counter and the takeover update the same
  row, so they are ordered by its row lock: no write of an old token commits
  after a new token is taken.
- `release` (on a clean stop, or a graph left idle) ends the lease at once.
- `hand_over` names another process as the holder, with a deadline one lease
  away: that process takes the graph at its next call (a take by the holder
  the row names always succeeds, and raises the token), anyone else only once
  the deadline has passed, so a hand-over to a process that never comes costs
  the graph one lease.

Time only decides when another process may take the graph; which writes stand
is decided by the token alone, so clocks and pauses cannot let two processes
write one graph. Deadlines are the server's own clock (`now()`).
"""
from __future__ import annotations

import os
import secrets
import socket

from psycopg import sql

def instance_name() -> str:
    """A name no other process has, now or later: host, pid and a random part."""
    return f"{socket.gethostname()}:{os.getpid()}:{secrets.token_hex(4)}"


class OwnerStatements:
    """The lease statements of the graph `graph`."""

    def __init__(self, graph: str) -> None:
        g = sql.Identifier(graph)

        def q(text: str) -> str:
            return sql.SQL(text).format(g=g).as_string(None)

        self.take = q(
            "INSERT INTO {g}.owner AS o (holder, token, deadline) "
            "VALUES (%(holder)s, 1, now() + %(seconds)s * interval '1 second') "
            "ON CONFLICT (one) DO UPDATE SET holder = excluded.holder, token = o.token + 1, "
            "deadline = excluded.deadline, writes = o.writes "
            "WHERE o.deadline < now() OR o.holder = excluded.holder RETURNING token")
        self.holder = q("SELECT holder, deadline FROM {g}.owner")
        self.renew = q("UPDATE {g}.owner SET deadline = now() + %(seconds)s * interval '1 second' "
                       "WHERE holder = %(holder)s AND token = %(token)s RETURNING token")
        # Both fenced like a write: a process that lost the graph changes nothing.
        self.release = q("UPDATE {g}.owner SET deadline = '-infinity' "
                         "WHERE holder = %(holder)s AND token = %(token)s RETURNING token")
        self.hand_over = q("UPDATE {g}.owner SET holder = %(to)s, "
                           "deadline = now() + %(seconds)s * interval '1 second' "
                           "WHERE holder = %(holder)s AND token = %(token)s RETURNING token")
