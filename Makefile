# tallyforge
#
#   make demo    build and install the module into the venv, then run examples/demo.py
#   make test    build, then run the C++ unit tests and the Python test suite with the host's
#                interpreter (make test-host), with Debian sid's python3.14 and python3.15 in
#                a chroot (scripts/chroot-sid test; CHROOT_PYTHONS chooses the versions) and
#                with the project's own free-threaded CPython 3.13t (make test-freethreaded)
#   make test-freethreaded  the Python suite on CPython 3.13t with the GIL off, built once per
#                machine from Debian's source package (scripts/build-python), once as usual and
#                once with the thread-safe tests in four threads at once (scripts/test-freethreaded)
#   make bench   build, then benchmark against pure Python, the floor and libmpdec; writes BENCHMARKS.md
#   make docs    the documentation site in build/docs/html (Sphinx, warnings as errors), its
#                examples run as doctests, then checked in headless Chromium (tests/docs)
#   make wheels  sdist, eight manylinux wheels (cp313 to cp315 and cp313t, x86-64 and aarch64,
#                built with Zig for glibc 2.28) and six musllinux wheels (cp313 to cp315, x86-64
#                and aarch64, built with Zig for musl) in dist/, each checked with auditwheel;
#                the manylinux ones tested in a fresh venv, aarch64 under emulation, the cp313
#                musllinux ones on the project's own musl-built CPython 3.13 (scripts/wheels)
#   make clean   remove build trees and test caches (the venvs and the chroots stay)
#
# The interpreter is $(PYTHON) when set, otherwise the newest CPython >= 3.13 found
# (scripts/find-python). Everything else is installed on first use: missing Debian packages
# (as root), and a virtual environment .venv-<tag> (e.g. .venv-cp313) into which the module is
# installed with pip. `make demo` puts only the build requirements there; `make test` adds the
# test toolchain (pytest, hypothesis, NumPy, mypy).
#
# Every target documented here works alone as the first command on a fresh clone: a target
# that needs another's output names it as a prerequisite, each script installs what it uses
# and makes the folders it writes to (mkdir -p) before writing into them.

SHELL := /bin/bash
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:

JOBS ?= 2

# Worked out once, and only by the targets that use them (so `make clean` needs no Python).
# PYTHON is handed over explicitly: make 4.3 does not pass command-line variables to $(shell).
PYTHON_EXE = $(eval PYTHON_EXE := $(shell PYTHON='$(PYTHON)' scripts/find-python))$(PYTHON_EXE)
PYTAG = $(eval PYTAG := $(shell PYTHON='$(PYTHON_EXE)' scripts/find-python --tag))$(PYTAG)
VENV = .venv-$(PYTAG)
VENV_BIN = $(CURDIR)/$(VENV)/bin
CPP_BUILD := build/cpp
CHROOT_PYTHONS ?= 3.14 3.15

.PHONY: demo test test-host test-freethreaded bench docs wheels clean build-env env docs-env module cpp-build

demo: module
	@if [[ ! -f examples/demo.py ]]; then echo "examples/demo.py is missing" >&2; exit 1; fi
	$(VENV_BIN)/python examples/demo.py

# The host's interpreter, then Debian sid's python3.14 and python3.15 in the chroot of
# scripts/chroot-sid (made on first use, as root), then CPython 3.13t; fails if any did.
test:
	@status=0; \
	$(MAKE) --no-print-directory test-host || status=1; \
	scripts/chroot-sid test $(CHROOT_PYTHONS) || status=1; \
	$(MAKE) --no-print-directory test-freethreaded || status=1; \
	exit $$status

test-freethreaded:
	JOBS=$(JOBS) scripts/test-freethreaded

# Build both first; then run both suites even when the first fails, and fail if either did.
test-host: env cpp-build module
	@status=0; \
	echo "== C++ unit tests"; \
	$(CPP_BUILD)/core_tests --gtest_brief=1 || status=1; \
	echo "== Python tests ($(PYTAG), $(PYTHON_EXE))"; \
	$(VENV_BIN)/pytest tests/python || status=1; \
	exit $$status

# TALLYFORGE_BENCH_QUICK=1 for a short run; see benchmarks/run for the other settings.
bench: env module
	benchmarks/run "$(VENV_BIN)/python"

# -W: every warning fails the build; -n: every cross-reference must resolve. The figures are
# drawn by calling the installed module, so it is (re)installed first.
DOCS_OUT := build/docs
SPHINX = $(VENV_BIN)/sphinx-build -q -W --keep-going -n -j 1
docs: docs-env module
	rm -rf $(DOCS_OUT)/html $(DOCS_OUT)/doctest $(DOCS_OUT)/screenshots
	$(SPHINX) -b html docs $(DOCS_OUT)/html
	$(SPHINX) -b doctest docs $(DOCS_OUT)/doctest
	$(VENV_BIN)/python -m pytest -q -p no:cacheprovider tests/docs

wheels:
	PYTHON='$(PYTHON_EXE)' scripts/wheels

# What building and installing the module needs: a compiler, and the build requirements.
build-env:
	@if [[ -z "$(PYTHON_EXE)" ]]; then exit 1; fi
	@scripts/install-system-deps --no-gtest "$(PYTHON_EXE)"
	@scripts/make-venv "$(PYTHON_EXE)" "$(VENV)"

# Everything the tests need besides: GoogleTest, and the test extra of pyproject.toml.
env: build-env
	@scripts/install-system-deps "$(PYTHON_EXE)"
	@scripts/make-venv --test "$(PYTHON_EXE)" "$(VENV)"

# What the site needs besides: Chromium for its browser test, and the docs extra.
docs-env: build-env
	@scripts/install-system-deps --no-gtest --docs "$(PYTHON_EXE)"
	@scripts/make-venv --docs "$(PYTHON_EXE)" "$(VENV)"

# pip builds in build/<wheel tag> (pyproject.toml), so a reinstall recompiles only what changed.
module: build-env
	PATH="$(VENV_BIN):$$PATH" $(VENV_BIN)/python -m pip install --no-build-isolation --no-deps \
	  --disable-pip-version-check --progress-bar off -q .

cpp-build: env
	PATH="$(VENV_BIN):$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
	  -DTALLYFORGE_TESTS=ON -DTALLYFORGE_MODULE=OFF -DTALLYFORGE_WERROR=ON >/dev/null
	PATH="$(VENV_BIN):$$PATH" cmake --build $(CPP_BUILD) -j$(JOBS)

clean:
	rm -rf build dist .pytest_cache .hypothesis .mypy_cache docs/_generated
	find . -path ./.chroot-sid -prune -o -path './.venv-*' -prune -o \
	  -name __pycache__ -type d -exec rm -rf {} +

# Hardening, each stage runnable alone (they guard changes to the boundary's hot paths):
#
#   make check      everything CI runs, stage after stage (scripts/check; logs in build/check/)
#   make asan       C++ and Python tests against an ASan + UBSan build (scripts/asan)
#   make test-clang C++ and Python tests built by Debian's clang against libc++ (scripts/test-clang)
#   make tsan-freethreaded  the thread tests under ThreadSanitizer on a CPython 3.13t built with
#                   it, the module built with -fsanitize=thread (scripts/tsan-freethreaded)
#   make fuzz       libFuzzer targets on the core for FUZZ_SECONDS each (scripts/fuzz)
#   make refcount   reference counts under Debian's python3.14-dbg in the chroot (scripts/refcount)
#   make mutants    mutation testing of src/ (scripts/mutants): N core mutants (and N/2 of the
#                   boundary, or NB) sampled with SEED, resumable; writes MUTANTS.md. Hours.
#   make mutants-smoke  five mutants known to be killed, against the core alone (in make check)
.PHONY: check asan test-clang tsan-freethreaded fuzz refcount mutants mutants-smoke mutation-env

check:
	scripts/check

asan: env
	VENV=$(VENV) JOBS=$(JOBS) scripts/asan

test-clang: env
	VENV=$(VENV) JOBS=$(JOBS) scripts/test-clang

tsan-freethreaded:
	JOBS=$(JOBS) scripts/tsan-freethreaded

fuzz:
	scripts/fuzz

refcount:
	scripts/refcount

N ?= 300
SEED ?= 1
MUTANT_WORKERS ?= 2
# universalmutator lives in a virtual environment of its own: its dependencies include the
# old PyPI backport of `typing`, which would shadow the standard library's in the test
# environment and break every test that starts an interpreter.
MUTATE_BIN := $(CURDIR)/.venv-mutate/bin
mutants: mutation-env
	PATH="$(VENV_BIN):$(MUTATE_BIN):$$PATH" $(VENV_BIN)/python scripts/mutants --n $(N) \
	  $(if $(NB),--nb $(NB)) --seed $(SEED) --workers $(MUTANT_WORKERS)

# A few mutants the C++ tests are known to kill (scripts/mutants-smoke.txt): keeps the tool working.
mutants-smoke: mutation-env
	PATH="$(VENV_BIN):$(MUTATE_BIN):$$PATH" $(VENV_BIN)/python scripts/mutants --smoke 5

mutation-env: env
	@[[ -x $(MUTATE_BIN)/mutate ]] || { $(VENV_BIN)/python -m venv --clear $(dir $(MUTATE_BIN)) && \
	  $(MUTATE_BIN)/python -m pip install -q --disable-pip-version-check "universalmutator>=1.14"; }
