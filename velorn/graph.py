"""One graph form for every estimator, built and checked in one place.

Every input (a neighbour search's table, a sparse matrix of distances, a
sparse matrix of similarities) becomes a :class:`Graph`: for each sample a
row of neighbour ids with the weight of each one's vote, in CSR layout.
Row i lists the samples whose labels sample i takes into account; a
directed graph is taken as it is. Methods read these rows; estimators never
build graphs themselves.

Weights: a similarity counts as it is; a distance d counts ``1 / d**2``, so
that nearer samples weigh more, and a distance of 0 gives ``inf``: the two
samples are copies of one point. :func:`merge_copies` joins such copies into
one node before a method runs, so that the graphs the methods see hold only
finite weights.
"""

import math
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from scipy import sparse
from scipy.sparse.csgraph import connected_components

Kind = Literal["distance", "affinity"]

# Values of magnitudes within 2**-64 .. 2**64 (coordinates, distances,
# similarities) keep their squares, inverse squares and sums far from
# float64's limits; a matrix or a set of samples beyond is rescaled into that
# range first, by a power of two, which is exact.
SAFE_EXPONENT = 64

# The estimators' metric values for a graph given instead of points, and what
# its entries hold. One meaning per name.
PRECOMPUTED = {"precomputed": "distance", "precomputed_affinity": "affinity"}


@dataclass(frozen=True)
class Graph:
    """Rows of neighbours: row i's entries are ``indices[indptr[i]:indptr[i + 1]]``
    with the vote weights ``weights[indptr[i]:indptr[i + 1]]`` (not negative;
    ``inf`` for a copy at distance 0). ``indptr`` is int64, ``indices``
    int64 or, made from a search's table of int32 ids, int32; ``weights``
    float64; every id lies in ``0 .. n_samples - 1``. A row may be empty (an
    isolated sample) and rows may differ in length."""

    indptr: npt.NDArray[np.int64]
    indices: npt.NDArray[np.int64] | npt.NDArray[np.int32]
    weights: npt.NDArray[np.float64]
    n_samples: int

    @property
    def n_rows(self) -> int:
        return len(self.indptr) - 1

    def row_of_entries(self) -> npt.NDArray[np.int64]:
        """The row of each entry."""
        return np.repeat(np.arange(self.n_rows, dtype=np.int64), np.diff(self.indptr))

    def slice_rows(self, begin: int, end: int) -> "Graph":
        """Rows ``begin`` .. ``end - 1`` as a graph of their own (views)."""
        first, last = self.indptr[begin], self.indptr[end]
        return Graph(self.indptr[begin:end + 1] - first, self.indices[first:last], self.weights[first:last],
                     self.n_samples)

    def to_csr(self) -> sparse.csr_matrix:
        return sparse.csr_matrix((self.weights, self.indices, self.indptr), shape=(self.n_rows, self.n_samples))


def adjacency_of(X: Any, metric: Any) -> Any:
    """A networkx or igraph graph as its sparse adjacency matrix (the
    ``"weight"`` of each edge, 1 where it has none), rows and columns in the
    order of its nodes (``list(G)``, or igraph's vertex ids); any other
    ``X`` as it is. Graphs are similarities: with another metric they are
    refused."""
    library = type(X).__module__.split(".")[0]
    if library not in ("networkx", "igraph"):
        return X
    conversion = ("networkx.to_scipy_sparse_array(G)" if library == "networkx"
                  else "G.get_adjacency_sparse(attribute='weight')")
    if metric != "precomputed_affinity":
        raise ValueError(f"X is a {library} graph, whose edges are similarities: pass "
                         f"metric='precomputed_affinity' to label its nodes (its adjacency matrix, {conversion}, "
                         "is used), or X=that matrix")
    if library == "networkx":
        import networkx

        return networkx.to_scipy_sparse_array(X, nodelist=list(X), weight="weight", format="csr", dtype=np.float64)
    weighted = "weight" in X.es.attribute_names()
    return sparse.csr_matrix(X.get_adjacency_sparse(attribute="weight" if weighted else None), dtype=np.float64)


def check_matrix(matrix: Any, kind: Kind, num_columns: int, *, check_entries: bool = True) -> sparse.csr_matrix:
    """``matrix`` as a CSR matrix of float64 entries, or a ``ValueError`` for
    what no method can use: a dense matrix of distances (whose zeros would
    all be copies), a number of columns other than ``num_columns``,
    entries that are not finite or negative (unless ``check_entries`` is
    False: for a caller that checks them itself). Entries of an extreme
    scale come rescaled by a power of two (:func:`unit_of`)."""
    name = "metric='precomputed'" if kind == "distance" else "metric='precomputed_affinity'"
    if kind == "distance" and not sparse.issparse(matrix):
        raise ValueError(
            f"{name} takes a sparse distance graph, such as "
            "KNeighborsTransformer(mode='distance').fit_transform(points) gives"
        )
    if sparse.issparse(matrix):  # read, not written: float64 also from another byte order
        matrix = matrix.tocsr()
        if matrix.data.dtype == np.float64:
            # Over the same arrays. Built from them anew, SciPy would scan
            # 64-bit ids for their range and copy them to 32 bits.
            matrix = sparse.csr_matrix(matrix)
        else:
            matrix = sparse.csr_matrix((np.asarray(matrix.data, dtype=np.float64), matrix.indices, matrix.indptr),
                                       shape=matrix.shape)
    else:
        matrix = sparse.csr_matrix(np.asarray(matrix, dtype=np.float64))
    if matrix.ndim != 2 or matrix.shape[1] != num_columns:
        raise ValueError(f"the graph given with {name} has shape {matrix.shape}, expected {num_columns} columns "
                         "(one per training sample)")
    if matrix.nnz:
        # A uniform scale is no information: an extreme one is taken out.
        unit = unit_of(float(np.abs(matrix.data).max()))
        if unit != 1.0:
            matrix = sparse.csr_matrix((matrix.data * unit, matrix.indices, matrix.indptr), shape=matrix.shape)
    if not check_entries:
        return matrix
    if not np.isfinite(matrix.data).all():
        raise ValueError(f"the graph given with {name} holds NaN or infinite entries")
    if matrix.nnz and matrix.data.min() < 0:
        raise ValueError(f"the graph given with {name} holds negative "
                         f"{'distances' if kind == 'distance' else 'similarities'}")
    return matrix


def unit_of(largest: float) -> float:
    """The power of two that brings values up to ``largest`` in magnitude into
    the safe range, or 1.0 when they lie in it (or ``largest`` is 0 or not
    finite). Scaled by it, distances and similarities keep their order and
    ratios exactly, so no label changes."""
    if not math.isfinite(largest) or largest == 0.0 or abs(math.frexp(largest)[1]) <= SAFE_EXPONENT:
        return 1.0
    return math.ldexp(1.0, -math.frexp(largest)[1])


def from_matrix(matrix: Any, kind: Kind, *, num_columns: int | None = None,
                max_neighbours: int | None = None) -> Graph:
    """A graph from a sparse matrix of distances (``kind="distance"``: row i,
    column j holds the distance from sample i to sample j; stored zeros are
    distance 0, absent entries no edge) or of similarities (``"affinity"``:
    absent and zero entries alike no edge), dense allowed for similarities.

    ``num_columns=None``: a training graph, square, whose diagonal (self
    loops) is dropped and whose distance-0 entries are joined both ways, so
    that copies know each other. An entry stored twice counts twice among
    distances, summed among similarities. Else rows of new samples against
    ``num_columns`` training samples. ``max_neighbours`` keeps each row's
    nearest (heaviest) entries, at most that many; a shorter row keeps all."""
    training = num_columns is None
    rows_expected = int(matrix.shape[0]) if num_columns is None else num_columns
    csr = check_matrix(matrix, kind, rows_expected)
    if kind == "affinity" and not csr.has_canonical_format:  # an entry stored twice: the sum, as SciPy reads it
        csr = csr.copy()
        csr.sum_duplicates()
    num_rows, num_columns = csr.shape
    rows = np.repeat(np.arange(num_rows, dtype=np.int32 if num_rows < 2**31 else np.int64), np.diff(csr.indptr))
    cols, values = csr.indices, csr.data
    # Each step only when it drops something: new memory is slow to touch.
    keep = rows != cols if training else None
    if kind == "affinity" and (values <= 0).any():
        keep = values > 0 if keep is None else keep & (values > 0)
    if keep is not None and not keep.all():
        rows, cols, values = rows[keep], cols[keep], values[keep]
    if training and kind == "distance":
        zero = values == 0
        if zero.any():
            rows, cols = np.concatenate([rows, cols[zero]]), np.concatenate([cols, rows[zero]])
            values = np.concatenate([values, values[zero]])
    return _rows(rows, cols, values if kind == "affinity" else _votes_of(values), num_rows, num_columns,
                 max_neighbours)


def from_table(ids: npt.NDArray[np.integer[Any]], distances: npt.NDArray[np.floating[Any]], *,
               num_samples: int, max_neighbours: int, drop_self: bool) -> Graph:
    """A graph from a neighbour search's table (a row per searched sample,
    nearest first, ids of ``num_samples`` indexed samples), each row's
    ``max_neighbours`` nearest entries kept; ``drop_self``: without each
    row's own sample (a search of the indexed samples themselves). The
    table is spent: the graph may take its memory."""
    num_rows, width = ids.shape
    if drop_self and num_rows and 0 < width - 1 <= max_neighbours and _led_by_self(ids):
        # The usual table: full rows, each led by its own sample. The rest of
        # each row is the graph's row as it stands, in order and uncut, and
        # takes the table's place (at ten million samples each copy of the
        # table would cost over a gigabyte).
        votes = _votes_of(distances, in_place=distances.dtype == np.float64)
        return Graph(np.arange(0, num_rows * (width - 1) + 1, width - 1, dtype=np.int64),
                     _without_first_column(np.asarray(ids, dtype=np.int32 if ids.dtype == np.int32 else np.int64)),
                     _without_first_column(votes), num_samples)
    rows: npt.NDArray[np.integer[Any]] = np.repeat(
        np.arange(num_rows, dtype=np.int32 if num_rows < 2**31 else np.int64), width)
    cols, values = ids.ravel(), distances.ravel()
    keep = cols >= 0  # searches mark missing neighbours with -1
    if drop_self:
        keep &= cols != rows
    return _rows(rows[keep], cols[keep], _votes_of(values[keep]), num_rows, num_samples, max_neighbours)


def merge_copies(graph: Graph) -> tuple[Graph, npt.NDArray[np.int64]]:
    """The graph with each group of copies (samples joined by entries of
    infinite weight) made one node: its row holds its members' entries to
    other nodes, the weights of entries to the same node summed. Returns
    the node graph and each sample's node (nodes numbered in order of their
    first member); the graph itself and ``arange`` when it has no copies."""
    copy = np.isinf(graph.weights)
    if not copy.any():
        return graph, np.arange(graph.n_rows, dtype=np.int64)
    rows = graph.row_of_entries()
    links = sparse.csr_matrix((np.ones(np.count_nonzero(copy), dtype=np.int8), (rows[copy], graph.indices[copy])),
                              shape=(graph.n_rows, graph.n_rows))
    _, component = connected_components(links, directed=False)
    # Numbered by first member, so that the nodes keep the samples' order.
    firsts = np.unique(component, return_index=True)[1]
    renumber = np.empty(len(firsts), dtype=np.int64)
    renumber[component[np.sort(firsts)]] = np.arange(len(firsts))
    node_of = renumber[component]
    num_nodes = len(firsts)
    node_rows, node_cols = node_of[rows], node_of[graph.indices]
    keep = node_rows != node_cols
    merged = sparse.csr_matrix((graph.weights[keep], (node_rows[keep], node_cols[keep])),
                               shape=(num_nodes, num_nodes))
    merged.sum_duplicates()
    return Graph(merged.indptr.astype(np.int64), merged.indices.astype(np.int64),
                 merged.data.astype(np.float64), num_nodes), node_of


def _without_first_column(table: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The rows of ``table`` without their first entry, one after the other,
    written over the table itself when it owns its memory (a block of rows
    at a time: NumPy copies each block aside as it overlaps its target)."""
    num_rows, width = table.shape
    if not (table.flags.c_contiguous and table.flags.writeable and table.base is None):
        return np.ascontiguousarray(table[:, 1:]).ravel()
    flat = table.reshape(-1)
    block = max(1, (1 << 16) // width)
    for begin in range(0, num_rows, block):
        end = min(begin + block, num_rows)
        flat[begin * (width - 1):end * (width - 1)].reshape(end - begin, width - 1)[...] = table[begin:end, 1:]
    return flat[:num_rows * (width - 1)]


def _led_by_self(ids: npt.NDArray[np.integer[Any]]) -> bool:
    """Whether every row of a search's table starts with its own sample and
    marks no neighbour missing (-1)."""
    return bool((ids[:, 0] == np.arange(len(ids))).all()) and int(ids[:, 1:].min()) >= 0


def _votes_of(distances: npt.NDArray[np.floating[Any]], in_place: bool = False) -> npt.NDArray[np.float64]:
    """1 / distance**2, inf at distance 0, in one new array or, ``in_place``,
    over the (float64) distances."""
    votes = np.square(distances, out=distances) if in_place else np.square(distances, dtype=np.float64)
    with np.errstate(divide="ignore"):
        return np.divide(1.0, votes, out=votes)


def _rows(rows: npt.NDArray[np.integer[Any]], cols: npt.NDArray[np.integer[Any]], weights: npt.NDArray[np.float64],
          num_rows: int, num_samples: int, max_neighbours: int | None) -> Graph:
    """CSR rows from entries (row, column, weight) in any order, each row cut
    to its ``max_neighbours`` heaviest entries (the first of equals). Sorts
    only what is out of order: a search's rows and a CSR matrix's come
    grouped by row, and a search's heaviest first."""
    counts = np.bincount(rows, minlength=num_rows)
    cut = max_neighbours is not None and len(rows) > 0 and int(counts.max()) > max_neighbours
    in_order = bool((rows[1:] >= rows[:-1]).all())
    if in_order and cut:
        same_row = rows[1:] == rows[:-1]
        in_order = bool((weights[1:][same_row] <= weights[:-1][same_row]).all())
    if not in_order:
        order = np.lexsort((-weights, rows)) if cut else np.argsort(rows, kind="stable")
        rows, cols, weights = rows[order], cols[order], weights[order]
    indptr = np.zeros(num_rows + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    if cut:
        assert max_neighbours is not None
        keep = np.arange(len(rows)) - indptr[rows] < max_neighbours
        rows, cols, weights = rows[keep], cols[keep], weights[keep]
        np.cumsum(np.minimum(counts, max_neighbours), out=indptr[1:])
    return Graph(indptr, np.ascontiguousarray(cols, dtype=np.int64),
                 np.ascontiguousarray(weights, dtype=np.float64), num_samples)
