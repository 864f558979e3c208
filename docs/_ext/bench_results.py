"""Tables and figures of the performance page, read from the benchmark results
file that `make bench` writes (bench/results/results.json), so that the
figures on the site are always those of the last run and no one copies them.

Directives (in Markdown pages as ```{bench-runs}``` and so on):

- ``bench-runs``: the runs the rows come from (date, command, machine).
- ``bench-compare``: rows of the comparison with the peers (bench_compare);
  options ``:workloads:`` (keys, space-separated) and ``:stage:`` (``after
  search`` or ``end to end``).
- ``bench-kernels``: rows of the kernel suites; option ``:kernel:`` (one or
  more of ``label propagation``, ``component connection``, ``demo graph
  steps``, ``post-processing``, separated by commas).
- ``bench-graphs``: the general-graph rows (bench_graphs): each graph's
  share right per method, and its fit time.
- ``bench-figure``: a plot drawn from the rows, by name: ``accuracy`` (of
  every method on every case of the comparison).
- ``bench-poisson-speed``: Poisson learning where labels are very few,
  velorn's against graphlearning's on the same graph: fit time and accuracy.
- ``bench-few-labels``: the accuracy panels of the comparison, each method's
  mean over the draws; option ``:workload:`` (``few_labels``, digits, the
  default; or ``unequal``, classes of unequal sizes).
"""

import json
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

RESULTS = Path(__file__).resolve().parents[2] / "bench" / "results" / "results.json"
FIGURES = "_generated"


def load():
    return json.loads(RESULTS.read_text()) if RESULTS.exists() else {"runs": {}, "suites": {}}


def fmt(value, spec):
    return "" if value is None else format(value, spec)


def in_order(rows, *fields):
    """The rows sorted by size within each of the fields, whose values keep the order they first come in."""
    first = {field: {} for field in fields}
    for row in rows:
        for field in fields:
            first[field].setdefault(row.get(field), len(first[field]))
    return sorted(rows, key=lambda row: (first[fields[0]][row.get(fields[0])], row.get("size", 0),
                                         row.get("labelled_share", 0),
                                         *(first[field][row.get(field)] for field in fields[1:])))


def compare_rows(results, workloads=None, stage=None):
    rows = results["suites"].get("bench_compare", [])
    return in_order([row for row in rows if "case" in row and row["method"] != "search"
                     and (not workloads or row["workload"] in workloads) and (not stage or row["stage"] == stage)],
                    "workload", "method")


class ResultsDirective(SphinxDirective):
    """Builds its nodes directly, so that it works alike in Markdown and reStructuredText pages."""

    def list_table(self, header, rows):
        self.env.note_dependency(str(RESULTS))
        group = nodes.tgroup(cols=len(header))
        group += [nodes.colspec(colwidth=1) for _ in header]
        group += nodes.thead("", self.table_row(header))
        group += nodes.tbody("", *[self.table_row(row) for row in rows])
        return [nodes.table("", group, classes=["bench-results"])]

    @staticmethod
    def table_row(cells):
        row = nodes.row()
        for cell in cells:
            text = str(cell)
            if text.startswith("``"):
                inline = nodes.literal(text[2:-2], text[2:-2])
            elif text.startswith("**"):
                inline = nodes.strong(text[2:-2], text[2:-2])
            else:
                inline = nodes.Text(text)
            row += nodes.entry("", nodes.paragraph("", "", inline))
        return row

    def nothing(self, what):
        self.env.note_dependency(str(RESULTS))
        text = f"The results file has no {what} yet: make bench records them."
        return [nodes.note("", nodes.paragraph(text, text))]


class BenchRuns(ResultsDirective):
    def run(self):
        runs = load()["runs"]
        if not runs:
            return self.nothing("runs")
        return self.list_table(
            ["run", "command", "machine", "Python", "velorn", "source"],
            [[name, f"``{run['command']}``", f"{run['processor']}, {run['cores']} cores", run["python"],
              run["velorn"], run.get("source", "measured by make bench")] for name, run in runs.items()])


class BenchCompare(ResultsDirective):
    option_spec = {"workloads": directives.unchanged, "stage": directives.unchanged}

    def run(self):
        results = load()
        workloads = self.options.get("workloads", "").split()
        rows = compare_rows(results, workloads, self.options.get("stage"))
        if not rows:
            return self.nothing("comparison rows" + (f" for {' '.join(workloads)}" if workloads else ""))
        searches = {row["case"]: row for row in results["suites"]["bench_compare"] if row.get("method") == "search" and "case" in row}
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
        kernels = [name.strip() for name in self.options.get("kernel", "").split(",") if name.strip()]
        rows = in_order([row for suite, rows in load()["suites"].items() if suite != "bench_compare" for row in rows
                         if not kernels or row.get("kernel") in kernels], "workload")
        if not rows:
            return self.nothing(f"{', '.join(kernels) or 'kernel'} rows")
        table = []
        for row in rows:
            notes = [row["note"]] if row.get("note") else []
            if row.get("other_s") is not None:
                notes.insert(0, f"{row['other_s']:.2f} s")
            if row.get("python_own_ns_per_unit") is not None:
                notes.append(f"plain Python own cost {row['python_own_ns_per_unit']:.0f} ns/unit")
            if row.get("accuracy") is not None:
                notes.append(f"accuracy {row['accuracy']:.4f}")
            if row.get("agreement") is not None:
                notes.append(f"agreement with ours {row['agreement']:.4f}")
            per_unit = row.get("own_ns_per_unit", row.get("ns_per_unit"))
            table.append([row["workload"], f"{row['size']:,}", fmt(row.get("ours_s"), ".3f"),
                          fmt(row.get("floor_s"), ".3f"), fmt(row.get("ratio"), ".2f"), fmt(per_unit, ".0f"),
                          "; ".join(notes), row["run"]])
        return self.list_table(["workload", "size", "ours (s)", "floor (s)", "ours / floor", "ns per unit", "notes",
                                "run"], table)


class BenchGraphs(ResultsDirective):
    def run(self):
        rows = [row for row in load()["suites"].get("bench_graphs", []) if "method" in row and "seconds" in row]
        if not rows:
            return self.nothing("general-graph rows")
        methods = list(dict.fromkeys(row["method"] for row in rows))
        cases = {}
        for row in rows:
            cases.setdefault((row["size"], row["workload"]), {})[row["method"]] = row
        table = []
        for (size, workload), found in sorted(cases.items(), key=lambda item: (item[0][1] != "karate club", item[0])):
            cells = [f"{100 * found[m]['accuracy']:.2f}% ({found[m]['seconds']:.2g} s)" if m in found else ""
                     for m in methods]
            table.append([workload, f"{size:,}", *cells, ", ".join(sorted({r["run"] for r in found.values()}))])
        return self.list_table(["graph", "nodes", *methods, "run"], table)


def panel_table(results, workload):
    """(header, rows) of an accuracy panel: a row per data set (for the
    unequal classes) and labels-per-class count, a column per method, the
    best share right in bold."""
    rows = [row for row in results["suites"].get("bench_compare", [])
            if row.get("workload") == workload and row.get("status") == "ok"]
    names = {row["method"]: row["name"] for row in rows}
    found = {}
    for row in rows:
        found.setdefault((row.get("description", ""), row["labels_per_class"]), {})[row["method"]] = row["accuracy"]
    table = []
    for (description, count), at in found.items():
        best = max(at.values())
        cells = [(f"**{100 * at[m]:.1f}**" if at[m] == best else f"{100 * at[m]:.1f}") if m in at else ""
                 for m in names]
        table.append(([description] if workload == "unequal" else []) + [count, *cells])
    runs = ", ".join(sorted({row["run"] for row in rows}))
    header = (["data"] if workload == "unequal" else []) + ["labels per class", *names.values()]
    return header, table, runs


class BenchFewLabels(ResultsDirective):
    option_spec = {"workload": directives.unchanged}

    def run(self):
        workload = self.options.get("workload", "few_labels")
        header, table, runs = panel_table(load(), workload)
        if not table:
            return self.nothing(f"{workload} rows")
        note = f"From the benchmark run(s) {runs}."
        return self.list_table(header, table) + [nodes.paragraph(note, note)]


class BenchPoissonSpeed(ResultsDirective):
    def run(self):
        rows = [row for row in load()["suites"].get("bench_compare", []) if row.get("workload") == "poisson_speed"]
        if not rows:
            return self.nothing("few-labels speed rows")
        names = {row["method"]: row["name"] for row in rows}
        found = {}
        for row in rows:
            found.setdefault((row["description"], row["labels_per_class"]), {})[row["method"]] = row
        table = []
        for (description, count), at in found.items():
            ours = [at[m]["seconds"] for m in ("poisson", "poisson-2") if at.get(m, {}).get("status") == "ok"]
            peer = at.get("graphlearning-poisson", {})
            ratio = f"{peer['seconds'] / min(ours):.1f}x" if ours and peer.get("status") == "ok" else ""
            table.append([description, count, *[(f"{at[m]['seconds']:.2f} s ({100 * at[m]['accuracy']:.1f}%)"
                                                 if at[m]["status"] == "ok" else at[m]["error"]) if m in at else ""
                                                for m in names], ratio])
        note = "From the benchmark run(s) " + ", ".join(sorted({row["run"] for row in rows})) + "."
        return self.list_table(["data", "labels per class", *names.values(), "graphlearning / velorn"], table) + [
            nodes.paragraph(note, note)]


class BenchFigure(ResultsDirective):
    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        draw = {"accuracy": accuracy}[name]
        figure = draw(load())
        if figure is None:
            return self.nothing(f"rows for the {name} figure")
        folder = Path(self.env.srcdir) / FIGURES
        folder.mkdir(exist_ok=True)
        figure.savefig(folder / f"bench-{name}.png", dpi=96, bbox_inches="tight")
        import matplotlib.pyplot as plt

        plt.close(figure)
        self.env.note_dependency(str(RESULTS))
        return [nodes.image(uri=f"/{FIGURES}/bench-{name}.png", alt=f"benchmark figure: {name}")]


SHORT_NAMES = {"blobs4": "4-D blobs", "blobs8": "8-D blobs", "moons": "two moons", "digits": "digits",
               "unreachable": "4-D blobs + far group"}


def accuracy(results):
    """Accuracy of every method on every case: one line of dots per case."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [row for row in compare_rows(results) if row["status"] == "ok" and row.get("accuracy") is not None]
    if not rows:
        return None
    rows.sort(key=lambda row: (row["workload"], row["size"], row["labelled_share"]))
    cases = list(dict.fromkeys(row["case"] for row in rows))
    names = {row["case"]: f"{SHORT_NAMES.get(row['workload'], row['description'])}, {row['size']:,} points, "
                          f"{row['labelled_share']:.0%} labelled" for row in rows}
    methods = list(dict.fromkeys(row["name"] for row in compare_rows(results)))
    figure, axis = plt.subplots(figsize=(9, 0.42 * len(cases) + 1.6))
    for number, method in enumerate(methods):
        chosen = [(row["accuracy"], cases.index(row["case"])) for row in rows if row["name"] == method]
        if chosen:
            axis.scatter(*zip(*chosen), marker="osD^vP"[number % 6], s=46, alpha=0.8, label=method,
                         color=f"C{number}", zorder=3)
    axis.set_yticks(range(len(cases)), [names[case] for case in cases], fontsize="small")
    axis.set_ylim(len(cases) - 0.5, -0.5)
    axis.grid(axis="x", alpha=0.4)
    axis.set_xlabel("accuracy over the unlabelled samples")
    axis.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    figure.tight_layout()
    return figure


def setup(app):
    app.add_directive("bench-runs", BenchRuns)
    app.add_directive("bench-compare", BenchCompare)
    app.add_directive("bench-kernels", BenchKernels)
    app.add_directive("bench-graphs", BenchGraphs)
    app.add_directive("bench-figure", BenchFigure)
    app.add_directive("bench-few-labels", BenchFewLabels)
    app.add_directive("bench-poisson-speed", BenchPoissonSpeed)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
