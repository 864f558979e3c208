"""The package installs and imports quietly on each supported Python."""

import subprocess
import sys
import tomllib
from pathlib import Path

from packaging.specifiers import SpecifierSet

ROOT = Path(__file__).resolve().parent.parent
NATIVE = [
    "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess",
    "velorn.algorithms.src.tolmar.binaries.tolmar_lp",
    "velorn.algorithms.src.tolmar.binaries.tolmar_connect",
    "velorn._native.label_sweeps",
    "velorn.algorithms.src.tolmar.binaries.graph_wrapper",
]


def test_modules_built_for_this_python_import_without_a_version_warning(tmp_path):
    # The modules warn when the running major.minor differs from the one they
    # were compiled for; built for this interpreter, they must not.
    imports = "; ".join(f"import {name}" for name in NATIVE)
    run = subprocess.run([sys.executable, "-P", "-W", "error:compile time Python version:RuntimeWarning",
                          "-c", imports], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr


def test_every_python_named_for_the_tests_is_supported_and_classified():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    tested = (ROOT / ".python-version").read_text().split()
    supported = SpecifierSet(project["requires-python"])
    for version in tested + [f"{sys.version_info.major}.{sys.version_info.minor}"]:
        assert f"{version}.0" in supported, version
        assert f"Programming Language :: Python :: {version}" in project["classifiers"], version
