"""The README's Python examples run as written and print what their comments show."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.MULTILINE | re.DOTALL)
# print(...)  # what it prints
SHOWN_OUTPUT = re.compile(r"^print\(.*\)\s+# (.*)$")


def test_readme_has_an_example_per_function():
    code = "\n".join(EXAMPLES)
    for function in ("kelvo_postprocess", "weighted_label_propagation", "connect_unlabeled"):
        assert f"{function}(" in code


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{number}" for number in range(1, len(EXAMPLES) + 1)])
def test_example_prints_what_it_shows(code):
    for module in re.findall(r"^from (velorn\S*binaries\S*) import", code, flags=re.MULTILINE):
        pytest.importorskip(module)
    for module in re.findall(r"^(?:from|import) (dask|distributed)\b", code, flags=re.MULTILINE):
        pytest.importorskip(module)  # an optional extra
    shown = [match.group(1) for line in code.splitlines() if (match := SHOWN_OUTPUT.match(line))]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(README), "exec"), {})
    assert printed.getvalue().splitlines() == shown
