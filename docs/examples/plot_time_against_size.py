"""
Time against size
=================

How long label propagation takes as the number of points grows, for velorn
and its peers, read from the benchmark results file that ``make bench``
writes (``bench/results/results.json``; see :doc:`/performance` for how each
figure is measured). Nothing is timed while this page is built: the figure
always shows the last benchmark run.

Left, the fit on a neighbour graph that every method is handed after one
shared exact search; right, the whole call from the points, each method with
its own search. Both axes are logarithmic.
"""

import json
from pathlib import Path

import matplotlib.pyplot as plt

# Run from docs/examples, as the site builds it.
results_file = Path("../../bench/results/results.json")
results = json.loads(results_file.read_text()) if results_file.exists() else {"suites": {}}
rows = [row for row in results["suites"].get("bench_compare", [])
        if row["status"] == "ok" and row["workload"] in ("blobs4", "blobs8", "moons")]

figure, axes = plt.subplots(1, 2, figsize=(13, 4.8))
for axis, stage, what in zip(axes, ["after search", "end to end"], ["seconds", "total_s"]):
    staged = [row for row in rows if row["stage"] == stage]
    for workload, style in zip(["moons", "blobs4", "blobs8"], ["-", "--", ":"]):
        for number, name in enumerate(sorted({row["name"] for row in staged})):
            points = sorted((row["size"], row[what]) for row in staged
                            if row["name"] == name and row["workload"] == workload)
            if points:
                axis.plot(*zip(*points), style, marker="o", color=f"C{number}",
                          label=name if workload == "moons" else None)
    axis.set(xscale="log", yscale="log", xlabel="points",
             ylabel="fit after the shared search (s)" if stage == "after search" else "from the points (s)",
             title="on the same neighbour graph" if stage == "after search" else "each with its own search")
    axis.legend(fontsize="x-small")
figure.suptitle("moons (solid), 4-D blobs (dashed), 8-D blobs (dotted)")
figure.tight_layout()
plt.show()
