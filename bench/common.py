"""Shared pieces of the benchmarks: timing, memory, data sets, call recording and replay.

One timing rule: each run timed by timed() (wall time, the garbage collector
off), runs that are compared taking turns, and the median of the repeats
(median_times). Memory is read two ways, each in one place: the peak a call
adds to the resident set (peak_rise_mib, from /proc's high-water mark), and
what an object keeps once made (added_bytes).
"""

import collections
import gc
import os
import pathlib
import statistics
import sys
import time

import numpy as np

BENCH_DIR = pathlib.Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / "results" / "cache"
REPEATS = int(os.environ.get("VELORN_BENCH_REPEATS", "5"))

# The plain-Python versions, shared with the tests.
sys.path.insert(0, str(BENCH_DIR.parent / "testkit"))


def timed(run, *args):
    """Wall time of run(*args), with the cyclic garbage collector off, as timeit
    does: its pauses depend on what earlier code left behind (the GraphWrapper
    containers of a previous repeat, the recorded calls), not on the code timed."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run(*args)
        return time.perf_counter() - start
    finally:
        gc.enable()


def median_times(*runs, repeats=REPEATS):
    """Median wall time of each run(prepare()) over `repeats`, for (run, prepare)
    pairs; prepare is not timed. The runs take turns, repeat by repeat, so that
    a spell of noise on this shared machine falls on all of them alike instead
    of inflating one, which would skew the ratios between them."""
    times = [[] for _ in runs]
    for _ in range(repeats):
        for spent, (run, prepare) in zip(times, runs):
            spent.append(timed(run, prepare()))
    return [statistics.median(spent) for spent in times]


def resident_mib(field="VmRSS"):
    """This process's resident set now (VmRSS) or at most since the last
    reset_peak() (VmHWM), in MiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak():
    """Sets this process's resident high-water mark back to its resident set now."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def peak_rise_mib(run, *args):
    """How far run(*args) raises the resident set's high-water mark above the
    resident set just before it, in MiB. Memory freed by earlier work can
    hide a rise: measure in a fresh interpreter where that matters."""
    gc.collect()
    reset_peak()
    before = resident_mib("VmRSS")
    run(*args)
    return resident_mib("VmHWM") - before


def no_input():
    return None


def blob_knn(n, k=15, seed=0):
    """Blob points with their k-nearest-neighbour table (self excluded), cached on disk.

    Returns (points, true_ids, neighbour_ids int64 (n, k), distances float32 (n, k)).
    """
    from sklearn.datasets import make_blobs
    from sklearn.neighbors import NearestNeighbors

    path = CACHE_DIR / f"blobs_{n}_{k}_{seed}.npz"
    if path.exists():
        data = np.load(path)
        return data["points"], data["truth"], data["ids"], data["distances"]
    points, truth = make_blobs(n_samples=n, centers=10, n_features=8, cluster_std=2.0, random_state=seed)
    distances, ids = NearestNeighbors(n_neighbors=k + 1, n_jobs=-1).fit(points).kneighbors(points)
    ids = np.ascontiguousarray(ids[:, 1:], dtype=np.int64)
    distances = np.ascontiguousarray(distances[:, 1:], dtype=np.float32)
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    np.savez(path, points=points, truth=truth, ids=ids, distances=distances)
    return points, truth, ids, distances


def seed_labels(truth, fraction=0.01, seed=0):
    """int32 labels with `fraction` of the nodes given their true id, -1 elsewhere."""
    rng = np.random.default_rng(seed)
    labels = np.full(len(truth), -1, dtype=np.int32)
    chosen = rng.choice(len(truth), max(1, int(len(truth) * fraction)), replace=False)
    labels[chosen] = truth[chosen]
    return labels


def added_bytes(make):
    """Memory that make() allocates and keeps in what it returns: the Python
    heap (NumPy's arrays included) as tracemalloc sees it, plus what native
    code takes from malloc directly."""
    import ctypes
    import tracemalloc

    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is not None:
        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                "keepcost")]

        mallinfo2.restype = MallInfo2

    def malloc_bytes():
        if mallinfo2 is None:
            return 0
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    gc.collect()
    tracemalloc.start()
    try:
        traced, allocated = tracemalloc.get_traced_memory()[0], malloc_bytes()
        kept = make()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
        # Traced allocations go through malloc too: count them once.
        native_growth = max(0, malloc_bytes() - allocated - traced_growth)
    finally:
        tracemalloc.stop()
    del kept
    return traced_growth + native_growth


class PrebuiltRows:
    """A container whose to_numpy hands out rows made beforehand: almost no cost of its own."""

    def __init__(self, table):
        self.rows = list(table)

    def to_numpy(self, i):
        return self.rows[i]


class CallLog:
    """Wraps a container and logs the arguments of each call per method."""

    def __init__(self, inner):
        self.inner = inner
        self.calls = collections.defaultdict(list)
        self.order = []

    def to_numpy(self, i):
        self.calls["to_numpy"].append((i,))
        return self.inner.to_numpy(i)

    def contains(self, i, j):
        self.calls["contains"].append((i, j))
        self.order.append(("contains", (i, j)))
        return self.inner.contains(i, j)

    def append(self, i, value):
        self.calls["append"].append((i, value))
        self.order.append(("append", (i, value)))
        return self.inner.append(i, value)


def columns(argument_tuples):
    """Argument tuples turned into one list per position, ready for replay().

    Numbers are copied into new objects in call order, so that they lie in
    memory in the order the replay reads them, as the fresh arguments of a
    real run do; the recorded objects are scattered over everything that run
    allocated, and reading them would charge the floor with cache misses."""
    return [[fresh(value) for value in column] for column in zip(*argument_tuples)]


def fresh(value):
    """A new object equal to `value` when it is a plain int or float (small
    ints are shared by the interpreter anyway), else `value` itself."""
    if type(value) is int:
        return value + 0
    if type(value) is float:
        return value + 0.0
    return value


def replay(method, argument_columns):
    """Calls `method` once per position of the argument columns, with a C-level
    loop: the cost of the calls alone. Prepare the columns outside the timing."""
    if argument_columns:
        collections.deque(map(method, *argument_columns), maxlen=0)
