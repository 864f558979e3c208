"""Plain-Python versions of the three native kernels, for tests and benchmarks.

Each function follows the kernel's algorithm step by step, in the same order
and with the same calls on the caller's objects, so that results and call
sequences can be compared with the native modules.  Speed is not a goal here.
"""

import math

import numpy as np
from sklearn.metrics import DistanceMetric


class RecordingContainer:
    """Forwards the graph container calls to ``inner`` and records each one.

    ``calls`` receives ``(method_name, args)`` tuples in call order; pass a
    list to collect into it, or read ``.calls`` afterwards.
    """

    def __init__(self, inner, calls=None):
        self.inner = inner
        self.calls = [] if calls is None else calls

    def to_numpy(self, i):
        self.calls.append(("to_numpy", (i,)))
        return self.inner.to_numpy(i)

    def contains(self, i, j):
        self.calls.append(("contains", (i, j)))
        return self.inner.contains(i, j)

    def append(self, i, value):
        self.calls.append(("append", (i, value)))
        return self.inner.append(i, value)


# --- weighted label propagation -------------------------------------------------


def weighted_label_propagation(connections, weights, initial_labels, max_iterations=50000, tolerance=1e-3):
    """Fill in the -1 entries of ``initial_labels`` (int32, changed in place)."""
    final_labels = initial_labels
    num_nodes = final_labels.shape[0]
    scores = np.zeros(num_nodes, dtype=np.float64)

    for _sweep in range(max_iterations):
        max_diff = 0.0
        for i in range(num_nodes):
            if final_labels[i] != -1:
                continue
            new_scores = {}  # label -> score, in first-insertion order
            current_neighbors = connections.to_numpy(i)
            current_weights = weights.to_numpy(i)
            for j in range(current_neighbors.shape[0]):
                neighbor = int(current_neighbors[j])
                weight = float(current_weights[j])
                label = int(final_labels[neighbor])
                if label == -1:
                    continue
                # Python raises on division by zero where C gives an infinity;
                # the sign does not matter once the reciprocal is squared.
                reciprocal = 1.0 / weight if weight != 0.0 else math.inf
                contribution = reciprocal * reciprocal
                if label in new_scores:
                    new_scores[label] += contribution
                else:
                    new_scores[label] = contribution

            best_label = -1
            best_score = -1.0
            for label, score in new_scores.items():
                if score > best_score:
                    best_label = label
                    best_score = score

            diff = abs(float(scores[i]) - best_score)
            if diff > max_diff:
                max_diff = diff
            scores[i] = best_score
            final_labels[i] = best_label

        if max_diff < tolerance:
            break
    return final_labels


# --- connecting unlabelled components ---------------------------------------------


def all_true(arr):
    for k in range(arr.shape[0]):
        if arr[k] == 0:
            return False
    return True


def insert_edge_pair(connections, weights, node, knn, edge_weight):
    # One weight serves both directions; weights grows exactly when connections does.
    if not connections.contains(node, knn):
        connections.append(node, knn)
        weights.append(node, edge_weight)
    if not connections.contains(knn, node):
        connections.append(knn, node)
        weights.append(knn, edge_weight)


# How the typed row reads name an element type in their messages.
_ELEMENT_NAMES = {"f8": "double", "f4": "float", "f2": "half", "i8": "long", "i4": "int", "i2": "short",
                  "i1": "signed char", "u8": "unsigned long", "u4": "unsigned int", "u2": "unsigned short",
                  "u1": "unsigned char", "b1": "unsigned char"}


def _typed_row(table, node, dtype, name):
    """Row ``node`` of a k-NN table, refused as the native typed read refuses
    a row of another element type (Python code called meanwhile may have
    retyped the table)."""
    row = table[node]
    if isinstance(row, np.ndarray) and row.dtype != dtype:
        found = _ELEMENT_NAMES.get(row.dtype.str[1:], row.dtype.name)
        raise ValueError(f"Buffer dtype mismatch, expected '{name}' but got '{found}'")
    return row


def connect_unlabeled(knn_connections, knn_weights, components, vertix_component_label, connections, weights):
    """Add k-NN edges to the containers until every node is reached; return them."""
    vertix_component_success = vertix_component_label.copy()
    components_length = len(components)

    # Stage 1: attach each unlabelled component whole, through the first node
    # whose row holds a node labelled at the start.
    for c_i in range(components_length):
        if components[c_i][1]:
            continue
        component = components[c_i][0]
        c_length = len(component)
        attached = False
        for n_i in range(c_length):
            node = int(component[n_i])
            node_knn = _typed_row(knn_connections, node, np.int64, "int64_t")
            node_knn_weights = _typed_row(knn_weights, node, np.float32, "float32_t")
            for idx in range(node_knn.shape[0]):
                knn = int(node_knn[idx])
                if vertix_component_label[knn]:
                    edge_weight = float(node_knn_weights[idx])
                    insert_edge_pair(connections, weights, node, knn, edge_weight)
                    for cc_i in range(c_length):
                        vertix_component_success[component[cc_i]] = True
                    attached = True
                    break
            if attached:
                break

    # Stage 2: passes that attach at most one unreached node per component.
    while True:
        if all_true(vertix_component_success):
            return (connections, weights)
        found_way_nodes = set()
        progress = False
        for c_i in range(components_length):
            if components[c_i][1]:
                continue
            component = components[c_i][0]
            c_length = len(component)
            for n_i in range(c_length):
                node = int(component[n_i])
                if vertix_component_success[node]:
                    continue
                node_knn = _typed_row(knn_connections, node, np.int64, "int64_t")
                node_knn_weights = _typed_row(knn_weights, node, np.float32, "float32_t")
                for idx in range(node_knn.shape[0]):
                    knn = int(node_knn[idx])
                    if vertix_component_success[knn]:
                        edge_weight = float(node_knn_weights[idx])
                        insert_edge_pair(connections, weights, node, knn, edge_weight)
                        found_way_nodes.add(node)
                        progress = True
                        break
                # Attached here, or an earlier node of the pass made progress:
                # this component is done for the pass.
                if progress:
                    break
            for nde in found_way_nodes:
                vertix_component_success[nde] = True
        if not progress:
            raise SystemError("NO PROGRESS :)")


# --- centroid-based cluster post-processing ---------------------------------------


def _centroid_table(points, labels):
    unique_labels = np.unique(labels)
    labels_to_centroids = {}
    for element in unique_labels:
        label = int(element)
        if label == -1:
            continue
        group = np.array(points)[labels == label]
        labels_to_centroids[label] = np.mean(group, axis=0)
    return labels_to_centroids


def _distance(dist_metric, centroid, other):
    return float(dist_metric.pairwise([centroid], [other])[0, 0])


def kelvo_postprocess(points, labels_in, metric="minkowski", p=2, threshold=-1):
    """Dissolve clusters below ``threshold``, then give each noise point the
    label of its nearest centroid; returns a new label array."""
    labels = labels_in.copy()
    threshold = int(threshold)
    if metric == "minkowski":
        dist_metric = DistanceMetric.get_metric(metric, p=int(p))
    else:
        dist_metric = DistanceMetric.get_metric(metric)

    labels_to_centroids = _centroid_table(points, labels)
    for label in labels_to_centroids:
        if label >= threshold:
            continue
        labels[labels == label] = -1

    labels_to_centroids = _centroid_table(points, labels)
    n_points = 0 if points is None else points.shape[0]
    for i in range(n_points):
        if labels[i] != -1:
            continue
        min_dist = math.inf
        closest_label = -1
        current_centroid = points[i]
        for lbl in labels_to_centroids:
            if lbl == -1:
                continue
            compared_centroid = labels_to_centroids[lbl]
            dist = _distance(dist_metric, compared_centroid, current_centroid)
            if dist < min_dist:
                min_dist = dist
                closest_label = lbl
        labels[i] = closest_label
    return labels
