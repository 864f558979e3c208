"""Import behaviour shared by the native modules: every one the package lists
(velorn._NATIVE_MODULES), which must be the ones the build makes."""

import importlib
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velorn

ROOT = Path(__file__).resolve().parent.parent
# Imported here, not skipped when missing: a build that lacks a module fails.
BUILT = [importlib.import_module(name).__name__ for name in velorn._NATIVE_MODULES]


def test_the_package_lists_every_module_the_build_makes():
    block = re.search(r"^modules = \{(.*?)^\}", (ROOT / "meson.build").read_text(), re.MULTILINE | re.DOTALL)
    built = {f"{folder.replace('/', '.')}.{name}"
             for name, folder in re.findall(r"'(\w+)': \['[\w/.]+', '([\w/]+)'\]", block.group(1))}
    assert built == set(velorn._NATIVE_MODULES) and len(built) == len(velorn._NATIVE_MODULES)


def run_python(code):
    """Runs code in a fresh interpreter (module state is per process)."""
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize("name", BUILT)
def test_import_again_returns_the_same_module(name):
    module = importlib.import_module(name)
    del sys.modules[name]
    try:
        assert importlib.import_module(name) is module
    finally:
        sys.modules[name] = module


@pytest.mark.parametrize("name", BUILT)
def test_namespace_and_spec_attributes(name):
    module = importlib.import_module(name)
    short = name.rsplit(".", 1)[1]
    function = {"tolmar_lp": "weighted_label_propagation", "tolmar_connect": "connect_unlabeled",
                "label_sweeps": "propagate_rows", "graph_wrapper": "GraphWrapper",
                "poisson_solver": "poisson_solve"}.get(short, short)
    public = {k for k in vars(module) if not k.startswith("__")}
    others = {"kelvo_postprocess": {"DistanceMetric"}, "label_sweeps": {"repeated_rows"},
              "poisson_solver": {"poisson_graph", "poisson_parts", "poisson_symmetrised", "poisson_horizon",
                                 "poisson_conjugate_gradients"},
              "class_shifts": {"shifted_argmax"}}
    expected = {"np", function} | others.get(short, set())
    assert public == expected
    assert module.__test__ == {}
    assert module.__package__ == name.rsplit(".", 1)[0]
    assert module.__file__ == module.__spec__.origin
    assert type(module.__loader__).__name__ == "ExtensionFileLoader"
    assert (module.__doc__ is None) == (short != "graph_wrapper")
    assert not hasattr(module, "__path__")


@pytest.mark.parametrize("name", BUILT)
def test_second_interpreter_is_refused(name):
    # The package imports numpy, which refuses subinterpreters on its own, so
    # the second interpreter loads the extension file directly.
    short = name.rsplit(".", 1)[1]
    inner = (
        "import importlib.util; "
        f"spec = importlib.util.spec_from_file_location({short!r}, path); "
        "importlib.util.module_from_spec(spec)"
    )
    # A legacy (not isolated) interpreter, so that the import reaches the
    # module's own check. Python 3.13 renamed the module, and reports what the
    # code raised instead of raising it.
    result = run_python(f"""
        import {name} as module
        try:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
        try:
            failure = interpreters.run_string(interp, "path = " + repr(module.__file__) + "; " + {inner!r})
        except Exception as error:
            failure = error
        print(getattr(failure, "msg", failure))
    """)
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in (
        result.stdout
    ), result.stdout + result.stderr


@pytest.mark.parametrize("name", BUILT)
def test_numpy_interface_failure_makes_the_import_fail(name):
    result = run_python(f"""
        import sys, traceback, types
        import numpy
        sys.modules["numpy._core._multiarray_umath"] = types.ModuleType("numpy._core._multiarray_umath")
        try:
            import {name}
        except ImportError as error:
            print("message:", error)
            print("entries:", [frame.name for frame in traceback.extract_tb(error.__traceback__)])
    """)
    assert "message: numpy.core.multiarray failed to import" in result.stdout, result.stderr
    assert f"init {name}" in result.stdout
