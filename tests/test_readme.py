"""The Python examples of the README and of the kernels' guide run as written
and print what their comments show."""

import contextlib
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
# Pages whose Python examples run here: the README, and the guide to the kernels.
PAGES = [README, ROOT / "docs" / "guide" / "kernels.md"]
FOUND = [(page, code) for page in PAGES
         for code in re.findall(r"^```python\n(.*?)^```", page.read_text(), flags=re.MULTILINE | re.DOTALL)]
EXAMPLES = [code for page, code in FOUND if page == README]
# print(...)  # what it prints
SHOWN_OUTPUT = re.compile(r"^print\(.*\)\s+# (.*)$")


def test_readme_has_an_example_per_function():
    code = "\n".join(EXAMPLES)
    for function in ("kelvo_postprocess", "weighted_label_propagation", "connect_unlabeled"):
        assert f"{function}(" in code


@pytest.mark.parametrize("page, code", FOUND,
                         ids=[f"{page.stem}-example{number}" for number, (page, _) in enumerate(FOUND, 1)])
def test_example_prints_what_it_shows(page, code):
    for module in re.findall(r"^from (velorn\S*binaries\S*) import", code, flags=re.MULTILINE):
        pytest.importorskip(module)
    for module in re.findall(r"^(?:from|import) (dask|distributed)\b", code, flags=re.MULTILINE):
        pytest.importorskip(module)  # an optional extra
    shown = [match.group(1) for line in code.splitlines() if (match := SHOWN_OUTPUT.match(line))]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(page), "exec"), {})
    assert printed.getvalue().splitlines() == shown
