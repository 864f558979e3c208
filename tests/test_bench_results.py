"""The benchmark results file that the documentation is built from: a run
replaces the rows it measured again and keeps the others."""

import importlib.util
import json
from pathlib import Path

spec = importlib.util.spec_from_file_location("bench_run", Path(__file__).resolve().parent.parent / "bench" / "run.py")
bench_run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(bench_run)


def run(name):
    return {"date": name, "command": f"python bench/run.py # {name}"}


def test_a_run_replaces_what_it_measured_again_and_keeps_the_rest(tmp_path):
    path = tmp_path / "results.json"
    kernel = {"kernel": "label propagation", "workload": "blobs"}
    compare = {"case": "moons-10000-0.01", "method": "velorn", "workload": "moons", "size": 10000}
    bench_run.record(path, {"bench_lp": [{**kernel, "size": 10, "ours_s": 1.0}, {**kernel, "size": 20, "ours_s": 2.0}],
                            "bench_compare": [{**compare, "seconds": 5.0}]}, run("first"))
    bench_run.record(path, {"bench_lp": [{**kernel, "size": 20, "ours_s": 3.0}]}, run("second"))
    results = json.loads(path.read_text())
    assert [(row["size"], row["ours_s"], row["run"]) for row in results["suites"]["bench_lp"]] == [
        (10, 1.0, "first"), (20, 3.0, "second")]
    assert results["suites"]["bench_compare"] == [{**compare, "seconds": 5.0, "run": "first"}]
    assert set(results["runs"]) == {"first", "second"}

    # A run whose rows were all measured again is no longer listed.
    bench_run.record(path, {"bench_lp": [{**kernel, "size": 10, "ours_s": 1.5}],
                            "bench_compare": [{**compare, "seconds": 4.0}]}, run("third"))
    assert set(json.loads(path.read_text())["runs"]) == {"second", "third"}


def test_rows_of_different_methods_or_label_counts_are_kept_apart(tmp_path):
    path = tmp_path / "results.json"
    graphs = [{"kernel": "graphs", "workload": "karate club", "size": 34, "method": method, "accuracy": 0.9}
              for method in ("velorn", "igraph")]
    few = [{"workload": "few_labels", "method": "velorn", "labels_per_class": count, "accuracy": 0.9}
           for count in (1, 3)]
    bench_run.record(path, {"bench_graphs": graphs, "bench_compare": few}, run("first"))
    suites = json.loads(path.read_text())["suites"]
    assert len(suites["bench_graphs"]) == 2 and len(suites["bench_compare"]) == 2
