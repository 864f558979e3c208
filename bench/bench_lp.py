"""Weighted label propagation on k-nearest-neighbour graphs of blob data.

For each size: our time, the floor (the two to_numpy calls per processed node,
replayed from a recorded run with a C-level loop), our own cost per processed
row entry, and, at the smallest size, the plain-Python version's own cost for
the speed-up figure. scikit-learn's LabelSpreading on the same data is the
comparison a user would otherwise reach for. With GraphWrapper, a bare C
loop (bare_loop.cpp: the same calls and arithmetic, none of the checks) is
timed beside ours: what the calling convention and the scoring cost at least.
The kernel reads a plain GraphWrapper's rows in place, without those calls,
so there its own cost is its whole time and it undercuts the floor;
the same kernel on prebuilt rows is timed in turn with it, for the ratio
between the two, and the memory the two containers add to the k-NN tables is
noted. The plain-Python container that GraphWrapper replaced
(testkit/python_graph_wrapper.py) is timed as it was, for the speed-up.
"""

import importlib.util
import os
import subprocess
import sysconfig

import numpy as np

from common import (BENCH_DIR, CACHE_DIR, CallLog, PrebuiltRows, added_bytes, blob_knn, columns, median_times,
                    no_input, replay, seed_labels, timed)
from python_graph_wrapper import PythonGraphWrapper

from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation

CONTAINERS = {
    "prebuilt rows": PrebuiltRows,
    "GraphWrapper": GraphWrapper.from_knn,
    "plain-Python GraphWrapper (before)": PythonGraphWrapper.from_knn,
}
LABEL_SPREADING_MAX = 200_000


def measure(n, container_name, pure_python=False):
    points, truth, ids, distances = blob_knn(n)
    labels = seed_labels(truth)
    make = CONTAINERS[container_name]
    connections, weights = make(ids), make(distances)

    logged_connections, logged_weights = CallLog(connections), CallLog(weights)
    result = labels.copy()
    weighted_label_propagation(logged_connections, logged_weights, result)
    connection_calls = columns(logged_connections.calls["to_numpy"])
    weight_calls = columns(logged_weights.calls["to_numpy"])
    units = len(logged_connections.calls["to_numpy"]) * ids.shape[1]

    def floor_calls(_):
        replay(connections.to_numpy, connection_calls)
        replay(weights.to_numpy, weight_calls)

    runs = [(lambda lab: weighted_label_propagation(connections, weights, lab), labels.copy),
            (floor_calls, no_input)]
    notes = []
    if container_name == "GraphWrapper":
        # The yardstick must label alike, and is timed in turn with the others,
        # as is the kernel on prebuilt rows.
        propagate = bare_loop().propagate
        theirs = labels.copy()
        propagate(connections, weights, theirs, 1e-3)
        assert (theirs == result).all(), "the bare loop labels differently"
        prebuilt = PrebuiltRows(ids), PrebuiltRows(distances)
        runs.append((lambda lab: weighted_label_propagation(*prebuilt, lab), labels.copy))
        runs.append((lambda lab: propagate(connections, weights, lab, 1e-3), labels.copy))
        table_bytes = ids.nbytes + distances.nbytes
        added = added_bytes(lambda: (GraphWrapper.from_knn(ids), GraphWrapper.from_knn(distances)))
        notes.append(f"containers add {added / table_bytes:.2%} to the tables")
        notes.insert(0, "rows read in place, no to_numpy calls")
    ours, floor, *others = median_times(*runs)
    bare = []
    if others:
        prebuilt_time, *bare = others
        notes.insert(0, f"{ours / prebuilt_time:.2f}x prebuilt rows in turn")
    row = {
        "kernel": "label propagation",
        "workload": f"k=15 blobs, 1% labelled, {container_name}",
        "size": n,
        "units": units,
        "unit": "row entry",
        "ours_s": ours,
        "floor_s": floor,
        "ratio": ours / floor,
        # In place, the kernel makes none of the floor's calls: all of its time is its own.
        "own_ns_per_unit": (ours if container_name == "GraphWrapper" else ours - floor) / units * 1e9,
        "accuracy": float((result == truth).mean()),
    }
    if notes:
        row["note"] = "; ".join(notes)
    if pure_python:
        import reference

        python_time = timed(reference.weighted_label_propagation, connections, weights, labels.copy())
        row["python_s"] = python_time
        row["python_own_ns_per_unit"] = (python_time - floor) / units * 1e9
    rows = [row]
    if bare:
        rows.append({**row, "workload": "GraphWrapper, bare C loop without checks", "ours_s": bare[0],
                     "ratio": bare[0] / floor, "own_ns_per_unit": (bare[0] - floor) / units * 1e9,
                     "accuracy": None, "note": "yardstick, not the kernel"})
    return rows


def bare_loop():
    """bare_loop.cpp compiled with the package's optimisation and floating-point
    flags into the benchmark cache (once per change of the source), imported."""
    source = BENCH_DIR / "bare_loop.cpp"
    built = CACHE_DIR / ("bare_loop" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not built.exists() or built.stat().st_mtime < source.stat().st_mtime:
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CXX", "g++"), "-O3", "-std=c++20", "-shared", "-fPIC",
                        "-ffp-contract=off", "-fno-fast-math", "-I" + sysconfig.get_paths()["include"],
                        "-I" + np.get_include(), str(source), "-o", str(built)], check=True)
    spec = importlib.util.spec_from_file_location("bare_loop", built)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def label_spreading(n):
    """scikit-learn's LabelSpreading (knn kernel, k=15) on the same points and labelled set."""
    from sklearn.semi_supervised import LabelSpreading

    points, truth, _, _ = blob_knn(n)
    labels = seed_labels(truth)
    model = LabelSpreading(kernel="knn", n_neighbors=15, max_iter=30, n_jobs=-1)
    elapsed = timed(model.fit, points, labels)
    return {
        "kernel": "label propagation",
        "workload": "scikit-learn LabelSpreading (knn, k=15), graph built inside",
        "size": n,
        "ours_s": None,
        "other_s": elapsed,
        "accuracy": float((model.transduction_ == truth).mean()),
    }


def run(sizes):
    rows = []
    for container_name in CONTAINERS:
        for n in sizes:
            rows += measure(n, container_name, pure_python=(n == min(sizes) and container_name == "prebuilt rows"))
    for n in sizes:
        if n <= LABEL_SPREADING_MAX:
            rows.append(label_spreading(n))
    return rows
