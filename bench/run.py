"""Runs every kernel benchmark, prints one table and records the rows in the
results file that the documentation's tables and figures are built from.

    python bench/run.py                 # 50k, 200k and 1M nodes or points
    python bench/run.py --sizes 20000 50000 100000
    python bench/run.py --only bench_compare --sizes 10000 1000000
    python bench/run.py --only bench_compare --sizes 200000 --workloads moons --methods search poisson

--workloads and --methods go to the suites that take them (bench_compare).

A suite may set its own DEFAULT_SIZES (used without --sizes) and print its
own report (print_report).

The results file (bench/results/results.json, kept in the repository) holds
each suite's rows, every row naming the run it comes from, and each run's
date, machine, Python, velorn version and command. A run replaces the rows it
measured again (the same suite, workload, method and size) and keeps the
others, so a run of one suite or one size adds to the file instead of
emptying it. A run of the comparison (bench_compare) into that file also
rewrites the README's headline table from it.
"""

import argparse
import datetime
import importlib
import inspect
import json
import os
import pathlib
import platform
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import BENCH_DIR  # noqa: E402

SUITES = ["bench_lp", "bench_connect", "bench_kelvo", "bench_dask", "bench_compare", "bench_graphs"]
# Run only when asked for by --only (make bench-large): ten million points.
LARGE_SUITES = ["bench_large"]
DEFAULT_SIZES = [50_000, 200_000, 1_000_000]


def fmt(value, spec):
    return "" if value is None else format(value, spec)


def print_table(rows):
    header = f"{'kernel':<18} {'workload':<48} {'size':>9} {'ours s':>8} {'floor s':>8} {'ratio':>6} {'ns/unit':>11}  notes"
    print(header)
    print("-" * len(header))
    for row in rows:
        notes = []
        if row.get("python_own_ns_per_unit") is not None:
            notes.append(f"python own {row['python_own_ns_per_unit']:.0f} ns/unit")
        if row.get("other_s") is not None:
            notes.append(f"{row['other_s']:.2f} s")
        if row.get("accuracy") is not None:
            notes.append(f"accuracy {row['accuracy']:.4f}")
        if row.get("agreement") is not None:
            notes.append(f"agreement {row['agreement']:.4f}")
        if row.get("note"):
            notes.append(row["note"])
        print(
            f"{row['kernel']:<18} {row['workload'][:48]:<48} {row['size']:>9} "
            f"{fmt(row.get('ours_s'), '8.3f'):>8} {fmt(row.get('floor_s'), '8.3f'):>8} "
            f"{fmt(row.get('ratio'), '6.2f'):>6} {fmt(row.get('own_ns_per_unit', row.get('ns_per_unit')), '11.1f'):>11}  {'; '.join(notes)}"
        )


def summarise(rows):
    """Per workload: speed-up over plain Python and the growth of the cost per unit."""
    lines = []
    by_workload = {}
    for row in rows:
        if row.get("ours_s") is not None:
            by_workload.setdefault((row["kernel"], row["workload"]), []).append(row)
    for (kernel, workload), group in by_workload.items():
        group.sort(key=lambda r: r["size"])
        small, large = group[0], group[-1]
        parts = [f"{kernel} / {workload}:"]
        if small.get("python_own_ns_per_unit") is not None and small["own_ns_per_unit"] > 0:
            parts.append(f"own cost {small['python_own_ns_per_unit'] / small['own_ns_per_unit']:.0f}x below plain Python")
        elif small.get("python_own_ns_per_unit") is not None:
            parts.append("own cost below zero (faster than the floor's calls alone)")
        if large.get("ratio") is not None:  # rows without a floor (bench_large) have none
            parts.append(f"ours/floor {large['ratio']:.2f} at {large['size']}")
        per_unit = "ns_per_unit" if "ns_per_unit" in small else "own_ns_per_unit"
        if small.get(per_unit, 0) > 0:
            parts.append(f"cost per unit x{large[per_unit] / small[per_unit]:.2f} from {small['size']} to {large['size']}")
        lines.append(" ".join(parts))
    return lines


RESULTS = BENCH_DIR / "results" / "results.json"
ABOUT = ("Benchmark rows written by bench/run.py (make bench); the documentation's performance tables and "
         "figures are built from this file. Each row's 'run' names the entry of 'runs' it was measured in.")


def row_key(suite, row):
    """What a row measured: a later row with the same key replaces it."""
    if "case" in row:  # bench_compare: the case holds workload, size and labelled share
        return (suite, row["case"], row["method"])
    return (suite, row.get("kernel"), row.get("workload"), row.get("data"), row.get("size"), row.get("method"),
            row.get("labels_per_class"))


def processor():
    """The processor's model name where the system tells it, else its architecture."""
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def this_run(argv):
    import velorn

    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": platform.machine(),
        "processor": processor(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "velorn": velorn.__version__,
        "command": " ".join(["python bench/run.py", *argv]),
    }


def record(path, suites, run):
    """Merges this run's rows of each suite into the results file at path."""
    path = pathlib.Path(path)
    results = json.loads(path.read_text()) if path.exists() else {}
    run_id = run["date"]
    kept = {}
    for suite, rows in results.get("suites", {}).items():
        for row in rows:
            kept[row_key(suite, row)] = row
    for suite, rows in suites.items():
        for row in rows:
            kept[row_key(suite, row)] = {**row, "run": run_id}
    merged = {}
    for key, row in kept.items():
        merged.setdefault(key[0], []).append(row)
    used = {row["run"] for rows in merged.values() for row in rows}
    runs = {**results.get("runs", {}), run_id: run}
    results = {"about": ABOUT, "runs": {name: runs[name] for name in sorted(used)},
               "suites": {suite: merged[suite] for suite in sorted(merged)}}
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=1) + "\n")


README = BENCH_DIR.parent / "README.md"
HEADLINE = ("<!-- The headline, written by bench/run.py from bench/results/results.json -->\n",
            "<!-- end of the headline -->\n")
HEADLINE_WORKLOADS = ["blobs4", "blobs8", "moons", "digits"]
# The few-labels and graph tables' columns, in this order.
FEW_LABELS_SHOWN = ["poisson", "poisson-labelled", "velorn", "graphlearning-poisson", "graphlearning", "sknetwork-diffusion",
                    "sknetwork-propagation", "labelspreading"]
GRAPH_SHOWN = {"velorn": "velorn WeightedLabelPropagation", "velorn Poisson": "velorn PoissonLabelPropagation",
               "sknetwork Propagation": "scikit-network Propagation",
               "sknetwork DiffusionClassifier": "scikit-network DiffusionClassifier",
               "igraph label_propagation": "igraph label propagation", "graphlearning Poisson": "graphlearning Poisson"}


def headline(results):
    """The README's few lines of comparison, from the results: per workload, the
    largest case where both velorn and LabelSpreading were fitted on the same graph."""
    rows = {(row["case"], row["method"]): row for row in results.get("suites", {}).get("bench_compare", [])
            if "case" in row and "method" in row}  # the few-labels trials are rows of another shape

    def seconds(case, method, field="seconds"):
        row = rows.get((case, method), {})
        return row.get(field) if row.get("status") == "ok" else None

    def seconds_text(value):
        return "-" if value is None else format(value, ".0f" if value >= 10 else ".1f" if value >= 1 else ".2g")

    def cell(values):
        shown = " / ".join(seconds_text(value) for value in values)
        ours, theirs = values[0], values[1]
        if not (ours and theirs):
            return shown
        return shown + (f" ({theirs / ours:.1f}x)" if theirs < 10 * ours else f" ({theirs / ours:.0f}x)")

    lines = ["| workload | points | fit on the same graph (s): velorn / LabelSpreading / graphlearning "
             "| from the points (s): velorn / LabelSpreading | accuracy: velorn / LabelSpreading |",
             "|---|---:|---|---|---|"]
    for workload in HEADLINE_WORKLOADS:
        cases = [row for (case, method), row in rows.items() if row["workload"] == workload and method == "velorn"
                 and row["labelled_share"] == 0.01 and seconds(case, "labelspreading") is not None
                 and seconds(case, "velorn") is not None]
        if not cases:
            continue
        case = max(cases, key=lambda row: row["size"])
        key = case["case"]
        lines.append(
            f"| {case['description']} | {case['size']:,} "
            f"| {cell([seconds(key, m) for m in ('velorn', 'labelspreading', 'graphlearning')])} "
            f"| {cell([seconds(key, m, 'total_s') for m in ('velorn-exact', 'labelspreading-own')])} "
            f"| {rows[(key, 'velorn')]['accuracy']:.4f} / {rows[(key, 'labelspreading')]['accuracy']:.4f} |")
    far = [row for (case, method), row in rows.items() if row["workload"] == "unreachable" and row.get("group")]
    if far:
        # One entry per method: the thread counts of one method give one answer.
        named = {row["name"].split(",")[0]: row for row in far if row["stage"] == "after search"}
        given = "; ".join(f"{name}: " + ", ".join(f"{count} x {label}" for label, count in row["group"]["given"].items())
                          for name, row in named.items())
        lines += ["", f"A group of {far[0]['group']['size']} samples far from every label gets: {given}."]
    used = sorted({row["run"] for row in rows.values() if row["workload"] in HEADLINE_WORKLOADS + ["unreachable"]})
    lines += ["", "From the benchmark run(s) " + ", ".join(used) + " (1% labelled, k = 15)."]
    lines += (few_labels_lines(results) + few_labels_speed_lines(results) + poisson_speed_lines(rows)
              + graph_lines(results))
    return "".join(line + "\n" for line in lines)


def percent(value, digits=1):
    return "-" if value is None else f"{100 * value:.{digits}f}"


def few_labels_lines(results):
    """Accuracy on digits with 1, 3 and 10 labels per class, every method on one graph and the same draws."""
    found = {(row["method"], row["labels_per_class"]): row for row in results.get("suites", {}).get("bench_compare", [])
             if row.get("workload") == "few_labels" and row.get("status") == "ok"}
    counts = sorted({count for _, count in found})
    if not counts:
        return []
    order = [m for m in FEW_LABELS_SHOWN if any((m, count) in found for count in counts)]
    lines = ["", "Very few labels: scikit-learn's digits, share right over the unlabelled images (%), "
             f"mean of {next(iter(found.values()))['trials']} draws, every method on the same 10-NN graph:", "",
             "| labels per class | " + " | ".join(found[next((m, c) for c in counts if (m, c) in found)]["name"]
                                                  for m in order) + " |",
             "|---|" + "---:|" * len(order)]
    for count in counts:
        values = {m: found[(m, count)]["accuracy"] for m in order if (m, count) in found}
        best = max(values.values())
        cells = [("**" + percent(values[m]) + "**" if values.get(m) == best else percent(values.get(m)))
                 for m in order]
        lines.append(f"| {count} | " + " | ".join(cells) + " |")
    used = sorted({row["run"] for row in found.values()})
    return lines + ["", "From the benchmark run(s) " + ", ".join(used) + "."]


def few_labels_speed_lines(results):
    """Poisson learning where labels are very few: velorn's against graphlearning's on the same graph."""
    from bench_compare import poisson_speed_table

    rows = [row for row in results.get("suites", {}).get("bench_compare", []) if row.get("workload") == "poisson_speed"]
    if not rows:
        return []
    lines = ["", "Poisson learning where labels are very few, best fit on the same exact k-NN graph (accuracy):", ""]
    used = sorted({row["run"] for row in rows})
    return lines + poisson_speed_table(rows) + ["", "From the benchmark run(s) " + ", ".join(used) + "."]


def poisson_speed_lines(rows):
    """PoissonLabelPropagation's fit against graphlearning's Poisson learning on the same graph, at 200k points and more."""
    # Only where graphlearning was run on the same graph: a comparison.
    cases = sorted({(row["size"], case) for (case, method), row in rows.items()
                    if method == "poisson" and row["size"] >= 200_000 and row.get("status") == "ok"
                    and (case, "graphlearning-poisson") in rows})
    if not cases:
        return []
    lines = ["", "Poisson learning on the same graph (k = 15, 1% labelled), fit in seconds and share right: "
             "velorn on 1 and 2 threads, graphlearning:", "",
             "| workload | points | velorn, 1 thread | velorn, 2 threads | graphlearning | graphlearning / velorn |",
             "|---|---:|---:|---:|---:|---:|"]
    for size, case in cases:
        ours, two, theirs = (rows.get((case, m), {}) for m in ("poisson", "poisson-2", "graphlearning-poisson"))

        def shown(row):
            if row.get("status") != "ok":
                return row.get("error", row.get("status", "-"))
            return f"{row['seconds']:.1f} s ({percent(row.get('accuracy'))})"

        fastest = min(row["seconds"] for row in (ours, two) if row.get("status") == "ok")
        ratio = "-"
        if theirs.get("status") == "ok":
            ratio = f"{theirs['seconds'] / fastest:.1f}x"
        elif theirs.get("status") == "timeout" and theirs.get("error", "").startswith("not done in "):
            limit = float(theirs["error"].split()[3])  # "not done in 600 s"
            ratio = f"over {limit / fastest:.0f}x"
        lines.append(f"| {ours['description']} | {size:,} | {shown(ours)} | {shown(two)} | {shown(theirs)} | {ratio} |")
    used = sorted({rows[(case, m)]["run"] for _, case in cases for m in ("poisson", "poisson-2", "graphlearning-poisson")
                   if (case, m) in rows})
    return lines + ["", "From the benchmark run(s) " + ", ".join(used) + "."]


def graph_lines(results):
    """Planted partitions and the karate club: every method on the same graph and seeds."""
    found = {(row["workload"], row["size"], row["method"]): row
             for row in results.get("suites", {}).get("bench_graphs", []) if "method" in row and "seconds" in row}
    if not found:
        return []
    methods = [m for m in GRAPH_SHOWN if any(key[2] == m for key in found)]
    cases = sorted({(size, workload) for workload, size, _ in found},
                   key=lambda case: (case[1] != "karate club", case[0], case[1]))
    largest = max(size for size, workload in cases if workload != "karate club")
    # The README keeps the karate club and the largest graphs; the performance page has every size.
    cases = [(size, workload) for size, workload in cases if workload == "karate club" or size == largest]
    lines = ["", "Any graph: planted partitions (5 blocks, mean degree 15, a share mu of each node's edges between "
             "blocks, 1% seeds) and Zachary's karate club (the two leaders labelled), every method on the same "
             "graph: share right (%) and the fit in seconds (smaller graphs on the performance page):", "",
             "| graph | nodes | " + " | ".join(GRAPH_SHOWN[m] for m in methods) + " |",
             "|---|---:|" + "---:|" * len(methods)]
    for size, workload in cases:
        values = {m: found[(workload, size, m)] for m in methods if (workload, size, m) in found}
        best = max(row["accuracy"] for row in values.values())
        cells = []
        for m in methods:
            row = values.get(m)
            if row is None:
                cells.append("-")
                continue
            text = percent(row["accuracy"], 2)
            text = f"**{text}**" if row["accuracy"] == best else text
            cells.append(text + (f" ({row['seconds']:.1f} s)" if size == largest else ""))
        lines.append(f"| {workload} | {size:,} | " + " | ".join(cells) + " |")
    used = sorted({row["run"] for (workload, size, _), row in found.items() if (size, workload) in cases})
    return lines + ["", "From the benchmark run(s) " + ", ".join(used) + "."]


def write_headline(results, readme=README):
    """Replaces the headline between its two markers in the README."""
    text = readme.read_text()
    start = text.index(HEADLINE[0]) + len(HEADLINE[0])
    end = text.index(HEADLINE[1])
    readme.write_text(text[:start] + headline(results) + text[end:])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+")
    parser.add_argument("--only", choices=SUITES + LARGE_SUITES, nargs="+", default=SUITES)
    parser.add_argument("--workloads", nargs="+", help="only these workloads, in the suites that take them")
    parser.add_argument("--methods", nargs="+", help="only these methods, in the suites that take them")
    parser.add_argument("--output", default=str(RESULTS), help="the results file to merge this run's rows into")
    args = parser.parse_args(argv)
    run = this_run(sys.argv[1:] if argv is None else argv)

    rows = []
    suites = {}
    own_reports = {}
    started = time.perf_counter()
    for name in args.only:
        try:
            suite = importlib.import_module(name)
        except ImportError as error:
            print(f"skipping {name}: {error}", file=sys.stderr)
            continue
        print(f"running {name} ...", file=sys.stderr, flush=True)
        accepted = inspect.signature(suite.run).parameters
        choices = {name: tuple(value) for name, value in [("workloads", args.workloads), ("methods", args.methods)]
                   if value and name in accepted}
        suite_rows = suite.run(sorted(args.sizes or getattr(suite, "DEFAULT_SIZES", DEFAULT_SIZES)), **choices)
        suites[name] = suite_rows
        if hasattr(suite, "print_report"):
            own_reports[name] = (suite, suite_rows)
        else:
            rows.extend(suite_rows)

    if rows:
        print_table(rows)
        print()
        for line in summarise(rows):
            print(line)
    for suite, suite_rows in own_reports.values():
        print()
        suite.print_report(suite_rows)
    print(f"\n{platform.processor() or platform.machine()}, {time.perf_counter() - started:.0f} s in all")
    record(args.output, suites, run)
    print(f"recorded in {args.output}")
    if pathlib.Path(args.output).resolve() == RESULTS and {"bench_compare", "bench_graphs"} & set(suites):
        write_headline(json.loads(RESULTS.read_text()))
        print(f"headline rewritten in {README}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
