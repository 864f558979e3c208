"""velorn.dask.reassign_noise on a local cluster against kelvo_postprocess in memory.

20 million points in 8 dimensions (50 clusters, 20% noise) are generated chunk
by chunk on a LocalCluster of two worker processes with one thread and a
memory limit of 2 GiB each. Times:

- made on the workers: reassign_noise(points, labels).compute(), both
  passes, the chunks made anew in each;
- one data pass: reading the arrays once, (points.sum(), labels.sum()), that
  is the cost of making the chunks, which an in-memory run does not pay;
- held: the same, on the arrays persisted in the workers' memory, against
- in memory: kelvo_postprocess on the same data in this process; these two
  take turns, and the medians of three runs are given, with the mean
  processor time of each (for the Dask run, that of the workers and this
  process; the scheduler's is left out).

Peak memory per worker is the high-water mark of each worker process's
resident set during the run (reset just before it). The labels of both runs
must be equal.

    .venv/bin/python -P bench/bench_dask.py              # 20 million points
    .venv/bin/python -P bench/bench_dask.py 2000000      # other point counts
"""

import statistics
import sys
import time

import common
import numpy as np
from common import resident_mib, reset_peak, timed

N_POINTS = 20_000_000
N_DIMS, N_CLUSTERS, NOISE_SHARE = 8, 50, 0.2
CHUNK_ROWS = 1_000_000
WORKERS, MEMORY_LIMIT = 2, "2GiB"
SEED = 0
REPEATS = 3


def _centers():
    return np.random.default_rng(SEED).uniform(-50, 50, (N_CLUSTERS, N_DIMS))


def _block_labels(block_id, n_points):
    """The true clusters of a block's points, from the block's own seed."""
    k = block_id[0]
    rows = min(CHUNK_ROWS, n_points - k * CHUNK_ROWS)
    return np.random.default_rng([SEED, k, 0]).integers(0, N_CLUSTERS, rows).astype(np.int32)


def _points_block(n_points, block_id=None):
    clusters = _block_labels(block_id, n_points)
    noise = np.random.default_rng([SEED, block_id[0], 1]).normal(scale=4.0, size=(len(clusters), N_DIMS))
    return _centers()[clusters] + noise


def _labels_block(n_points, block_id=None):
    labels = _block_labels(block_id, n_points)
    labels[np.random.default_rng([SEED, block_id[0], 2]).random(len(labels)) < NOISE_SHARE] = -1
    return labels


def make_arrays(n_points):
    """Points and labels as Dask arrays whose chunks are generated on the workers."""
    import cloudpickle
    import dask.array as da

    # The workers cannot import this script or common.py: their functions travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cloudpickle.register_pickle_by_value(common)
    chunks = (CHUNK_ROWS,) * (n_points // CHUNK_ROWS) + ((n_points % CHUNK_ROWS,) if n_points % CHUNK_ROWS else ())
    points = da.map_blocks(_points_block, n_points, chunks=(chunks, (N_DIMS,)), dtype=np.float64,
                           meta=np.empty((0, N_DIMS)))
    labels = da.map_blocks(_labels_block, n_points, chunks=(chunks,), dtype=np.int32,
                           meta=np.empty(0, np.int32))
    return points, labels


def measure(n_points):
    import distributed
    from distributed import Client, LocalCluster

    from velorn.algorithms.src.kelvo.binaries.kelvo_postprocess import kelvo_postprocess
    from velorn.dask import reassign_noise

    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, memory_limit=MEMORY_LIMIT,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        points, labels = make_arrays(n_points)

        data_pass = timed(lambda: client.compute([points.sum(), labels.sum()], sync=True))

        client.run(reset_peak)
        ours = None

        def both_passes():
            nonlocal ours
            ours = reassign_noise(points, labels).compute()

        dask_time = timed(both_passes)
        peaks = sorted(client.run(resident_mib, "VmHWM").values())

        # The same data held in the workers' memory, and in this process: the
        # cost of the method itself against the in-memory run. The two take
        # turns, so that a noisy spell on this shared machine falls on both.
        n_chunks = len(points.chunks[0])
        in_memory_points = np.concatenate([_points_block(n_points, block_id=(k, 0)) for k in range(n_chunks)])
        in_memory_labels = np.concatenate([_labels_block(n_points, block_id=(k,)) for k in range(n_chunks)])
        held_points, held_labels = client.persist([points, labels])
        distributed.wait([held_points, held_labels])
        held_times, memory_times, held_cpu, memory_cpu = [], [], 0.0, 0.0
        results = {}

        def held_run(points, labels):
            results["held"] = reassign_noise(points, labels).compute()

        def memory_run(points, labels):
            results["in memory"] = kelvo_postprocess(points, labels)

        for _ in range(REPEATS):
            cpu_before = sum(client.run(time.process_time).values()) + time.process_time()
            held_times.append(timed(held_run, held_points, held_labels))
            held_cpu += sum(client.run(time.process_time).values()) + time.process_time() - cpu_before
            cpu_before = time.process_time()
            memory_times.append(timed(memory_run, in_memory_points, in_memory_labels))
            memory_cpu += time.process_time() - cpu_before
        held, expected = results["held"], results["in memory"]
        del held_points, held_labels

    assert np.array_equal(ours, expected) and np.array_equal(held, expected), \
        "reassign_noise and kelvo_postprocess differ"
    held_time, memory_time = statistics.median(held_times), statistics.median(memory_times)
    return {
        "n_points": n_points, "dask_s": dask_time, "data_pass_s": data_pass, "in_memory_s": memory_time,
        "held_s": held_time, "ratio": held_time / memory_time,
        "held_cpu_s": held_cpu / REPEATS, "in_memory_cpu_s": memory_cpu / REPEATS, "peak_worker_mib": peaks,
        "data_gib": (in_memory_points.nbytes + in_memory_labels.nbytes) / 2**30,
    }


def run(sizes):
    """The rows for the shared table: always the 20-million-point case."""
    m = measure(N_POINTS)
    peaks = ", ".join(f"{peak:.0f}" for peak in m["peak_worker_mib"])
    workers = f"{WORKERS} workers x {MEMORY_LIMIT}"
    return [{
        "kernel": "post-processing",
        "workload": f"dask, data held by {workers}",
        "size": m["n_points"],
        "ours_s": m["held_s"],
        "floor_s": m["in_memory_s"],
        "ratio": m["ratio"],
        "note": f"floor = kelvo_postprocess on the data in memory ({m['data_gib']:.2f} GiB); same labels; "
                f"processor time {m['held_cpu_s']:.2f} s (client and workers) against {m['in_memory_cpu_s']:.2f} s",
    }, {
        "kernel": "post-processing",
        "workload": f"dask, chunks made on {workers}",
        "size": m["n_points"],
        "other_s": m["dask_s"],
        "note": f"both passes, chunks made in each; one pass alone {m['data_pass_s']:.2f} s; "
                f"peak per worker {peaks} MiB",
    }]


def main(argv):
    for n in [int(arg) for arg in argv] or [N_POINTS]:
        m = measure(n)
        print(f"{n} points: dask {m['dask_s']:.2f} s (one data pass {m['data_pass_s']:.2f} s), "
              f"held in worker memory {m['held_s']:.2f} s (processor {m['held_cpu_s']:.2f} s), "
              f"in memory {m['in_memory_s']:.2f} s (processor {m['in_memory_cpu_s']:.2f} s), ratio {m['ratio']:.2f}; "
              f"peak per worker {', '.join(f'{p:.0f}' for p in m['peak_worker_mib'])} MiB "
              f"(limit {MEMORY_LIMIT}); data {m['data_gib']:.2f} GiB")


if __name__ == "__main__":
    main(sys.argv[1:])
