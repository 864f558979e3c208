# Set-up and everyday commands. Every target builds what it needs from PyPI
# into the virtual environment .venv; nothing else is needed beforehand.

PYTHON ?= python3.12
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
BUILD_DEPS := meson-python meson ninja "numpy>=2.0"
RUN_DEPS := "numpy>=2.0" scikit-learn scipy pytest hypothesis mypy matplotlib

.PHONY: venv install demo test bench clean

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

clean:
	rm -rf build dist $(VENV)
