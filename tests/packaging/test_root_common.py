"""The helper that builds the Debian roots (tools/root_common.sh): a root is
taken for ready only once it is complete, a rebuilt root replaces the old
one, and a failed debootstrap stops the build with its log named. The
functions run in bash with a stand-in for debootstrap."""
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
COMMON = ROOT / "tools" / "root_common.sh"

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")


def bash(script, tmp_path):
    return subprocess.run(["bash", "-c", f'set -euo pipefail\n. "{COMMON}"\n{script}'],
                          cwd=tmp_path, capture_output=True, text=True)


# A stand-in for debootstrap: makes the root's /etc, as debootstrap would.
FAKE = 'fake() { mkdir -p "$5/etc"; echo "debootstrap $*"; }\n'


def test_a_rebuilt_root_replaces_the_old_one_and_is_ready_only_when_complete(tmp_path):
    root = tmp_path / "r"
    (root / "etc").mkdir(parents=True)
    (root / "old-file").write_text("")
    (root / ".vantor-lacet-ready").write_text("v1\n")
    done = bash(FAKE + f'''
root_ready {root} v2 && echo "v1 taken for v2"
root_debootstrap {root}.building "a,b" sid http://mirror fake --arch=arm64
root_ready {root}.building v2 && echo "building taken for ready"
root_finish {root}.building {root} v2
root_ready {root} v2 && echo ready
''', tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:-1] == ["ready"]
    assert "--arch=arm64 --variant=minbase --include=a,b sid" in (tmp_path / "r.building.log").read_text()
    # the old root is gone, not the new one moved into it
    assert sorted(p.name for p in root.iterdir()) == [".vantor-lacet-ready", "etc", "work"]
    assert (root / "etc" / "ssl" / "certs" / "host-ca-bundle.crt").is_file()
    assert not (tmp_path / "r.building").exists()


def test_a_failed_debootstrap_stops_the_build_and_names_its_log(tmp_path):
    done = bash(f'''
broken() {{ echo "E: no such suite"; return 1; }}
root_debootstrap {tmp_path}/r.building "a" nosuch http://mirror broken
echo "went on"
''', tmp_path)
    assert done.returncode == 1
    assert "went on" not in done.stdout
    assert "E: no such suite" in done.stderr
    assert f"debootstrap failed (log: {tmp_path}/r.building.log)" in done.stderr
    assert not (tmp_path / "r").exists()
