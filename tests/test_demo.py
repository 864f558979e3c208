"""A tiny end-to-end run of the demo."""

import sys

import pytest

from velorn.demo import main


@pytest.mark.parametrize("search", ["exact", "approximate"])
def test_small_run_reports_both_methods(capsys, tmp_path, search):
    if search == "approximate":
        pytest.importorskip("hnswlib")
    # The figure is drawn in the same run where matplotlib is there.
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        plot = []
    else:
        plot = ["--plot", str(tmp_path / "demo.png")] if search == "exact" else []
    assert main(["--size", "small", "--points", "3000", "--seed", "1", "--search", search, *plot]) == 0
    if plot:
        assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")
    output = capsys.readouterr().out
    for step in (f"{search} neighbour search", "WeightedLabelPropagation", "reassign_noise"):
        assert step in output
    assert "accuracy vs blob ids" in output
    assert "adjusted Rand index" in output
    # 1% of the 3,000 nodes start labelled; every other one gets a label.
    assert "nodes labelled          2,970 of 2,970" in output


def test_plot_without_matplotlib_explains_the_install(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes its import fail
    assert main(["--plot", str(tmp_path / "demo.png")]) == 2
    assert "pip install 'velorn[plot]'" in capsys.readouterr().err


def test_approximate_search_without_hnswlib_explains_the_install(monkeypatch, capsys):
    monkeypatch.setattr("importlib.util.find_spec", lambda name, *args: None)
    assert main(["--search", "approximate"]) == 2
    assert "pip install 'velorn[fast]'" in capsys.readouterr().err
