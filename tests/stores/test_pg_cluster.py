"""The throwaway cluster: a private socket, no TCP port, not run as root, and
nothing left behind."""
from __future__ import annotations

import os
import pwd

import psycopg

from vantor_lacet_stores.testing.cluster import RUN_AS, ThrowawayCluster


def test_private_socket_unprivileged_and_removed():
    with ThrowawayCluster() as cluster:
        folder = cluster.folder
        with psycopg.connect(cluster.conninfo) as conn:
            assert conn.execute("SHOW listen_addresses").fetchone() == ("",)
            assert conn.execute("SELECT inet_server_port()").fetchone() == (None,)
        assert folder.stat().st_mode & 0o077 == 0  # only its owner reaches the socket
        owner = (folder / "data").stat().st_uid
        assert owner == (pwd.getpwnam(RUN_AS).pw_uid if os.geteuid() == 0 else os.geteuid())
    assert not folder.exists()
