"""Tables and figures of the performance page, read from the benchmark results
file that `make bench` writes (bench/results/results.json), so that the
figures on the site are always those of the last run and no one copies them.

Directives (in Markdown pages as ```{bench-runs}``` and so on):

- ``bench-runs``: the runs the rows come from (date, command, machine).
- ``bench-compare``: rows of the comparison with the peers (bench_compare);
  options ``:workloads:`` (keys, space-separated) and ``:stage:`` (``after
  search`` or ``end to end``).
- ``bench-kernels``: rows of the kernel suites; option ``:kernel:`` (``label
  propagation``, ``component connection``, ``post-processing``).
- ``bench-figure``: a plot drawn from the rows, by name: ``fit-time`` (the fit
  after the shared search against the number of points) or ``accuracy``.
"""

import json
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

RESULTS = Path(__file__).resolve().parents[2] / "bench" / "results" / "results.json"
FIGURES = "_generated"


def load():
    return json.loads(RESULTS.read_text()) if RESULTS.exists() else {"runs": {}, "suites": {}}


def fmt(value, spec):
    return "" if value is None else format(value, spec)


def compare_rows(results, workloads=None, stage=None):
    rows = results["suites"].get("bench_compare", [])
    return [row for row in rows if row["method"] != "search"
            and (not workloads or row["workload"] in workloads) and (not stage or row["stage"] == stage)]


class ResultsDirective(SphinxDirective):
    def emit(self, lines):
        """Parses reStructuredText lines into nodes."""
        self.env.note_dependency(str(RESULTS))
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(RESULTS)), self.content_offset, container)
        return container.children

    def list_table(self, header, rows, widths=None):
        lines = [".. list-table::", "   :header-rows: 1", ""]
        if widths:
            lines.insert(1, f"   :widths: {' '.join(map(str, widths))}")
        for row in [header, *rows]:
            cells = [str(cell).replace("|", "/") or " " for cell in row]
            lines.append(f"   * - {cells[0]}")
            lines += [f"     - {cell}" for cell in cells[1:]]
        return self.emit(lines)

    def nothing(self, what):
        return self.emit([f".. note:: The results file has no {what} yet: ``make bench`` records them."])


class BenchRuns(ResultsDirective):
    def run(self):
        runs = load()["runs"]
        if not runs:
            return self.nothing("runs")
        return self.list_table(
            ["run", "command", "machine", "Python", "velorn"],
            [[name, f"``{run['command']}``", f"{run['processor']}, {run['cores']} cores", run["python"],
              run["velorn"]] for name, run in runs.items()])


class BenchCompare(ResultsDirective):
    option_spec = {"workloads": directives.unchanged, "stage": directives.unchanged}

    def run(self):
        results = load()
        workloads = self.options.get("workloads", "").split()
        rows = compare_rows(results, workloads, self.options.get("stage"))
        if not rows:
            return self.nothing("comparison rows" + (f" for {' '.join(workloads)}" if workloads else ""))
        searches = {row["case"]: row for row in results["suites"]["bench_compare"] if row["method"] == "search"}
        table = []
        for row in rows:
            after = row["stage"] == "after search"
            search = searches.get(row["case"], {}).get("seconds") if after else None
            status = "" if row["status"] == "ok" else row["status"]
            given = row.get("group", {}).get("given")
            if given:
                status = "far group given " + ", ".join(f"{count} x {label}" for label, count in given.items())
            table.append([row["description"], f"{row['size']:,}", f"{row['labelled_share']:.0%}", row["name"],
                          fmt(search, ".2f"), fmt(row.get("seconds") if after else None, ".3f"),
                          fmt(row.get("total_s"), ".2f"), fmt(row.get("peak_mib"), ",.0f"),
                          fmt(row.get("accuracy"), ".4f"), fmt(row.get("left_unlabelled"), ",d"), status,
                          row["run"]])
        return self.list_table(["workload", "points", "labelled", "method", "search (s)", "after search (s)",
                                "total (s)", "peak (MiB)", "accuracy", "-1 left", "notes", "run"], table)


class BenchKernels(ResultsDirective):
    option_spec = {"kernel": directives.unchanged}

    def run(self):
        kernel = self.options.get("kernel")
        rows = [row for suite, rows in load()["suites"].items() if suite != "bench_compare" for row in rows
                if not kernel or row.get("kernel") == kernel]
        if not rows:
            return self.nothing(f"{kernel or 'kernel'} rows")
        table = []
        for row in rows:
            notes = [row["note"]] if row.get("note") else []
            if row.get("other_s") is not None:
                notes.insert(0, f"{row['other_s']:.2f} s")
            if row.get("accuracy") is not None:
                notes.append(f"accuracy {row['accuracy']:.4f}")
            per_unit = row.get("own_ns_per_unit", row.get("ns_per_unit"))
            table.append([row["workload"], f"{row['size']:,}", fmt(row.get("ours_s"), ".3f"),
                          fmt(row.get("floor_s"), ".3f"), fmt(row.get("ratio"), ".2f"), fmt(per_unit, ".0f"),
                          "; ".join(notes), row["run"]])
        return self.list_table(["workload", "size", "ours (s)", "floor (s)", "ours / floor", "ns per unit", "notes",
                                "run"], table)


class BenchFigure(ResultsDirective):
    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        draw = {"fit-time": fit_time, "accuracy": accuracy}[name]
        figure = draw(load())
        if figure is None:
            return self.nothing(f"rows for the {name} figure")
        folder = Path(self.env.srcdir) / FIGURES
        folder.mkdir(exist_ok=True)
        figure.savefig(folder / f"bench-{name}.png", dpi=96, bbox_inches="tight")
        import matplotlib.pyplot as plt

        plt.close(figure)
        return self.emit([f".. image:: /{FIGURES}/bench-{name}.png", f"   :alt: benchmark figure {name}"])


def fit_time(results):
    """Time of each method's fit after the shared search, against the number of points, per workload."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [row for row in compare_rows(results, stage="after search")
            if row["status"] == "ok" and results_sized(row)]
    workloads = sorted({row["workload"] for row in rows})
    if not workloads:
        return None
    figure, axes = plt.subplots(1, len(workloads), figsize=(4.2 * len(workloads), 3.6), squeeze=False)
    for axis, workload in zip(axes[0], workloads):
        chosen = [row for row in rows if row["workload"] == workload]
        for method in sorted({row["name"] for row in chosen}):
            points = sorted((row["size"], row["seconds"]) for row in chosen if row["name"] == method)
            axis.plot(*zip(*points), marker="o", label=method)
        axis.set(xscale="log", yscale="log", xlabel="points", title=chosen[0]["description"])
    axes[0][0].set_ylabel("fit after the search (s)")
    axes[0][-1].legend(fontsize="small")
    figure.tight_layout()
    return figure


def results_sized(row):
    return row["workload"] not in ("digits", "unreachable")


def accuracy(results):
    """Accuracy of every method on every case, one group of bars per case."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    rows = [row for row in compare_rows(results) if row["status"] == "ok" and row.get("accuracy") is not None]
    if not rows:
        return None
    cases = list(dict.fromkeys((row["description"], row["size"], row["labelled_share"]) for row in rows))
    methods = list(dict.fromkeys(row["name"] for row in rows))
    figure, axis = plt.subplots(figsize=(10, 0.45 * len(cases) * len(methods) / 2 + 1.5))
    height = 0.8 / len(methods)
    for number, method in enumerate(methods):
        scores = {(r["description"], r["size"], r["labelled_share"]): r["accuracy"] for r in rows
                  if r["name"] == method}
        axis.barh(np.arange(len(cases)) + number * height, [scores.get(case, 0.0) for case in cases], height,
                  label=method)
    axis.set_yticks(np.arange(len(cases)) + 0.4 - height / 2,
                    [f"{d[:28]}, {n:,} points, {s:.0%} labelled" for d, n, s in cases], fontsize="small")
    low = min(row["accuracy"] for row in rows)
    axis.set(xlim=(max(0.0, low - 0.02), 1.0), xlabel="accuracy over the unlabelled samples")
    axis.invert_yaxis()
    axis.legend(fontsize="small", loc="lower left")
    figure.tight_layout()
    return figure


def setup(app):
    app.add_directive("bench-runs", BenchRuns)
    app.add_directive("bench-compare", BenchCompare)
    app.add_directive("bench-kernels", BenchKernels)
    app.add_directive("bench-figure", BenchFigure)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
