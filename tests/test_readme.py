"""The Python examples of the README and of the user guide (docs/guide/*.md)
run as written and print what their comments show."""

import contextlib
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs" / "guide").glob("*.md"))]
EXAMPLES = [(page, code) for page in PAGES
            for code in re.findall(r"^```python\n(.*?)^```", page.read_text(), flags=re.MULTILINE | re.DOTALL)]
# print(...)  # what it prints
SHOWN_OUTPUT = re.compile(r"^print\(.*\)\s+# (.*)$")


def test_every_public_function_has_an_example():
    code = "\n".join(code for _, code in EXAMPLES)
    for function in ("WeightedLabelPropagation", "reassign_noise", "kelvo_postprocess", "weighted_label_propagation",
                     "connect_unlabeled", "GraphWrapper"):
        assert f"{function}(" in code or f"{function}." in code, function
    readme = "\n".join(code for page, code in EXAMPLES if page.name == "README.md")
    assert "WeightedLabelPropagation(" in readme and "reassign_noise(" in readme


def example_ids():
    numbers = {}
    for page, _ in EXAMPLES:
        numbers[page] = numbers.get(page, 0) + 1
        yield f"{page.stem}-{numbers[page]}"


@pytest.mark.parametrize("page, code", EXAMPLES, ids=list(example_ids()))
def test_example_prints_what_it_shows(page, code):
    for module in re.findall(r"^(?:from|import) (dask|distributed|networkx|igraph)\b", code, flags=re.MULTILINE):
        pytest.importorskip(module)  # an optional extra, or a graph library the guide converts from
    if 'search="approximate"' in code:
        pytest.importorskip("hnswlib")  # the [fast] extra
    shown = [match.group(1) for line in code.splitlines() if (match := SHOWN_OUTPUT.match(line))]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(page), "exec"), {})
    assert printed.getvalue().splitlines() == shown


def test_readme_headline_is_that_of_the_results_file():
    import importlib.util
    import json

    spec = importlib.util.spec_from_file_location("bench_run", ROOT / "bench" / "run.py")
    bench_run = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench_run)
    readme = (ROOT / "README.md").read_text()
    start, end = (readme.index(marker) + len(marker) for marker in bench_run.HEADLINE)
    shown = readme[start:end - len(bench_run.HEADLINE[1])]
    assert shown == bench_run.headline(json.loads(bench_run.RESULTS.read_text())), (
        "the README's headline differs from bench/results/results.json: python bench/run.py rewrites it")
