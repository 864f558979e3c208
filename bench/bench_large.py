"""Both estimators from the points at ten million samples, on one machine.

8-D Gaussian blobs (10 centres, spread 2.0), 1% labelled, 15 neighbours, the
approximate search on every core (n_jobs=-1): the whole fit, its peak
resident memory (the points included) and the share of unlabelled samples
labelled right. Each fit runs in a fresh interpreter, so that its peak is
its own. Then velorn.dask's WeightedLabelPropagation on the same points on a
LocalCluster of two worker processes (one thread and 4 GiB each, spilling to
disk off: it would pickle whole indexes when memory is short), the points
in two chunks already held by the workers: the fit, the larger worker's peak
and the accuracy. Not part of the default run (some forty minutes):

    make bench-large                          # 10 million points
    python -P bench/run.py --only bench_large --sizes 2000000
    BENCH_LARGE_FITS=dask python -P bench/run.py --only bench_large   # one fit

BENCH_LARGE_FITS names the fits to run (WeightedLabelPropagation,
PoissonLabelPropagation, dask), comma-separated; the other rows are kept.
"""

import json
import os
import signal
import subprocess
import sys

DEFAULT_SIZES = [10_000_000]
ESTIMATORS = ["WeightedLabelPropagation", "PoissonLabelPropagation"]
WORKLOAD = "8-D blobs, 10 centres, spread 2.0, 1% labelled, k=15, search=approximate, n_jobs=-1"

# Run in the child: the points, the fit timed, its peak and accuracy as JSON.
CHILD = """
import json, sys, time
import numpy as np
from sklearn.datasets import make_blobs
import velorn

n, name = int(sys.argv[1]), sys.argv[2]
points, truth = make_blobs(n, n_features=8, centers=10, cluster_std=2.0, random_state=0)
y = np.where(np.random.default_rng(0).random(n) < 0.01, truth, -1)
# No random_state: a fixed one builds the index on one thread.
model = getattr(velorn, name)(n_neighbors=15, search="approximate", n_jobs=-1, verbose=True)
start = time.perf_counter()
model.fit(points, y)
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) / 1024 for line in status if line.startswith("VmHWM:"))
unlabelled = y == -1
accuracy = float(np.mean(model.transduction_[unlabelled] == truth[unlabelled]))
print(json.dumps({"seconds": seconds, "peak_mib": peak, "accuracy": accuracy}))
"""

# The same on a LocalCluster: the points made here and sent to the workers
# before the clock starts; the peak is the larger of the workers' own.
CHILD_DASK = """
import json, sys, time
import numpy as np
import dask
import dask.array as da
from distributed import Client, LocalCluster, wait
from sklearn.datasets import make_blobs
import velorn.dask


def peak_mib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) / 1024 for line in status if line.startswith("VmHWM:"))


if __name__ == "__main__":
    n = int(sys.argv[1])
    points, truth = make_blobs(n, n_features=8, centers=10, cluster_std=2.0, random_state=0)
    y = np.where(np.random.default_rng(0).random(n) < 0.01, truth, -1)
    # Spilling would write the slabs' indexes to disk, each pickled whole
    # first: a copy as large as the index, at the moment memory is short.
    with dask.config.set({"distributed.worker.memory.target": False, "distributed.worker.memory.spill": False}), \\
            LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="4GiB", dashboard_address=":0") as cluster, \\
            Client(cluster) as client:
        X = client.persist(da.from_array(points, chunks=(-(-n // 2), -1)))
        wait(X)
        del points
        workers = set(client.scheduler_info()["workers"])
        model = velorn.dask.WeightedLabelPropagation(n_neighbors=15, search="approximate")
        start = time.perf_counter()
        model.fit(X, y)
        labels = model.transduction_.compute()
        seconds = time.perf_counter() - start
        # A worker restarted past its limit would report only its new life's peak.
        if set(client.scheduler_info()["workers"]) != workers:
            sys.exit("a worker was restarted during the fit: it passed its memory limit")
        peak = max(client.run(peak_mib).values())
    unlabelled = y == -1
    accuracy = float(np.mean(labels[unlabelled] == truth[unlabelled]))
    print(json.dumps({"seconds": seconds, "peak_mib": peak, "accuracy": accuracy}))
"""
DASK_WORKLOAD = "velorn.dask.WeightedLabelPropagation, " + WORKLOAD.replace(", n_jobs=-1", "") + \
    ", LocalCluster of 2 worker processes (1 thread, 4 GiB each, no spilling), 2 chunks"


def measure(n, name, limit=None):
    """The child's figures; a child still running after ``limit`` seconds is
    stopped, its cluster's workers with it (they share its process group)."""
    child = CHILD_DASK if name == "dask" else CHILD
    process = subprocess.Popen([sys.executable, "-P", "-c", child, str(n), name], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise RuntimeError(f"{name} at {n:,} points stopped at {limit:.0f} s, twice the in-memory fit") from None
    if process.returncode:
        raise RuntimeError(f"{name} at {n:,} points failed:\n{stderr[-2000:]}")
    print(stdout.rsplit("\n", 2)[0], file=sys.stderr, flush=True)  # the fit's progress
    return json.loads(stdout.strip().splitlines()[-1])


def run(sizes):
    rows = []
    for n in sizes:
        in_memory = None  # the in-memory fit's time: the Dask fit may take twice as long
        for name in os.environ.get("BENCH_LARGE_FITS", ",".join(ESTIMATORS + ["dask"])).split(","):
            workload = DASK_WORKLOAD if name == "dask" else f"{name}, {WORKLOAD}"
            row = {"kernel": "estimator fit", "workload": workload, "size": n}
            try:
                m = measure(n, name, limit=2 * in_memory if name == "dask" and in_memory else None)
            except RuntimeError as error:  # out of memory, say: the other fit's row is still kept
                print(error, file=sys.stderr, flush=True)
                rows.append({**row, "note": "failed: " + str(error).splitlines()[-1][:200]})
                continue
            if name == ESTIMATORS[0]:
                in_memory = m["seconds"]
            peak = "the larger worker's peak" if name == "dask" else "peak"
            rows.append({**row, "ours_s": m["seconds"], "accuracy": m["accuracy"],
                         "note": f"{peak} {m['peak_mib'] / 1024:.1f} GiB, the points included"})
    return rows
