"""Component connection on graphs of long unlabelled chains.

The workload: a tenth of the nodes are labelled, a tenth form small
components that the direct stage attaches, and the rest form chains of
CHAIN_LENGTH nodes that reach the labelled part only through their first
node, so the iterative stage runs about CHAIN_LENGTH passes and attaches one
node per chain in each. Node numbers are shuffled, so memory access is random.

The floor is the calls the algorithm must make on the caller's objects: the
row fetches of every examined node, the contains/append calls of every edge
pair, and one marking assignment per node attached in the iterative stage,
replayed with C-level loops from a recorded run of the plain-Python version.
Ours reads the rows of a plain 2-D ndarray in place and marks a plain working
copy directly, so its own cost is taken over the container calls alone. The
plain-Python container that GraphWrapper replaced (testkit/python_graph_wrapper.py)
is timed as it was, for the speed-up.

The demo's graph steps: connect_unlabeled and then weighted_label_propagation
on the demo's data (blobs in four dimensions, k=15, 1% labelled, the graph of
each point's nearest neighbour), with GraphWrapper and with the plain-Python
container, timed in turn.
"""

import numpy as np
from common import CACHE_DIR, CallLog, columns, median_times, replay, timed
from python_graph_wrapper import PythonGraphWrapper

import reference  # importable once common has put the testkit folder on the path

from velorn import GraphWrapper
from velorn.algorithms.src.tolmar.binaries.tolmar_connect import connect_unlabeled
from velorn.algorithms.src.tolmar.binaries.tolmar_lp import weighted_label_propagation

K = 15
CHAIN_LENGTH = 20
SMALL_COMPONENT = 10


class NoOpContainer:
    """A container that holds nothing: contains is always false, append does nothing."""

    def contains(self, i, j):
        return False

    def append(self, i, value):
        return None


CONTAINERS = {
    "no-op container": lambda ids, distances: (NoOpContainer(), NoOpContainer()),
    "GraphWrapper": lambda ids, distances: (GraphWrapper.from_knn(ids), GraphWrapper.from_knn(distances)),
    "plain-Python GraphWrapper (before)": lambda ids, distances: (PythonGraphWrapper.from_knn(ids),
                                                                  PythonGraphWrapper.from_knn(distances)),
}
DEMO_SIZE = 200_000


def chain_workload(n, seed=0):
    """(knn_connections, knn_weights, components, vertix_component_label) for n nodes."""
    rng = np.random.default_rng(seed)
    order = rng.permutation(n)  # role position -> node id
    n_labelled = n // 10
    n_small = (n // 10) // SMALL_COMPONENT * SMALL_COMPONENT
    n_chains = (n - n_labelled - n_small) // CHAIN_LENGTH
    n_used = n_labelled + n_small + n_chains * CHAIN_LENGTH
    n_labelled += n - n_used  # leftovers join the labelled part

    labelled = order[:n_labelled]
    small = order[n_labelled:n_labelled + n_small].reshape(-1, SMALL_COMPONENT)
    chains = order[n_labelled + n_small:].reshape(-1, CHAIN_LENGTH)

    ids = np.empty((n, K), dtype=np.int64)
    # Labelled rows are never read; small components see only themselves except
    # one labelled entry in their first node's row; a chain node sees later
    # nodes of its chain (unreached) and, at a random place, its predecessor,
    # or for the first node a node of a small component.
    ids[labelled] = rng.choice(labelled, size=(len(labelled), K))
    for member in range(SMALL_COMPONENT):
        ids[small[:, member]] = small[np.arange(len(small))[:, None], rng.integers(0, SMALL_COMPONENT, (len(small), K))]
    ids[small[:, 0], rng.integers(0, K, len(small))] = rng.choice(labelled, len(small))
    for position in range(CHAIN_LENGTH):
        later = rng.integers(position, CHAIN_LENGTH, (len(chains), K))
        ids[chains[:, position]] = chains[np.arange(len(chains))[:, None], later]
        previous = chains[:, position - 1] if position else rng.choice(small.ravel(), len(chains))
        ids[chains[:, position], rng.integers(0, K, len(chains))] = previous
    weights = rng.uniform(0.1, 2.0, size=(n, K)).astype(np.float32)

    flags = np.zeros(n, dtype=np.uint8)
    flags[labelled] = 1
    components = [(labelled.tolist(), True)]
    components += [(row.tolist(), False) for row in small]
    components += [(row.tolist(), False) for row in chains]
    rng.shuffle(components)
    return ids, weights, components, flags


def plain_python(knn_connections, knn_weights, components, vertix_component_label, connections, weights,
                 fetched=None, marked=None):
    """The same steps in plain Python, marking each attached node once. Appends the
    examined nodes to `fetched` and the iterative stage's marks to `marked`."""
    fetched = [] if fetched is None else fetched
    marked = [] if marked is None else marked
    success = vertix_component_label.copy()

    def insert(node, knn, w):
        reference.insert_edge_pair(connections, weights, node, knn, w)

    for nodes, labelled in components:
        if labelled:
            continue
        for node in nodes:
            fetched.append(node)
            row, row_weights = knn_connections[node], knn_weights[node]
            hit = next((i for i in range(row.shape[0]) if vertix_component_label[row[i]]), None)
            if hit is not None:
                insert(node, int(row[hit]), float(row_weights[hit]))
                for member in nodes:
                    success[member] = True
                break
    while not success.all():
        progress = False
        for nodes, labelled in components:
            if labelled:
                continue
            attached = None
            for node in nodes:
                if success[node]:
                    continue
                fetched.append(node)
                row, row_weights = knn_connections[node], knn_weights[node]
                for i in range(row.shape[0]):
                    if success[row[i]]:
                        insert(node, int(row[i]), float(row_weights[i]))
                        attached, progress = node, True
                        break
                if progress:
                    break
            if attached is not None:
                success[attached] = True
                marked.append(attached)
        if not progress:
            raise SystemError("NO PROGRESS :)")
    return connections, weights


def measure(n, container_name, pure_python=False):
    ids, distances, components, flags = chain_workload(n)
    make = CONTAINERS[container_name]

    # The mandatory calls of one run, recorded from the plain-Python version,
    # which makes the same calls as ours (checked below).
    fetched, marked = [], []
    logged = [CallLog(c) for c in make(ids, distances)]
    plain_python(ids, distances, components, flags, *logged, fetched=fetched, marked=marked)
    ours_logged = [CallLog(c) for c in make(ids, distances)]
    connect_unlabeled(ids, distances, components, flags, *ours_logged)
    assert [log.order for log in ours_logged] == [log.order for log in logged], "different container calls"
    units = len(fetched)

    success = flags.copy()
    fetch_args = [fetched]
    mark_args = [marked, [True] * len(marked)]
    contains_args = columns(logged[0].calls["contains"])
    connection_append_args = columns(logged[0].calls["append"])
    weight_append_args = columns(logged[1].calls["append"])

    def floor_calls(containers):
        connections, weights = containers
        replay(ids.__getitem__, fetch_args)
        replay(distances.__getitem__, fetch_args)
        replay(success.__setitem__, mark_args)
        replay(connections.contains, contains_args)
        replay(connections.append, connection_append_args)
        replay(weights.append, weight_append_args)

    def container_calls(containers):
        connections, weights = containers
        replay(connections.contains, contains_args)
        replay(connections.append, connection_append_args)
        replay(weights.append, weight_append_args)

    def fresh_containers():
        return make(ids, distances)

    # Rows of a plain 2-D ndarray are read in place and a plain working copy
    # is marked directly, so of the floor's calls ours makes only the
    # container calls.
    ours, floor, calls_made = median_times(
        (lambda containers: connect_unlabeled(ids, distances, components, flags, *containers), fresh_containers),
        (floor_calls, fresh_containers),
        (container_calls, fresh_containers))
    row = {
        "kernel": "component connection",
        "workload": f"chains of {CHAIN_LENGTH}, k={K}, {container_name}",
        "size": n,
        "units": units,
        "unit": "examined node",
        "ours_s": ours,
        "floor_s": floor,
        "ratio": ours / floor,
        "own_ns_per_unit": (ours - calls_made) / units * 1e9,
        "note": f"{len(logged[0].calls['append'])} edges added; own cost over the container calls made",
    }
    if pure_python:
        python_time = timed(plain_python, ids, distances, components, flags, *make(ids, distances))
        row["python_s"] = python_time
        row["python_own_ns_per_unit"] = (python_time - floor) / units * 1e9
    return row


def demo_data(n, k=15, seed=0):
    """The demo's graph input: k-NN ids and distances of blobs in four
    dimensions, 1% of each blob labelled; cached on disk."""
    from sklearn.datasets import make_blobs
    from sklearn.neighbors import NearestNeighbors

    path = CACHE_DIR / f"demo_{n}_{k}_{seed}.npz"
    if path.exists():
        data = np.load(path)
        return data["ids"], data["distances"], data["labels"]
    points, blob_ids = make_blobs(n_samples=n, centers=10, n_features=4, cluster_std=1.0, random_state=seed)
    distances, ids = NearestNeighbors(n_neighbors=k + 1, n_jobs=-1).fit(points).kneighbors(points)
    is_self = ids == np.arange(n)[:, None]
    is_self[~is_self.any(axis=1), -1] = True
    ids = ids[~is_self].reshape(n, k).astype(np.int64)
    distances = distances[~is_self].reshape(n, k).astype(np.float32)
    rng = np.random.default_rng(seed)
    labels = np.full(n, -1, dtype=np.int32)
    for blob in range(10):
        members = np.flatnonzero(blob_ids == blob)
        labels[rng.choice(members, size=max(1, round(0.01 * len(members))), replace=False)] = blob
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    np.savez(path, ids=ids, distances=distances, labels=labels)
    return ids, distances, labels


def demo_graph(wrapper, ids, distances):
    """The demo's containers: each node's nearest neighbour, made symmetric by appends."""
    connections, weights = wrapper.from_knn(ids[:, :1]), wrapper.from_knn(distances[:, :1])
    nodes = np.arange(len(ids))
    nearest = ids[:, 0]
    one_way = ids[nearest, 0] != nodes
    for i, j, distance in zip(nearest[one_way].tolist(), nodes[one_way].tolist(), distances[one_way, 0].tolist()):
        connections.append(i, j)
        weights.append(i, distance)
    return connections, weights


def demo_components(ids, labels):
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    n = len(ids)
    adjacency = coo_matrix((np.ones(n, dtype=np.int8), (np.arange(n), ids[:, 0])), shape=(n, n))
    count, component_of = connected_components(adjacency, directed=False)
    members = np.split(np.argsort(component_of, kind="stable"), np.cumsum(np.bincount(component_of))[:-1])
    labelled = np.bincount(component_of[labels != -1], minlength=count) > 0
    components = [(nodes.tolist(), flag) for nodes, flag in zip(members, labelled.tolist())]
    return components, labelled[component_of].astype(np.uint8)


def measure_demo(n=DEMO_SIZE):
    ids, distances, labels = demo_data(n)
    components, flags = demo_components(ids, labels)
    results = {}

    def steps(prepared):
        connections, weights, result = prepared
        connect_unlabeled(ids, distances, components, flags, connections, weights)
        weighted_label_propagation(connections, weights, result)
        results[type(connections).__name__] = result

    def prepare(wrapper):
        return lambda: (*demo_graph(wrapper, ids, distances), labels.copy())

    ours, before = median_times((steps, prepare(GraphWrapper)), (steps, prepare(PythonGraphWrapper)))
    assert (results["GraphWrapper"] == results["PythonGraphWrapper"]).all(), "the containers label differently"
    # No floor here: the row shows the two times, not a ratio to one.
    return {
        "kernel": "demo graph steps",
        "workload": "connect + propagate, demo blobs, GraphWrapper",
        "size": n,
        "ours_s": None,
        "demo_s": ours,
        "before_s": before,
        "note": f"GraphWrapper {ours:.2f} s, plain-Python GraphWrapper (before) {before:.2f} s in turn: "
                f"{before / ours:.1f}x faster",
    }


def run(sizes):
    rows = []
    for container_name in CONTAINERS:
        for n in sizes:
            rows.append(measure(n, container_name, pure_python=(n == min(sizes) and container_name == "no-op container")))
    rows.append(measure_demo())
    return rows
