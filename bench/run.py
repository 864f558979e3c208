"""Runs every kernel benchmark, prints one table and writes it as JSON.

    python bench/run.py                 # 50k, 200k and 1M nodes or points
    python bench/run.py --sizes 20000 50000 100000
    python bench/run.py --only bench_compare --sizes 10000 1000000

A suite may set its own DEFAULT_SIZES (used without --sizes) and print its
own report (print_report); its rows are then written under its name.
"""

import argparse
import importlib
import json
import pathlib
import platform
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import BENCH_DIR  # noqa: E402

SUITES = ["bench_lp", "bench_connect", "bench_kelvo", "bench_dask", "bench_compare", "bench_graphs"]
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
        parts.append(f"ours/floor {large['ratio']:.2f} at {large['size']}")
        per_unit = "ns_per_unit" if "ns_per_unit" in small else "own_ns_per_unit"
        if small.get(per_unit, 0) > 0:
            parts.append(f"cost per unit x{large[per_unit] / small[per_unit]:.2f} from {small['size']} to {large['size']}")
        lines.append(" ".join(parts))
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+")
    parser.add_argument("--only", choices=SUITES, nargs="+", default=SUITES)
    parser.add_argument("--output", default=str(BENCH_DIR / "results" / "bench.json"))
    args = parser.parse_args(argv)

    rows = []
    own_reports = {}
    started = time.perf_counter()
    for name in args.only:
        try:
            suite = importlib.import_module(name)
        except ImportError as error:
            print(f"skipping {name}: {error}", file=sys.stderr)
            continue
        print(f"running {name} ...", file=sys.stderr, flush=True)
        suite_rows = suite.run(sorted(args.sizes or getattr(suite, "DEFAULT_SIZES", DEFAULT_SIZES)))
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
    output = args.output
    pathlib.Path(output).parent.mkdir(parents=True, exist_ok=True)
    with open(output, "w") as file:
        json.dump({"sizes": args.sizes, "rows": rows, **{name: r for name, (_, r) in own_reports.items()}}, file,
                  indent=2)
    print(f"written {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
