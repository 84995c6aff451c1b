"""The source distribution holds what builds the package and runs its tests,
and nothing else: no virtual environments or build trees of the machine that
made it, and none of the development-only parts of the repository."""
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Parts of the repository that neither build the package nor run its tests.
DEVELOPMENT_ONLY = (".ci/", ".gitignore", "benchmarks/", "demo/", "docs/images/",
                    "tools/memcheck_workload.py", "tools/valgrind_memcheck.sh",
                    "tools/check_installed_wheel.py", "tools/check_example_service.py",
                    "tools/build_wheels.py", "tools/test_wheel.sh",
                    "tools/wheel_instructions.py", "tools/arm64_root.sh", "tools/in_arm64_root.sh")
# ... except what the tests import from those parts.
USED_BY_TESTS = ("demo/lacet_demo/",)


def repository_files():
    try:
        listed = subprocess.run(
            ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
            cwd=ROOT, capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout (an unpacked sdist has no file list to compare with)")
    return {name for name in listed.decode().split("\0")
            if name and (ROOT / name).is_file()}


def shipped(name):
    return name.startswith(USED_BY_TESTS) or not name.startswith(DEVELOPMENT_ONLY)


@pytest.fixture(scope="module")
def sdist_names(tmp_path_factory):
    pytest.importorskip("scikit_build_core")
    out = tmp_path_factory.mktemp("sdist")
    subprocess.run(
        [sys.executable, "-c",
         "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])",
         str(out)],
        cwd=ROOT, check=True, capture_output=True)
    (archive,) = out.glob("vantor_lacet-*.tar.gz")
    with tarfile.open(archive) as tar:
        members = tar.getmembers()
    prefix = archive.name.removesuffix(".tar.gz") + "/"
    assert all(m.name.startswith(prefix) for m in members)
    return {m.name.removeprefix(prefix): m for m in members if m.isfile()}


def test_sdist_holds_exactly_the_files_that_build_and_test_the_package(sdist_names):
    expected = {name for name in repository_files() if shipped(name)} | {"PKG-INFO"}
    actual = set(sdist_names)
    assert sorted(actual - expected) == [], "in the sdist but not meant to be"
    assert sorted(expected - actual) == [], "missing from the sdist"


def test_sdist_keeps_what_make_test_needs_runnable(sdist_names):
    for name in ("LICENSE", "CMakeLists.txt", "Makefile", "tools/python", "src/compat.hpp",
                 "vantor_lacet/py.typed", "tests/conftest.py", "host_contracts/vantor/core/edge.py"):
        assert name in sdist_names, name
    assert sdist_names["tools/python"].mode & 0o111, "tools/python lost its executable bit"
    assert not any("__pycache__" in name or name.endswith(".pyc") for name in sdist_names)
