"""Sphinx configuration of velorn's documentation site (make docs)."""

import inspect
import sys
import textwrap
import warnings
from pathlib import Path

import velorn
from numpydoc.docscrape import ClassDoc

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "velorn"
author = "velorn developers"
copyright = "velorn developers"
release = version = velorn.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "bench_results",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_generated", "examples/README.rst", "sg_execution_times.rst"]
templates_path = ["_templates"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

# The API reference: one page per public name (api.md), methods listed on the
# class pages.
autosummary_generate = True
autodoc_default_options = {"members": False}
numpydoc_show_class_members = True
numpydoc_class_members_toctree = False
numpydoc_show_inherited_class_members = False
numpydoc_xref_param_type = False

# The gallery: every example runs while the site is built, and its figures go
# on its page.
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    # Two examples draw from the benchmark results file: every build runs them all.
    "run_stale_examples": True,
    # The API pages list the examples that use each name.
    "doc_module": ("velorn",),
    "backreferences_dir": "api/generated/backreferences",
    "reference_url": {"velorn": None},
}

html_theme = "pydata_sphinx_theme"
html_title = f"velorn {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_show_sourcelink = False


# --- The native functions ------------------------------------------------------
# Their docstrings begin with the typed signature of the extension module
# (C element types and all), which autodoc cannot parse as a Python one: the
# page takes the signature that inspect.signature gives and shows the typed
# one as a line of its own. Some of them still write "Parameters:" with an
# underline of another length, which numpydoc would drop as an unknown
# section: the heading is read as numpydoc's until those docstrings are
# rewritten.
autodoc_docstring_signature = False
NATIVE_GUIDE = "See :doc:`/guide/native` for this kernel at work."
# numpydoc reads those docstrings once more for itself, and says so.
warnings.filterwarnings("ignore", category=UserWarning, module="numpydoc",
                        message=r"(?s).*in the docstring of (weighted_label_propagation|connect_unlabeled)")


def _is_native(obj):
    return type(obj).__name__ == "velorn_function"


def native_docstring(app, what, name, obj, options, lines):
    if not _is_native(obj) or not lines:
        return
    if lines[0].startswith(obj.__name__ + "("):
        # After the summary, which the API index shows.
        typed = [f"Typed signature: ``{lines.pop(0)}``", ""]
        while lines and not lines[0].strip():
            lines.pop(0)
        end = next((number for number, line in enumerate(lines) if not line.strip()), len(lines))
        lines[end:end] = ["", *typed]
    headings = [number for number in range(len(lines) - 1)
                if lines[number].strip() and set(lines[number + 1].strip()) == {"-"}]
    for start, end in zip(headings, [*headings[1:], len(lines) + 1]):
        heading = lines[start].strip().rstrip(":")
        body = textwrap.dedent("\n".join(lines[start + 2:end - 1])).split("\n")
        lines[start:end - 1] = [heading, "-" * len(heading), *body]
    lines += ["", "Notes", "-----", NATIVE_GUIDE]


def native_signature(app, what, name, obj, options, signature, return_annotation):
    if _is_native(obj):
        return str(inspect.signature(obj)), None
    return None


# numpydoc lists a class's own methods only, and scikit-learn's inherited ones
# (get_params, score) would bring references to its own site. The estimators'
# fit and predict are written once, in velorn.propagation.BaseLabelPropagation:
# methods a class inherits from velorn's own classes are listed as its own.
def _is_velorn_member(self, name):
    return self.show_inherited_members or any(
        name in vars(cls) for cls in self._cls.__mro__ if cls.__module__.startswith("velorn"))


ClassDoc._is_show_member = _is_velorn_member


def setup(app):
    # Before numpydoc's own handler (priority 500) reads the sections.
    app.connect("autodoc-process-docstring", native_docstring, priority=400)
    app.connect("autodoc-process-signature", native_signature, priority=400)
