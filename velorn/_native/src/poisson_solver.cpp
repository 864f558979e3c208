// poisson_solver: the graph Poisson equation of Poisson learning (Calder,
// Cook, Thorpe and Slepcev, 2020) on a weighted graph in CSR form. Each
// labelled sample is a source of its class: its one-hot label minus the mean
// label of its connected part, so that every part's sources sum to zero and
// its equation has a solution. The solution is reached by the fixed-point
// iteration u <- u + D^-1 (b - L u), that is u <- D^-1 (b + W u), which keeps
// each part's degree-weighted mean at zero. The iteration stops once a random
// walk started on the labelled samples has mixed: every sample's probability
// within `tolerance` / n of its limit (the paper's rule at tolerance 1).
//
// The passes run on several threads, each over a block of rows; a row's sums
// are taken in the same order whatever the threads, so the result does not
// depend on their number.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"
#include "huge_pages.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr const char* kModuleName = "velorn._native.poisson_solver";

constexpr const char* kDoc =
    "poisson_solve(graph, labels, solution, max_iterations, tolerance, n_jobs)\n"
    "    -> iterations\n"
    "\n"
    "    Solves the graph Poisson equation of Poisson learning on `graph`, a\n"
    "    symmetric weighted graph that poisson_graph checked and copied.\n"
    "    `labels`: 1-D int32 of n class codes in 0 .. c-1, -1 for unlabelled.\n"
    "    `solution`: a writable (n, c) float64 ndarray of finite values, where\n"
    "    the iteration starts and which it overwrites with its result once done.\n"
    "    Each labelled sample is a source: its one-hot label minus the mean label\n"
    "    of its connected part. The iteration u <- D^-1 (b + W u) runs on `n_jobs`\n"
    "    threads until a random walk from the labelled samples has mixed (every\n"
    "    sample's probability within tolerance / n of its limit) or for\n"
    "    `max_iterations` passes (always these with tolerance 0); it returns the\n"
    "    passes run. A sample without weight gets zeros. From zeros, a connected\n"
    "    part without a labelled sample keeps zeros. The result does not depend\n"
    "    on n_jobs.\n";

constexpr const char* kGraphDoc =
    "poisson_graph(indptr, indices, weights, order=None, n_jobs=1) -> graph\n"
    "\n"
    "    A weighted graph in CSR form (indptr: 1-D int32 or int64 of n + 1 row\n"
    "    offsets; indices: 1-D int32 or int64 column ids in 0 .. n-1; weights: 1-D\n"
    "    float32 or float64, finite and not negative; any strides), checked and\n"
    "    copied once, with its degrees and connected parts, for any number of\n"
    "    poisson_solve calls (Poisson-MBO solves on one graph again and again).\n"
    "    `order` (1-D int32 or int64, a permutation of 0 .. n-1, or None)\n"
    "    renumbers the copy: its sample r is the caller's sample order[r], and\n"
    "    each row's entries are sorted by their new ids, on `n_jobs` threads.\n";

constexpr const char* kSymmetrisedDoc =
    "poisson_symmetrised(indptr, indices, weights, n_jobs) -> (indptr, indices, weights)\n"
    "\n"
    "    (W + W.T) / 2 of a square weighted graph W in CSR form (the arrays as\n"
    "    poisson_graph takes them), on `n_jobs` threads: each entry's two\n"
    "    weights summed (an entry stored twice counts twice), then halved; a sum\n"
    "    of 0 is not stored. Returns the CSR arrays, rows sorted by column:\n"
    "    indptr int32 (int64 beyond 2**31 - 1 entries), indices int32, weights\n"
    "    float64.\n";

constexpr const char* kPartsDoc =
    "poisson_parts(graph) -> parts\n"
    "\n"
    "    The connected part of each sample of a graph that poisson_graph made,\n"
    "    in its numbering: a 1-D int32 ndarray holding each part's smallest\n"
    "    sample.\n";

constexpr const char* kHorizonDoc =
    "poisson_horizon(graph, labels, tolerance, max_steps, n_jobs) -> (passes, steps)\n"
    "\n"
    "    Estimates the passes a random walk from the labelled samples (1 / labelled\n"
    "    at each, `labels` as for poisson_solve, any code >= 0 labelled) needs on\n"
    "    `graph` to come within `tolerance` of its limit: ||D^-1/2 (p - limit)||\n"
    "    at most tolerance / (5 sqrt(volume)). Lanczos' method on D^-1/2 W D^-1/2\n"
    "    from the walk's start, at most `max_steps` steps of one column each, on\n"
    "    `n_jobs` threads; returns the estimate (a float, 0 when the walk starts\n"
    "    within reach) and the steps taken. The result does not depend on n_jobs.\n";

constexpr const char* kGradientsDoc =
    "poisson_conjugate_gradients(graph, labels, solution, mass, tolerance, max_iterations, n_jobs,\n"
    "                            shifted=None, shifted_mass=0.0)\n"
    "    -> (iterations, converged)\n"
    "\n"
    "    Solves ((1 + mass) D - W) u = b (mass >= 0) on `graph` by conjugate gradients\n"
    "    preconditioned by the diagonal, b the sources of poisson_solve (`labels`\n"
    "    and `solution` as there). The iteration starts from `solution` and\n"
    "    writes its result there. With `shifted` (a writable (n, c) float64\n"
    "    ndarray), it also solves ((1 + shifted_mass) D - W) u = b, shifted_mass >\n"
    "    mass, into `shifted`, from the same iterations (multi-shift conjugate\n"
    "    gradients, no further reads of the graph); both then start from zeros and\n"
    "    `solution`'s values are not read. Each class's column stops once its\n"
    "    residual, in the norm of the diagonal's inverse, is within `tolerance` of\n"
    "    its start's (the shifted residual is never the larger), or all after\n"
    "    `max_iterations` iterations; returns the iterations run and whether every\n"
    "    column came within tolerance. A sample without weight gets zeros. On\n"
    "    `n_jobs` threads; the result does not depend on n_jobs.\n";

// The name poisson_graph gives its graphs, which poisson_solve checks.
constexpr const char* kGraphName = "velorn._native.poisson_solver.graph";

// Doubles in a cache line.
constexpr Py_ssize_t kCacheLineDoubles = 8;
// Rows smaller than this are not worth a thread of their own.
constexpr Py_ssize_t kMinRowsPerThread = 2048;
// More threads than this are not asked for, whatever n_jobs says.
constexpr uint64_t kMostThreads = 1024;
// Signals are looked at after this many passes.
constexpr uint64_t kPassesPerSignalCheck = 8;

// A 1-D ndarray of one of two NumPy types, native byte order, any stride.
PyArrayObject* vector_argument(PyObject* value, const char* what, int first_type, int second_type) {
    if (!pyext::is_ndarray(value) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) != 1) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D ndarray", what);
        return nullptr;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    const int type = PyArray_TYPE(a);
    if ((type != first_type && type != second_type) || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder)) {
        PyErr_Format(PyExc_TypeError, "%s has an unsupported dtype", what);
        return nullptr;
    }
    return a;
}

template <class T>
pyext::View1D<T> view_of(PyArrayObject* a) {
    return {static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
}

// The caller's graph, copied and checked: the copy is read with the GIL
// released, where the caller's arrays could change under the passes.
struct Graph {
    Py_ssize_t n = 0;
    pyext::BigVector<int64_t> offsets;  // n + 1
    pyext::BigVector<int32_t> columns;
    pyext::BigVector<double> weights;
    pyext::BigVector<double> degrees;  // each row's weights summed in row order
    pyext::BigVector<int32_t> parts;   // each sample's connected part, its smallest sample
};

template <class Offset>
bool copy_offsets(PyArrayObject* indptr, Py_ssize_t nnz, Graph* graph) {
    const pyext::View1D<Offset> v = view_of<Offset>(indptr);
    graph->offsets.resize(static_cast<size_t>(v.size));
    int64_t previous = 0;
    for (Py_ssize_t i = 0; i < v.size; ++i) {
        const int64_t offset = static_cast<int64_t>(v[i]);
        if ((i == 0 && offset != 0) || offset < previous || offset > nnz) {
            PyErr_Format(PyExc_ValueError,
                         "indptr must start at 0 and not decrease up to the %zd entries, but indptr[%zd] is %lld",
                         nnz, i, static_cast<long long>(offset));
            return false;
        }
        graph->offsets[static_cast<size_t>(i)] = previous = offset;
    }
    if (previous != nnz) {
        PyErr_Format(PyExc_ValueError, "indptr ends at %lld, but there are %zd entries",
                     static_cast<long long>(previous), nnz);
        return false;
    }
    return true;
}

template <class Index>
bool copy_columns(PyArrayObject* indices, Graph* graph) {
    const pyext::View1D<Index> v = view_of<Index>(indices);
    graph->columns.resize(static_cast<size_t>(v.size));
    for (Py_ssize_t e = 0; e < v.size; ++e) {
        const int64_t id = static_cast<int64_t>(v[e]);
        if (id < 0 || id >= graph->n) {
            PyErr_Format(PyExc_IndexError, "indices[%zd] is %lld, outside 0 .. %zd", e,
                         static_cast<long long>(id), graph->n - 1);
            return false;
        }
        graph->columns[static_cast<size_t>(e)] = static_cast<int32_t>(id);
    }
    return true;
}

template <class Weight>
bool copy_weights(PyArrayObject* weights, Graph* graph) {
    const pyext::View1D<Weight> v = view_of<Weight>(weights);
    graph->weights.resize(static_cast<size_t>(v.size));
    for (Py_ssize_t e = 0; e < v.size; ++e) {
        const double w = static_cast<double>(v[e]);
        if (!(w >= 0 && w <= std::numeric_limits<double>::max())) {  // NaN fails both
            PyErr_Format(PyExc_ValueError, "weights[%zd] is negative, infinite or NaN; weights must be finite "
                         "and not negative", e);
            return false;
        }
        graph->weights[static_cast<size_t>(e)] = w;
    }
    return true;
}

// Runs body(begin, end, block) over rows 0 .. n - 1 split into up to
// `threads` equal blocks; a block whose thread cannot be had runs here.
// The blocks `n` rows are split into on up to `threads` threads.
Py_ssize_t number_of_blocks(Py_ssize_t n, Py_ssize_t threads) {
    return std::max<Py_ssize_t>(1, std::min(threads, n / kMinRowsPerThread));
}

template <class Body>
void for_blocks(Py_ssize_t n, Py_ssize_t threads, const Body& body) {
    const Py_ssize_t blocks = number_of_blocks(n, threads);
    std::vector<std::thread> workers;
    std::vector<Py_ssize_t> here;
    try {
        workers.reserve(static_cast<size_t>(blocks));
        here.reserve(static_cast<size_t>(blocks));
    } catch (...) {
        for (Py_ssize_t b = 0; b < blocks; ++b) body(n * b / blocks, n * (b + 1) / blocks, b);
        return;
    }
    for (Py_ssize_t b = 1; b < blocks; ++b) {
        try {
            workers.emplace_back([&body, n, b, blocks] { body(n * b / blocks, n * (b + 1) / blocks, b); });
        } catch (...) {
            here.push_back(b);
        }
    }
    body(0, n / blocks, 0);
    for (const Py_ssize_t b : here) body(n * b / blocks, n * (b + 1) / blocks, b);
    for (std::thread& worker : workers) worker.join();
}

// Rows up to this long are sorted by insertion.
constexpr size_t kInsertionSortRow = 32;

// Sorts a row's entries by column, stably (an entry stored twice keeps its
// place among its copies): short rows by insertion, long ones through
// `scratch`, which has room for the longest row.
void sort_row(int32_t* columns, double* weights, size_t length, std::vector<std::pair<int32_t, double>>& scratch) {
    if (length <= kInsertionSortRow) {
        for (size_t a = 1; a < length; ++a) {
            const int32_t column = columns[a];
            const double weight = weights[a];
            size_t b = a;
            for (; b > 0 && columns[b - 1] > column; --b) {
                columns[b] = columns[b - 1];
                weights[b] = weights[b - 1];
            }
            columns[b] = column;
            weights[b] = weight;
        }
        return;
    }
    for (size_t a = 0; a < length; ++a) scratch[a] = {columns[a], weights[a]};
    std::stable_sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(length),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (size_t a = 0; a < length; ++a) std::tie(columns[a], weights[a]) = scratch[a];
}

// The copy renumbered by `order`, once checked to be a permutation: row r is
// the caller's row order[r], its columns mapped to their new ids and sorted;
// the rows on up to `threads` threads.
template <class Id>
bool renumber(PyArrayObject* order_array, Py_ssize_t threads, Graph* graph) {
    const pyext::View1D<Id> order = view_of<Id>(order_array);
    const Py_ssize_t n = graph->n;
    if (order.size != n) {
        PyErr_Format(PyExc_ValueError, "order has %zd entries, but the graph %zd samples", order.size, n);
        return false;
    }
    pyext::BigVector<int32_t> from(static_cast<size_t>(n)), position(static_cast<size_t>(n), -1);
    for (Py_ssize_t r = 0; r < n; ++r) {
        const int64_t old = static_cast<int64_t>(order[r]);
        if (old < 0 || old >= n || position[static_cast<size_t>(old)] >= 0) {
            PyErr_Format(PyExc_ValueError, "order[%zd] is %lld: order must be a permutation of 0 .. %zd", r,
                         static_cast<long long>(old), n - 1);
            return false;
        }
        position[static_cast<size_t>(old)] = static_cast<int32_t>(r);
        from[static_cast<size_t>(r)] = static_cast<int32_t>(old);
    }
    pyext::BigVector<int64_t> offsets(static_cast<size_t>(n) + 1, 0);
    size_t longest = 0;
    for (Py_ssize_t r = 0; r < n; ++r) {
        const size_t old = static_cast<size_t>(from[static_cast<size_t>(r)]);
        const int64_t length = graph->offsets[old + 1] - graph->offsets[old];
        longest = std::max(longest, static_cast<size_t>(length));
        offsets[static_cast<size_t>(r) + 1] = offsets[static_cast<size_t>(r)] + length;
    }
    pyext::BigVector<int32_t> columns(graph->columns.size());
    pyext::BigVector<double> weights(graph->weights.size());
    std::vector<std::vector<std::pair<int32_t, double>>> scratch(static_cast<size_t>(threads));
    for (auto& room : scratch) room.resize(longest > kInsertionSortRow ? longest : 0);
    const Graph& old_graph = *graph;
    Py_BEGIN_ALLOW_THREADS
    for_blocks(n, threads, [&](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t block) {
        for (Py_ssize_t r = begin; r < end; ++r) {
            const size_t old = static_cast<size_t>(from[static_cast<size_t>(r)]);
            const size_t at = static_cast<size_t>(offsets[static_cast<size_t>(r)]);
            size_t length = 0;
            for (int64_t e = old_graph.offsets[old]; e < old_graph.offsets[old + 1]; ++e, ++length) {
                columns[at + length] = position[static_cast<size_t>(old_graph.columns[static_cast<size_t>(e)])];
                weights[at + length] = old_graph.weights[static_cast<size_t>(e)];
            }
            sort_row(columns.data() + at, weights.data() + at, length, scratch[static_cast<size_t>(block)]);
        }
    });
    Py_END_ALLOW_THREADS
    graph->offsets = std::move(offsets);
    graph->columns = std::move(columns);
    graph->weights = std::move(weights);
    return true;
}

// Each row's weights summed in row order; false with ValueError when a sum
// overflows.
bool sum_degrees(Graph* graph) {
    graph->degrees.assign(static_cast<size_t>(graph->n), 0.0);
    for (Py_ssize_t i = 0; i < graph->n; ++i) {
        double sum = 0.0;
        for (int64_t e = graph->offsets[static_cast<size_t>(i)]; e < graph->offsets[static_cast<size_t>(i) + 1]; ++e)
            sum += graph->weights[static_cast<size_t>(e)];
        if (!(sum <= std::numeric_limits<double>::max())) {
            PyErr_Format(PyExc_ValueError, "the weights of row %zd sum to infinity", i);
            return false;
        }
        graph->degrees[static_cast<size_t>(i)] = sum;
    }
    return true;
}

// Connected parts by union-find over the entries (a part reached along an
// entry either way, so that a graph that is not quite symmetric still gets
// parts that hold together).
pyext::BigVector<int32_t> connected_parts(const Graph& graph) {
    pyext::BigVector<int32_t> parent(static_cast<size_t>(graph.n));
    for (Py_ssize_t i = 0; i < graph.n; ++i) parent[static_cast<size_t>(i)] = static_cast<int32_t>(i);
    auto root = [&parent](int32_t i) {
        while (parent[static_cast<size_t>(i)] != i) {
            parent[static_cast<size_t>(i)] = parent[static_cast<size_t>(parent[static_cast<size_t>(i)])];
            i = parent[static_cast<size_t>(i)];
        }
        return i;
    };
    for (Py_ssize_t i = 0; i < graph.n; ++i) {
        // Row i's root, followed along its joins rather than looked up again
        // at each entry: a root is the smallest sample of its part.
        int32_t a = root(static_cast<int32_t>(i));
        for (int64_t e = graph.offsets[static_cast<size_t>(i)]; e < graph.offsets[static_cast<size_t>(i) + 1]; ++e) {
            if (graph.weights[static_cast<size_t>(e)] == 0) continue;
            const int32_t b = root(graph.columns[static_cast<size_t>(e)]);
            if (a != b) {
                parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
                a = std::min(a, b);
            }
        }
    }
    for (Py_ssize_t i = 0; i < graph.n; ++i) parent[static_cast<size_t>(i)] = root(static_cast<int32_t>(i));
    return parent;
}

// Each labelled sample's source, its one-hot label minus the mean label of
// its connected part, and what a random walk started on the labelled samples
// (1 / labelled at each) tends to: its part's share of that mass, spread in
// proportion to the degrees.
struct PartSources {
    PartSources(const Graph& graph, const std::vector<int32_t>& labels, Py_ssize_t num_classes)
        : c(num_classes), slot(static_cast<size_t>(graph.n), -1), walk_limit(static_cast<size_t>(graph.n), 0.0) {
        const pyext::BigVector<int32_t>& part = graph.parts;
        // Per part: labelled samples, their labels counted, and its volume.
        std::vector<int32_t> slot_of_part(static_cast<size_t>(graph.n), -1);
        std::vector<double> counts, volume;
        Py_ssize_t labelled = 0;
        for (Py_ssize_t i = 0; i < graph.n; ++i) {
            const int32_t label = labels[static_cast<size_t>(i)];
            if (label < 0) continue;
            ++labelled;
            int32_t& at = slot_of_part[static_cast<size_t>(part[static_cast<size_t>(i)])];
            if (at < 0) {
                at = static_cast<int32_t>(volume.size());
                volume.push_back(0.0);
                counts.resize(counts.size() + static_cast<size_t>(c), 0.0);
            }
            counts[static_cast<size_t>(at * c + label)] += 1.0;
        }
        for (Py_ssize_t i = 0; i < graph.n; ++i) {
            const int32_t at = slot_of_part[static_cast<size_t>(part[static_cast<size_t>(i)])];
            if (at >= 0) volume[static_cast<size_t>(at)] += graph.degrees[static_cast<size_t>(i)];
        }
        walk_start = labelled > 0 ? 1.0 / static_cast<double>(labelled) : 0.0;
        means.assign(counts.size(), 0.0);
        std::vector<double> part_limit(volume.size(), 0.0);
        const size_t width = static_cast<size_t>(c);
        for (size_t at = 0; at < volume.size(); ++at) {
            double in_part = 0.0;
            for (size_t k = 0; k < width; ++k) in_part += counts[at * width + k];
            for (size_t k = 0; k < width; ++k) means[at * width + k] = counts[at * width + k] / in_part;
            part_limit[at] = volume[at] > 0 ? in_part / static_cast<double>(labelled) / volume[at] : 0.0;
        }
        for (Py_ssize_t i = 0; i < graph.n; ++i) {
            const int32_t at = slot_of_part[static_cast<size_t>(part[static_cast<size_t>(i)])];
            if (at < 0) continue;
            walk_limit[static_cast<size_t>(i)] = part_limit[static_cast<size_t>(at)];
            if (labels[static_cast<size_t>(i)] >= 0) slot[static_cast<size_t>(i)] = at;
        }
    }

    // Row i's source written to out[0 .. c-1] (zeros unless labelled).
    void write(size_t i, int32_t label, double* out) const {
        const int32_t at = slot[i];
        if (at < 0) {
            std::fill(out, out + c, 0.0);
            return;
        }
        for (size_t k = 0; k < static_cast<size_t>(c); ++k) out[k] = -means[static_cast<size_t>(at) * static_cast<size_t>(c) + k];
        out[static_cast<size_t>(label)] += 1.0;
    }

    Py_ssize_t c;
    std::vector<int32_t> slot;         // the part's slot of a labelled sample, else -1
    std::vector<double> means;         // per slot, the part's mean label
    std::vector<double> walk_limit;    // per sample, the walk's limit of p / d
    double walk_start = 0.0;           // the walk's mass at each labelled sample
};

// The iteration's state in two buffers, a row per sample: its solution, then
// (when the walk decides when to stop) the random walk's q = D^-1 p, so that
// a neighbour's values come in the same cache lines; and each sample's source
// and walk limit.
class PoissonPasses {
public:
    // `state`: n rows of width c + walk, the solution's start in the first c.
    PoissonPasses(const Graph& graph, const std::vector<int32_t>& labels, Py_ssize_t num_classes, bool walk,
                  pyext::BigVector<double>&& state)
        : g_(graph), c_(num_classes), width_(num_classes + (walk ? 1 : 0)), walk_(walk), labels_(labels),
          sources_(graph, labels, num_classes), current_(std::move(state)), next_(current_.size(), 0.0) {
        // q = p / d; a labelled sample without weight keeps no mass.
        if (walk_)
            for (Py_ssize_t i = 0; i < graph.n; ++i) {
                const double d = graph.degrees[static_cast<size_t>(i)];
                if (sources_.slot[static_cast<size_t>(i)] >= 0 && d > 0)
                    current_[static_cast<size_t>(i * width_ + c_)] = sources_.walk_start / d;
            }
    }

    // One pass over rows [begin, end), with `sum` room for a row of the
    // state; returns the largest distance of the walk's probabilities from
    // their limits there (0 without the walk). A row's width known when
    // compiled keeps its sums in registers (the passes spend their time in
    // the loop over entries); the sums are taken in the same order either way.
    double pass(Py_ssize_t begin, Py_ssize_t end, double* __restrict sum) {
        switch (width_) {
        case 1: return rows_for<1>(begin, end, sum);
        case 2: return rows_for<2>(begin, end, sum);
        case 3: return rows_for<3>(begin, end, sum);
        case 4: return rows_for<4>(begin, end, sum);
        case 5: return rows_for<5>(begin, end, sum);
        case 6: return rows_for<6>(begin, end, sum);
        case 7: return rows_for<7>(begin, end, sum);
        case 8: return rows_for<8>(begin, end, sum);
        case 9: return rows_for<9>(begin, end, sum);
        case 10: return rows_for<10>(begin, end, sum);
        case 11: return rows_for<11>(begin, end, sum);
        case 12: return rows_for<12>(begin, end, sum);
        default: return rows_for<0>(begin, end, sum);
        }
    }

private:
    template <size_t Width>
    double rows_for(Py_ssize_t begin, Py_ssize_t end, double* __restrict scratch) {
        return walk_ ? rows_on<Width, true>(begin, end, scratch) : rows_on<Width, false>(begin, end, scratch);
    }

    template <size_t Width, bool Walk>
    double rows_on(Py_ssize_t begin, Py_ssize_t end, double* __restrict scratch) {
#if defined(__GNUC__) && defined(__x86_64__)
        if (kHasAvx2) return rows_avx2<Width, Walk>(begin, end, scratch);
#endif
        return rows<Width, Walk>(begin, end, scratch);
    }

#if defined(__GNUC__) && defined(__x86_64__)
    // The same passes in 256-bit registers where the processor has them: a
    // row's classes are summed side by side, each sum still in its entries'
    // order and without fused multiply-adds, so the result is the same.
    static bool has_avx2() {
        __builtin_cpu_init();  // static initialisers may run before the runtime's own
        return __builtin_cpu_supports("avx2");
    }
    static inline const bool kHasAvx2 = has_avx2();

    template <size_t Width, bool Walk>
    __attribute__((target("avx2"))) double rows_avx2(Py_ssize_t begin, Py_ssize_t end, double* __restrict scratch) {
        return rows<Width, Walk>(begin, end, scratch);
    }
#endif

    // Width 0: the row's width as the number of classes gives it. Walk:
    // whether the row's last value is the walk's.
    template <size_t Width, bool Walk>
    [[gnu::always_inline]] inline double rows(Py_ssize_t begin, Py_ssize_t end, double* __restrict scratch) {
        const size_t width = Width ? Width : static_cast<size_t>(width_), c = width - (Walk ? 1 : 0);
        double local[Width ? Width : 1];
        double* __restrict sum = Width ? local : scratch;
        const double* __restrict current = current_.data();
        double* __restrict next = next_.data();
        double far = 0.0;
        for (Py_ssize_t i = begin; i < end; ++i) {
            const size_t row = static_cast<size_t>(i);
            double* out = next + row * width;
            const double d = g_.degrees[row];
            if (!(d > 0)) {
                std::fill(out, out + width, 0.0);
                continue;
            }
            sources_.write(row, labels_[row], sum);
            if constexpr (Walk) sum[c] = 0.0;
            const int64_t stop = g_.offsets[row + 1];
            for (int64_t e = g_.offsets[row]; e < stop; ++e) {
                const double w = g_.weights[static_cast<size_t>(e)];
                const double* neighbour = current + static_cast<size_t>(g_.columns[static_cast<size_t>(e)]) * width;
                for (size_t k = 0; k < width; ++k) sum[k] += w * neighbour[k];
            }
            for (size_t k = 0; k < width; ++k) out[k] = sum[k] / d;
            if constexpr (Walk) far = std::max(far, d * std::fabs(out[c] - sources_.walk_limit[row]));
        }
        return far;
    }

public:
    void swap() { current_.swap(next_); }

    // Sample i's value for class k.
    double value(Py_ssize_t i, Py_ssize_t k) const { return current_[static_cast<size_t>(i * width_ + k)]; }

private:
    const Graph& g_;
    Py_ssize_t c_, width_;
    bool walk_;  // whether the walk decides when to stop
    const std::vector<int32_t>& labels_;
    PartSources sources_;
    pyext::BigVector<double> current_, next_;
};

// Threads started once for all the passes of a call, each with a block of
// its own: every pass wakes them and waits until all are done, as thread
// starts cost a pass on small graphs a fifth of its time. A block whose
// thread cannot be had runs on the calling thread.
class BlockThreads {
public:
    // Calls body(b) for each block b at each run().
    BlockThreads(Py_ssize_t blocks, std::function<void(Py_ssize_t)> body) : body_(std::move(body)) {
        for (Py_ssize_t b = 1; b < blocks; ++b) {
            try {
                workers_.emplace_back([this, b] { work(b); });
            } catch (...) {
                here_.push_back(b);
            }
        }
    }

    ~BlockThreads() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    BlockThreads(const BlockThreads&) = delete;
    BlockThreads& operator=(const BlockThreads&) = delete;

    void run() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ = static_cast<Py_ssize_t>(workers_.size());
            ++round_;
        }
        wake_.notify_all();
        body_(0);
        for (const Py_ssize_t b : here_) body_(b);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return busy_ == 0; });
    }

private:
    void work(Py_ssize_t block) {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this, seen] { return stop_ || round_ != seen; });
                if (stop_) return;
                seen = round_;
            }
            body_(block);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::function<void(Py_ssize_t)> body_;
    std::vector<std::thread> workers_;
    std::vector<Py_ssize_t> here_;  // the blocks this thread runs
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    uint64_t round_ = 0;
    Py_ssize_t busy_ = 0;
    bool stop_ = false;
};

// Runs passes over all rows on up to `threads` threads, rows split into
// equal blocks, the threads started once. The blocks' sums are allocated
// beforehand, so that a pass, run with the GIL released, throws nothing.
class ParallelPasses {
public:
    ParallelPasses(PoissonPasses& passes, Py_ssize_t n, Py_ssize_t num_classes, Py_ssize_t threads)
        : passes_(passes), n_(n), blocks_(number_of_blocks(n, threads)),
          scratch_((num_classes + 1 + 7) / 8 * 8 + kCacheLineDoubles),
          far_(static_cast<size_t>(blocks_), 0.0), sums_(static_cast<size_t>(blocks_ * scratch_), 0.0),
          threads_(blocks_, [this](Py_ssize_t b) {
              far_[static_cast<size_t>(b)] =
                  passes_.pass(n_ * b / blocks_, n_ * (b + 1) / blocks_, sums_.data() + b * scratch_);
          }) {}

    // One pass; the largest distance of the walk from its limit over all rows
    // (a maximum, the same in any order).
    double run() {
        threads_.run();
        return *std::max_element(far_.begin(), far_.end());
    }

private:
    PoissonPasses& passes_;
    Py_ssize_t n_, blocks_;
    // Each block's row sums, a cache line apart from the next block's: they
    // are written at every entry, and a shared line would pass between cores.
    Py_ssize_t scratch_;
    std::vector<double> far_, sums_;
    BlockThreads threads_;  // last: its threads read the members above
};

// --- Krylov methods ------------------------------------------------------------
// The fixed-point passes need as many passes as the walk needs to mix, tens
// of thousands on a long graph with few labels; Krylov methods need about
// the square root of that. Their sums over all rows are taken a chunk of
// kSumRows rows at a time, each chunk's sum kept and the chunks' sums then
// added in order, so that they do not depend on the number of threads.
constexpr Py_ssize_t kSumRows = 1024;

// Rows in chunks of kSumRows, the chunks in blocks, a block per thread; each
// run() calls body(begin, end, chunk) on every chunk, phase by phase.
class ChunkThreads {
public:
    ChunkThreads(Py_ssize_t n, Py_ssize_t threads, std::function<void(Py_ssize_t, Py_ssize_t, Py_ssize_t)> body)
        : n_(n), chunks_((n + kSumRows - 1) / kSumRows),
          blocks_(std::max<Py_ssize_t>(1, std::min(number_of_blocks(n, threads), chunks_))), body_(std::move(body)),
          threads_(blocks_, [this](Py_ssize_t b) {
              for (Py_ssize_t chunk = chunks_ * b / blocks_; chunk < chunks_ * (b + 1) / blocks_; ++chunk)
                  body_(chunk * kSumRows, std::min(n_, (chunk + 1) * kSumRows), chunk);
          }) {}

    Py_ssize_t chunks() const { return chunks_; }
    void run() { threads_.run(); }

private:
    Py_ssize_t n_, chunks_, blocks_;
    std::function<void(Py_ssize_t, Py_ssize_t, Py_ssize_t)> body_;
    BlockThreads threads_;  // last: its threads read the members above
};

// The chunks' sums of `width` values each added in chunk order into `total`.
void add_chunks(const std::vector<double>& chunk_sums, size_t width, std::vector<double>& total) {
    std::fill(total.begin(), total.end(), 0.0);
    for (size_t at = 0; at < chunk_sums.size(); at += width)
        for (size_t k = 0; k < width; ++k) total[k] += chunk_sums[at + k];
}

// Conjugate gradients for ((1 + mass) D - W) u = b, b the sources of
// PartSources, preconditioned by the diagonal. The classes' columns are
// solved side by side, each with its own steps, so that an iteration reads
// the graph once for all. With mass > 0 the solution is unique on every
// connected part; with mass 0 its sources sum to 0 there, and from a start
// of zeros the iterates keep each part's degree-weighted mean at 0. A part
// without a labelled sample keeps its start, a sample without weight zeros.
//
// With a shift s > 0, the same iterations also solve the system plus s times
// the diagonal, started at zeros: its Krylov space is the same, its residual
// that of the first system times a factor zeta (Jegerlehner's multi-shift
// conjugate gradients), which only falls, so it is solved no later.
class ConjugateGradients {
public:
    // `start`: n rows of c values, where the iteration starts (zeros with a
    // shift).
    ConjugateGradients(const Graph& graph, const std::vector<int32_t>& labels, Py_ssize_t num_classes, double mass,
                       pyext::BigVector<double>&& start, double shift, Py_ssize_t threads)
        : g_(graph), c_(static_cast<size_t>(num_classes)), labels_(labels), sources_(graph, labels, num_classes),
          diagonal_(static_cast<size_t>(graph.n)), u_(std::move(start)), r_(u_.size()), p_(u_.size()),
          q_(u_.size()), alpha_(c_), beta_(c_), rz_(c_), first_rz_(c_), total_(c_), active_(c_), shift_(shift),
          threads_(graph.n, threads, [this](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t chunk) {
              rows(begin, end, chunk);
          }) {
        for (size_t i = 0; i < diagonal_.size(); ++i) diagonal_[i] = (1.0 + mass) * g_.degrees[i];
        chunk_sums_.assign(static_cast<size_t>(threads_.chunks()) * c_, 0.0);
        if (shift_ > 0) {
            shifted_u_.assign(u_.size(), 0.0);
            shifted_p_.assign(u_.size(), 0.0);
            shifted_alpha_.assign(c_, 0.0);
            shifted_beta_.assign(c_, 0.0);
            zeta_.assign(c_, 1.0);
            zeta_before_.assign(c_, 1.0);
            zeta_next_.assign(c_, 1.0);
            alpha_before_.assign(c_, 1.0);
            beta_before_.assign(c_, 0.0);
        }
    }

    // The residuals of the start; false if every column is solved already.
    bool start(double tolerance) {
        tolerance_ = tolerance;
        phase_ = Phase::kStart;
        threads_.run();
        add_chunks(chunk_sums_, c_, rz_);
        first_rz_ = rz_;
        bool any = false;
        for (size_t k = 0; k < c_; ++k) any |= active_[k] = rz_[k] > 0;
        return any;
    }

    // Frees the iteration's vectors, before the solution is written into
    // the caller's array (whose pages may be touched only then); value()
    // still reads the solutions.
    void free_work() {
        decltype(r_)().swap(r_);
        decltype(p_)().swap(p_);
        decltype(q_)().swap(q_);
        decltype(shifted_p_)().swap(shifted_p_);
    }

    // One iteration; false once every column's residual, in the norm of the
    // diagonal's inverse, is within `tolerance` of its start's.
    bool iterate() {
        phase_ = Phase::kMultiply;
        threads_.run();
        add_chunks(chunk_sums_, c_, total_);
        for (size_t k = 0; k < c_; ++k) alpha_[k] = active_[k] && total_[k] > 0 ? rz_[k] / total_[k] : 0.0;
        if (shift_ > 0) shifted_steps();
        phase_ = Phase::kUpdate;
        threads_.run();
        add_chunks(chunk_sums_, c_, total_);
        bool any = false;
        for (size_t k = 0; k < c_; ++k) {
            beta_[k] = active_[k] && rz_[k] > 0 ? total_[k] / rz_[k] : 0.0;
            if (shift_ > 0) shifted_directions(k);
            if (active_[k]) rz_[k] = total_[k];
            active_[k] = active_[k] && alpha_[k] > 0 && rz_[k] > tolerance_ * tolerance_ * first_rz_[k];
            any |= active_[k];
        }
        if (!any) return false;
        phase_ = Phase::kDirection;
        threads_.run();
        return true;
    }

    // Sample i's value for class k, in the solution or the shifted one.
    double value(Py_ssize_t i, Py_ssize_t k, bool shifted = false) const {
        const size_t at = static_cast<size_t>(i) * c_ + static_cast<size_t>(k);
        return diagonal_[static_cast<size_t>(i)] > 0 ? (shifted ? shifted_u_[at] : u_[at]) : 0.0;
    }

private:
    enum class Phase { kStart, kMultiply, kUpdate, kDirection };

    // The shifted system's step length from this iteration's, through zeta's
    // recurrence; a column whose zeta falls to 0 (or out of range) is solved.
    void shifted_steps() {
        for (size_t k = 0; k < c_; ++k) {
            shifted_alpha_[k] = 0.0;
            if (!active_[k] || !(zeta_[k] > 0)) continue;
            const double below = alpha_[k] * beta_before_[k] * (zeta_before_[k] - zeta_[k]) +
                                 zeta_before_[k] * alpha_before_[k] * (1.0 + shift_ * alpha_[k]);
            double next = zeta_[k] * zeta_before_[k] * alpha_before_[k] / below;
            if (!(next > 0 && std::isfinite(next))) next = 0.0;
            zeta_next_[k] = next;
            shifted_alpha_[k] = alpha_[k] * next / zeta_[k];
        }
    }

    // Column k's shifted direction weight once its beta is known, and zeta's
    // history moved on.
    void shifted_directions(size_t k) {
        shifted_beta_[k] = 0.0;
        if (!active_[k] || !(zeta_[k] > 0)) return;
        const double ratio = zeta_next_[k] / zeta_[k];
        shifted_beta_[k] = beta_[k] * ratio * ratio;
        zeta_before_[k] = zeta_[k];
        zeta_[k] = zeta_next_[k];
        alpha_before_[k] = alpha_[k];
        beta_before_[k] = beta_[k];
    }

    // out = ((1 + mass) D - W) x at row i. A width known when compiled keeps
    // the row's sums in registers; the sums are taken in the same order
    // either way.
    void multiply(size_t i, const pyext::BigVector<double>& x, double* out) const {
        switch (c_) {
        case 1: return multiply_row<1>(i, x, out);
        case 2: return multiply_row<2>(i, x, out);
        case 3: return multiply_row<3>(i, x, out);
        case 4: return multiply_row<4>(i, x, out);
        case 5: return multiply_row<5>(i, x, out);
        case 6: return multiply_row<6>(i, x, out);
        case 8: return multiply_row<8>(i, x, out);
        case 10: return multiply_row<10>(i, x, out);
        default: return multiply_row<0>(i, x, out);
        }
    }

    template <size_t Width>
    [[gnu::always_inline]] inline void multiply_row(size_t i, const pyext::BigVector<double>& x,
                                                    double* __restrict out) const {
        const size_t width = Width ? Width : c_;
        double local[Width ? Width : 1];
        double* __restrict sum = Width ? local : out;
        const double* __restrict values = x.data();
        for (size_t k = 0; k < width; ++k) sum[k] = diagonal_[i] * values[i * width + k];
        for (int64_t e = g_.offsets[i]; e < g_.offsets[i + 1]; ++e) {
            const double w = g_.weights[static_cast<size_t>(e)];
            const double* neighbour = values + static_cast<size_t>(g_.columns[static_cast<size_t>(e)]) * width;
            for (size_t k = 0; k < width; ++k) sum[k] -= w * neighbour[k];
        }
        if constexpr (Width != 0) std::copy(sum, sum + width, out);
    }

    void rows(Py_ssize_t begin, Py_ssize_t end, Py_ssize_t chunk) {
        double* sums = chunk_sums_.data() + static_cast<size_t>(chunk) * c_;
        if (phase_ != Phase::kDirection) std::fill(sums, sums + c_, 0.0);
        for (size_t i = static_cast<size_t>(begin); i < static_cast<size_t>(end); ++i) {
            double* r = r_.data() + i * c_;
            double* p = p_.data() + i * c_;
            double* q = q_.data() + i * c_;
            const double inverse = diagonal_[i] > 0 ? 1.0 / diagonal_[i] : 0.0;
            switch (phase_) {
            case Phase::kStart:
                multiply(i, u_, q);
                sources_.write(i, labels_[i], r);
                for (size_t k = 0; k < c_; ++k) {
                    r[k] = inverse > 0 ? r[k] - q[k] : 0.0;
                    p[k] = r[k] * inverse;
                    sums[k] += r[k] * p[k];
                }
                if (shift_ > 0) std::copy(p, p + c_, shifted_p_.data() + i * c_);
                break;
            case Phase::kMultiply:
                multiply(i, p_, q);
                for (size_t k = 0; k < c_; ++k) sums[k] += p[k] * q[k];
                break;
            case Phase::kUpdate: {
                double* u = u_.data() + i * c_;
                for (size_t k = 0; k < c_; ++k) {
                    u[k] += alpha_[k] * p[k];
                    r[k] -= alpha_[k] * q[k];
                    sums[k] += r[k] * (r[k] * inverse);
                }
                if (shift_ > 0) {
                    double* shifted_u = shifted_u_.data() + i * c_;
                    const double* shifted_p = shifted_p_.data() + i * c_;
                    for (size_t k = 0; k < c_; ++k) shifted_u[k] += shifted_alpha_[k] * shifted_p[k];
                }
                break;
            }
            case Phase::kDirection:
                for (size_t k = 0; k < c_; ++k) p[k] = r[k] * inverse + beta_[k] * p[k];
                if (shift_ > 0) {
                    double* shifted_p = shifted_p_.data() + i * c_;
                    for (size_t k = 0; k < c_; ++k)
                        shifted_p[k] = zeta_[k] * (r[k] * inverse) + shifted_beta_[k] * shifted_p[k];
                }
                break;
            }
        }
    }

    const Graph& g_;
    const size_t c_;
    const std::vector<int32_t>& labels_;
    PartSources sources_;
    std::vector<double> diagonal_;
    // Rows of c values: the solution, its residual, the direction and the
    // system times the direction (the preconditioned residual is the
    // residual over the diagonal, taken where it is needed).
    pyext::BigVector<double> u_, r_, p_, q_;
    std::vector<double> alpha_, beta_, rz_, first_rz_, total_;
    std::vector<bool> active_;  // columns still iterating
    // The shifted system (empty without a shift): its solution, direction and
    // steps, and each column's zeta now, before and next, with the step
    // length and beta of the iteration before.
    double shift_;
    pyext::BigVector<double> shifted_u_, shifted_p_;
    std::vector<double> shifted_alpha_, shifted_beta_, zeta_, zeta_before_, zeta_next_, alpha_before_, beta_before_;
    double tolerance_ = 0.0;
    std::vector<double> chunk_sums_;
    Phase phase_ = Phase::kStart;
    ChunkThreads threads_;  // last: its threads read the members above
};

// The eigenvalues of a symmetric tridiagonal matrix (`diagonal`, and
// `below` it), in place, and the squares of their unit eigenvectors' first
// entries in `weights`: Gauss quadrature's nodes and weights. The implicit
// QL method with Wilkinson's shift, its rotations applied to the first row
// of the eigenvectors only.
void tridiagonal_eigen(std::vector<double>& diagonal, std::vector<double> below, std::vector<double>& weights) {
    const size_t m = diagonal.size();
    below.resize(m, 0.0);
    weights.assign(m, 0.0);
    if (m) weights[0] = 1.0;
    std::vector<double>& d = diagonal;
    std::vector<double>& e = below;
    constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
    for (size_t l = 0; l < m; ++l) {
        for (int rounds = 0; rounds < 64; ++rounds) {
            size_t last = l;  // the first negligible off-diagonal entry from l on
            while (last + 1 < m && std::fabs(e[last]) > kEpsilon * (std::fabs(d[last]) + std::fabs(d[last + 1])))
                ++last;
            if (last == l) break;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            // Plain square roots, not hypot: the entries lie within [-1, 1] and a
            // look at the quadrature runs this some m**2 times.
            double r = std::fabs(g) < 1e150 ? std::sqrt(g * g + 1.0) : std::fabs(g);
            g = d[last] - d[l] + e[l] / (g + std::copysign(r, g));
            double s = 1.0, c = 1.0, shift = 0.0;
            bool deflated = false;
            for (size_t i = last; i-- > l;) {
                const double f = s * e[i], b = c * e[i];
                r = std::sqrt(f * f + g * g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= shift;
                    e[last] = 0.0;
                    deflated = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - shift;
                r = (d[i] - g) * s + 2.0 * c * b;
                shift = s * r;
                d[i + 1] = g + shift;
                g = c * r - b;
                const double next = weights[i + 1];
                weights[i + 1] = s * weights[i] + c * next;
                weights[i] = c * weights[i] - s * next;
            }
            if (deflated) continue;
            d[l] -= shift;
            e[l] = g;
            e[last] = 0.0;
        }
    }
    for (double& w : weights) w *= w;
}

// Passes of the random walk from the labelled samples (1 / labelled at
// each; its steps p <- W D^-1 p) until it comes within `tolerance` of its
// limit, measured as ||D^-1/2 (p - limit)|| against tolerance / (kHorizonRoom
// sqrt(volume)): without running the walk, from Lanczos' method on S =
// D^-1/2 W D^-1/2 started at D^-1/2 (p - limit), whose Gauss quadrature
// gives ||S^t x||^2 for every t at once. Some hundreds of steps, one column
// each, where the walk takes tens of thousands of passes.
constexpr double kHorizonRoom = 5.0;
// The quadrature is looked at every kHorizonLook steps; the estimate is
// taken once it is within kHorizonSettled of the one at half the steps (it
// grows as the slowest parts of the walk come into the Krylov space).
constexpr size_t kHorizonLook = 16;
constexpr double kHorizonSettled = 0.35;

class WalkHorizon {
public:
    WalkHorizon(const Graph& graph, const std::vector<int32_t>& labels, double tolerance, Py_ssize_t threads)
        : g_(graph), scale_(static_cast<size_t>(graph.n), 0.0), v_(scale_.size(), 0.0), previous_(scale_.size(), 0.0),
          scaled_(scale_.size(), 0.0), w_(scale_.size(), 0.0),
          threads_(graph.n, threads, [this](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t chunk) {
              rows(begin, end, chunk);
          }) {
        const PartSources sources(graph, labels, 1);
        double volume = 0.0, norm = 0.0;
        for (size_t i = 0; i < scale_.size(); ++i) {
            const double d = g_.degrees[i];
            volume += d;
            if (!(d > 0)) continue;
            scale_[i] = 1.0 / std::sqrt(d);
            const double start = sources.slot[i] >= 0 ? sources.walk_start : 0.0;
            v_[i] = (start - d * sources.walk_limit[i]) * scale_[i];
            norm += v_[i] * v_[i];
        }
        norm = std::sqrt(norm);
        // ||x_t|| <= reach, in units of ||x_0||.
        const double reach = tolerance / (kHorizonRoom * std::sqrt(volume));
        bound_ = norm > 0 ? reach * reach / (norm * norm) : 1.0;
        for (size_t i = 0; i < v_.size(); ++i) {
            v_[i] = norm > 0 ? v_[i] / norm : 0.0;
            scaled_[i] = v_[i] * scale_[i];
        }
        chunk_sums_.assign(static_cast<size_t>(threads_.chunks()), 0.0);
        done_ = !(norm > 0) || !(bound_ < 1.0);
    }

    // One step of Lanczos' method; false once the estimate is settled.
    bool step() {
        if (done_) return false;
        phase_ = Phase::kMultiply;
        threads_.run();
        double alpha = 0.0;
        for (const double sum : chunk_sums_) alpha += sum;
        alpha_.push_back(alpha);
        phase_ = Phase::kOrthogonal;
        threads_.run();
        double squares = 0.0;
        for (const double sum : chunk_sums_) squares += sum;
        const double beta = std::sqrt(squares);
        // A Krylov space that closes holds the walk exactly.
        const bool closed = !(beta > kClosed * (std::fabs(alpha) + (beta_.empty() ? 0.0 : beta_.back())));
        if (closed || alpha_.size() % kHorizonLook == 0) {
            const double estimate = horizon();
            // Exact up to the steps taken: the quadrature integrates
            // polynomials of degree below twice its nodes.
            looks_.push_back(estimate);
            // The look at half the steps, or just short of it.
            const double half = looks_.size() > 1 ? looks_[looks_.size() / 2 - 1] : -1.0;
            done_ = closed || estimate < static_cast<double>(alpha_.size()) ||
                    (half >= 0 && std::fabs(estimate - half) <= kHorizonSettled * estimate);
            horizon_ = estimate;
            if (done_) return false;
        }
        beta_.push_back(beta);
        beta_now_ = beta;
        phase_ = Phase::kNext;
        threads_.run();
        return true;
    }

    double passes() const { return horizon_; }
    size_t steps() const { return alpha_.size(); }

private:
    enum class Phase { kMultiply, kOrthogonal, kNext };
    static constexpr double kClosed = 1e-12;

    // The first t at which ||S^t x_0||^2 / ||x_0||^2 <= bound_, as the
    // quadrature on the steps so far gives it.
    double horizon() const {
        std::vector<double> nodes(alpha_), weights;
        tridiagonal_eigen(nodes, beta_, weights);
        // A node at 1 (rounding brings back the limit's direction) never
        // decays; its weight is rounding's too.
        auto decay = [&](double t) {
            double sum = 0.0;
            for (size_t k = 0; k < nodes.size(); ++k)
                if (std::fabs(nodes[k]) < 1.0 - 1e-12) sum += weights[k] * std::pow(std::fabs(nodes[k]), 2.0 * t);
            return sum;
        };
        if (decay(0.0) <= bound_) return 0.0;
        double low = 0.0, high = 1.0;
        while (decay(high) > bound_ && high < 1e15) {
            low = high;
            high *= 2.0;
        }
        while (high - low > 1.0) {
            const double middle = std::floor((low + high) / 2.0);
            (decay(middle) > bound_ ? low : high) = middle;
        }
        return high;
    }

    // A loop per phase, so that each runs without a branch per row.
    void rows(Py_ssize_t begin, Py_ssize_t end, Py_ssize_t chunk) {
        const size_t first = static_cast<size_t>(begin), last = static_cast<size_t>(end);
        double sum = 0.0;
        switch (phase_) {
        case Phase::kMultiply:  // w = S v, and v . w
            for (size_t i = first; i < last; ++i) {
                double row = 0.0;
                for (int64_t e = g_.offsets[i]; e < g_.offsets[i + 1]; ++e)
                    row += g_.weights[static_cast<size_t>(e)] * scaled_[static_cast<size_t>(g_.columns[static_cast<size_t>(e)])];
                w_[i] = scale_[i] * row;
                sum += v_[i] * w_[i];
            }
            break;
        case Phase::kOrthogonal: {  // w -= alpha v + beta v_previous, and w . w
            const double alpha = alpha_.back(), beta = beta_.empty() ? 0.0 : beta_.back();
            for (size_t i = first; i < last; ++i) {
                w_[i] -= alpha * v_[i] + beta * previous_[i];
                sum += w_[i] * w_[i];
            }
            break;
        }
        case Phase::kNext:
            for (size_t i = first; i < last; ++i) {
                previous_[i] = v_[i];
                v_[i] = w_[i] / beta_now_;
                scaled_[i] = v_[i] * scale_[i];
            }
            break;
        }
        chunk_sums_[static_cast<size_t>(chunk)] = sum;
    }

    const Graph& g_;
    std::vector<double> scale_;  // D^-1/2, 0 for a sample without weight
    pyext::BigVector<double> v_, previous_, scaled_, w_;
    std::vector<double> alpha_, beta_, chunk_sums_;
    std::vector<double> looks_;  // the estimate at each look
    double beta_now_ = 0.0, bound_ = 1.0, horizon_ = 0.0;
    bool done_ = false;
    Phase phase_ = Phase::kMultiply;
    ChunkThreads threads_;  // last: its threads read the members above
};

// The `solution` argument: a writable 2-D float64 ndarray of n rows, native
// byte order, any strides; null with TypeError or ValueError otherwise.
PyArrayObject* solution_argument(PyObject* value, Py_ssize_t n, const char* what = "solution",
                                 bool writable = true) {
    PyArrayObject* a = pyext::is_ndarray(value) ? reinterpret_cast<PyArrayObject*>(value) : nullptr;
    if (!a || PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_FLOAT64 || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        (writable && !PyArray_ISWRITEABLE(a))) {
        PyErr_Format(PyExc_TypeError, "%s must be a %s2-D float64 ndarray", what, writable ? "writable " : "");
        return nullptr;
    }
    if (PyArray_DIM(a, 0) != n || PyArray_DIM(a, 1) < 1) {
        PyErr_Format(PyExc_ValueError, "%s has shape (%zd, %zd), expected (%zd, number of classes)", what,
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)), static_cast<Py_ssize_t>(PyArray_DIM(a, 1)), n);
        return nullptr;
    }
    return a;
}

pyext::View2D<double> matrix_of(PyArrayObject* a) {
    return {static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0),
            PyArray_STRIDE(a, 1)};
}

void delete_graph(PyObject* capsule) { delete static_cast<Graph*>(PyCapsule_GetPointer(capsule, kGraphName)); }

// The caller's CSR arrays, checked and copied into `graph` (offsets, columns,
// weights); false with an exception otherwise.
bool copy_graph(PyObject* indptr_arg, PyObject* indices_arg, PyObject* weights_arg, Graph* graph) {
    PyArrayObject* indptr = vector_argument(indptr_arg, "indptr", NPY_INT32, NPY_INT64);
    if (!indptr) return false;
    PyArrayObject* indices = vector_argument(indices_arg, "indices", NPY_INT32, NPY_INT64);
    if (!indices) return false;
    PyArrayObject* weights = vector_argument(weights_arg, "weights", NPY_FLOAT32, NPY_FLOAT64);
    if (!weights) return false;
    const Py_ssize_t n = PyArray_DIM(indptr, 0) - 1;
    const Py_ssize_t nnz = PyArray_DIM(indices, 0);
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "indptr must hold at least one offset");
        return false;
    }
    if (PyArray_DIM(weights, 0) != nnz) {
        PyErr_Format(PyExc_ValueError, "indices has %zd entries but weights %zd", nnz,
                     static_cast<Py_ssize_t>(PyArray_DIM(weights, 0)));
        return false;
    }
    if (n > std::numeric_limits<int32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "more samples than a 32-bit id can number");
        return false;
    }
    graph->n = n;
    return (PyArray_TYPE(indptr) == NPY_INT32 ? copy_offsets<int32_t>(indptr, nnz, graph)
                                              : copy_offsets<int64_t>(indptr, nnz, graph)) &&
           (PyArray_TYPE(indices) == NPY_INT32 ? copy_columns<int32_t>(indices, graph)
                                               : copy_columns<int64_t>(indices, graph)) &&
           (PyArray_TYPE(weights) == NPY_FLOAT32 ? copy_weights<float>(weights, graph)
                                                 : copy_weights<double>(weights, graph));
}

PyObject* poisson_graph(pyext::Call&, PyObject* const* args) {
    uint64_t n_jobs = 1;  // an optional argument not given is null
    if (args[4] && !pyext::index_to_size_t(args[4], &n_jobs)) return nullptr;
    if (n_jobs < 1) {
        PyErr_SetString(PyExc_ValueError, "n_jobs must be at least 1");
        return nullptr;
    }
    const Py_ssize_t threads = static_cast<Py_ssize_t>(std::min<uint64_t>(n_jobs, kMostThreads));
    PyArrayObject* order = nullptr;
    if (args[3] && args[3] != Py_None && !(order = vector_argument(args[3], "order", NPY_INT32, NPY_INT64)))
        return nullptr;
    try {
        auto graph = std::make_unique<Graph>();
        const bool copied =
            copy_graph(args[0], args[1], args[2], graph.get()) &&
            (!order || (PyArray_TYPE(order) == NPY_INT32 ? renumber<int32_t>(order, threads, graph.get())
                                                         : renumber<int64_t>(order, threads, graph.get()))) &&
            sum_degrees(graph.get());
        if (!copied) return nullptr;
        graph->parts = connected_parts(*graph);
        PyObject* capsule = PyCapsule_New(graph.get(), kGraphName, delete_graph);
        if (capsule) graph.release();  // the capsule owns it now
        return capsule;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

// (W + W^T) / 2 of a graph's copy W (its rows sorted by column in place),
// each row sorted by column: an entry stored twice counts twice, each pair's
// sum is taken before it is halved (as SciPy adds the two matrices, then
// scales), and a sum of 0 is not stored. Counted first, then written
// straight into the NumPy arrays it returns.
class Symmetrised {
public:
    Symmetrised(Graph& w, Py_ssize_t threads)
        : w_(w), n_(static_cast<size_t>(w.n)), threads_(threads), transposed_offsets_(n_ + 1, 0),
          transposed_columns_(w.columns.size()), transposed_weights_(w.columns.size()), offsets_(n_ + 1, 0) {
        size_t longest = 0;
        for (size_t i = 0; i < n_; ++i)
            longest = std::max(longest, static_cast<size_t>(w.offsets[i + 1] - w.offsets[i]));
        scratch_.resize(static_cast<size_t>(threads));
        for (auto& room : scratch_) room.resize(longest > kInsertionSortRow ? longest : 0);
    }

    // Sorts W's rows, builds W^T and counts each row's entries: with the
    // GIL released.
    void count() {
        for_blocks(w_.n, threads_, [this](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t block) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const int64_t first = w_.offsets[static_cast<size_t>(i)];
                sort_row(w_.columns.data() + first, w_.weights.data() + first,
                         static_cast<size_t>(w_.offsets[static_cast<size_t>(i) + 1] - first),
                         scratch_[static_cast<size_t>(block)]);
            }
        });
        // W^T's row j holds (i, w_ij) for each entry of W's row i at column
        // j, in the order of i: its rows come sorted. Each thread reads all
        // of W but writes only the rows of its block of columns: the
        // scattered writes, which take the time, are shared out.
        for_blocks(w_.n, threads_, [this](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t) {
            const uint32_t first = static_cast<uint32_t>(begin), count = static_cast<uint32_t>(end - begin);
            for (const int32_t column : w_.columns)
                if (static_cast<uint32_t>(column) - first < count) ++transposed_offsets_[static_cast<size_t>(column) + 1];
        });
        for (size_t j = 0; j < n_; ++j) transposed_offsets_[j + 1] += transposed_offsets_[j];
        pyext::BigVector<int64_t> next(transposed_offsets_.begin(), transposed_offsets_.end() - 1);
        for_blocks(w_.n, threads_, [this, &next](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t) {
            const uint32_t first = static_cast<uint32_t>(begin), count = static_cast<uint32_t>(end - begin);
            for (size_t i = 0; i < n_; ++i) {
                for (int64_t e = w_.offsets[i]; e < w_.offsets[i + 1]; ++e) {
                    const int32_t column = w_.columns[static_cast<size_t>(e)];
                    if (static_cast<uint32_t>(column) - first >= count) continue;
                    const size_t at = static_cast<size_t>(next[static_cast<size_t>(column)]++);
                    transposed_columns_[at] = static_cast<int32_t>(i);
                    transposed_weights_[at] = w_.weights[static_cast<size_t>(e)];
                }
            }
        });
        for_blocks(w_.n, threads_, [this](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t) {
            for (size_t i = static_cast<size_t>(begin); i < static_cast<size_t>(end); ++i)
                offsets_[i + 1] = merge_row<false>(i, nullptr, nullptr);
        });
        for (size_t i = 0; i < n_; ++i) offsets_[i + 1] += offsets_[i];
    }

    int64_t size() const { return offsets_[n_]; }

    // Writes the rows into arrays of size() entries, and their offsets: with
    // the GIL released.
    template <class Offset>
    void write(Offset* indptr, int32_t* columns, double* weights) const {
        for (size_t i = 0; i <= n_; ++i) indptr[i] = static_cast<Offset>(offsets_[i]);
        for_blocks(w_.n, threads_, [&](Py_ssize_t begin, Py_ssize_t end, Py_ssize_t) {
            for (size_t i = static_cast<size_t>(begin); i < static_cast<size_t>(end); ++i)
                merge_row<true>(i, columns + offsets_[i], weights + offsets_[i]);
        });
    }

private:
    // Row i of the sum, merged from W's row and W^T's; its length.
    template <bool Write>
    int64_t merge_row(size_t i, int32_t* columns, double* weights) const {
        int64_t a = w_.offsets[i], b = transposed_offsets_[i], length = 0;
        const int64_t a_end = w_.offsets[i + 1], b_end = transposed_offsets_[i + 1];
        while (a < a_end || b < b_end) {
            const int32_t column =
                std::min(a < a_end ? w_.columns[static_cast<size_t>(a)] : std::numeric_limits<int32_t>::max(),
                         b < b_end ? transposed_columns_[static_cast<size_t>(b)] : std::numeric_limits<int32_t>::max());
            // Each side's copies of the entry summed in order, then the two.
            double from_w = 0.0, from_t = 0.0;
            bool in_w = false, in_t = false;
            for (; a < a_end && w_.columns[static_cast<size_t>(a)] == column; ++a) {
                from_w = in_w ? from_w + w_.weights[static_cast<size_t>(a)] : w_.weights[static_cast<size_t>(a)];
                in_w = true;
            }
            for (; b < b_end && transposed_columns_[static_cast<size_t>(b)] == column; ++b) {
                from_t = in_t ? from_t + transposed_weights_[static_cast<size_t>(b)]
                              : transposed_weights_[static_cast<size_t>(b)];
                in_t = true;
            }
            const double sum = in_w && in_t ? from_w + from_t : in_w ? from_w : from_t;
            if (sum != 0) {
                if constexpr (Write) {
                    columns[length] = column;
                    weights[length] = sum * 0.5;
                }
                ++length;
            }
        }
        return length;
    }

    Graph& w_;
    const size_t n_;
    const Py_ssize_t threads_;
    pyext::BigVector<int64_t> transposed_offsets_;
    pyext::BigVector<int32_t> transposed_columns_;
    pyext::BigVector<double> transposed_weights_;
    pyext::BigVector<int64_t> offsets_;
    std::vector<std::vector<std::pair<int32_t, double>>> scratch_;
};

// A new 1-D ndarray of `type` and `size` entries.
pyext::Ref new_array(int64_t size, int type) {
    npy_intp length = static_cast<npy_intp>(size);
    return pyext::Ref::steal(PyArray_SimpleNew(1, &length, type));
}

template <class T>
T* data_of(const pyext::Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

PyObject* poisson_symmetrised(pyext::Call&, PyObject* const* args) {
    uint64_t n_jobs = 0;
    if (!pyext::index_to_size_t(args[3], &n_jobs)) return nullptr;
    if (n_jobs < 1) {
        PyErr_SetString(PyExc_ValueError, "n_jobs must be at least 1");
        return nullptr;
    }
    try {
        Graph graph;
        if (!copy_graph(args[0], args[1], args[2], &graph)) return nullptr;
        Symmetrised symmetric(graph, static_cast<Py_ssize_t>(std::min<uint64_t>(n_jobs, kMostThreads)));
        Py_BEGIN_ALLOW_THREADS
        symmetric.count();
        Py_END_ALLOW_THREADS
        // 32-bit offsets where they fit, as SciPy would index the matrix.
        const bool narrow = symmetric.size() <= std::numeric_limits<int32_t>::max();
        pyext::Ref indptr = new_array(graph.n + 1, narrow ? NPY_INT32 : NPY_INT64);
        pyext::Ref indices = new_array(symmetric.size(), NPY_INT32);
        pyext::Ref weights = new_array(symmetric.size(), NPY_FLOAT64);
        if (!indptr || !indices || !weights) return nullptr;
        // The new arrays are no one else's yet: written without the GIL.
        Py_BEGIN_ALLOW_THREADS
        if (narrow)
            symmetric.write(data_of<int32_t>(indptr), data_of<int32_t>(indices), data_of<double>(weights));
        else
            symmetric.write(data_of<int64_t>(indptr), data_of<int32_t>(indices), data_of<double>(weights));
        Py_END_ALLOW_THREADS
        return PyTuple_Pack(3, indptr.get(), indices.get(), weights.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

// The `graph` argument: a graph that poisson_graph made, held by the call's
// arguments until it returns and never changed once made; null with
// TypeError otherwise.
const Graph* graph_argument(PyObject* value) {
    if (!PyCapsule_IsValid(value, kGraphName)) {
        PyErr_SetString(PyExc_TypeError, "graph must be a graph that poisson_graph made");
        return nullptr;
    }
    return static_cast<const Graph*>(PyCapsule_GetPointer(value, kGraphName));
}

// The `labels` argument: a 1-D int32 ndarray of n entries; null with an
// exception otherwise.
PyArrayObject* labels_argument(PyObject* value, Py_ssize_t n) {
    PyArrayObject* labels = vector_argument(value, "labels", NPY_INT32, NPY_INT32);
    if (labels && PyArray_DIM(labels, 0) != n) {
        PyErr_Format(PyExc_ValueError, "labels has %zd entries, but the graph %zd samples",
                     static_cast<Py_ssize_t>(PyArray_DIM(labels, 0)), n);
        return nullptr;
    }
    return labels;
}

// The `labels` argument, checked against n samples and c classes and copied
// into `codes`; false with an exception otherwise.
bool read_labels(PyObject* value, Py_ssize_t n, Py_ssize_t c, std::vector<int32_t>* codes) {
    PyArrayObject* labels = labels_argument(value, n);
    if (!labels) return false;
    codes->resize(static_cast<size_t>(n));
    const pyext::View1D<int32_t> label_view = view_of<int32_t>(labels);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int32_t label = label_view[i];
        if (label < -1 || label >= c) {
            PyErr_Format(PyExc_ValueError, "labels[%zd] is %d, outside -1 .. %zd", i, label, c - 1);
            return false;
        }
        (*codes)[static_cast<size_t>(i)] = label;
    }
    return true;
}

// The `labels` argument when any class code >= 0 will do (the walk's
// labelled samples); false with an exception otherwise.
bool read_labels_any_class(PyObject* value, Py_ssize_t n, std::vector<int32_t>* codes) {
    if (!read_labels(value, n, std::numeric_limits<int32_t>::max(), codes)) return false;
    // The walk counts labelled samples only: each as class 0 of one.
    for (int32_t& code : *codes) code = code < 0 ? -1 : 0;
    return true;
}

// The `solution` argument's values, checked finite, in rows of `width`
// (its c columns first, zeros after); false with ValueError otherwise.
bool read_solution(PyArrayObject* solution, Py_ssize_t width, pyext::BigVector<double>* state,
                   const char* what = "solution") {
    const Py_ssize_t n = PyArray_DIM(solution, 0), c = PyArray_DIM(solution, 1);
    state->assign(static_cast<size_t>(n) * static_cast<size_t>(width), 0.0);
    const pyext::View2D<double> given = matrix_of(solution);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const pyext::View1D<double> row = given.row(i);
        for (Py_ssize_t k = 0; k < c; ++k) {
            const double value = row[k];
            if (!std::isfinite(value)) {
                PyErr_Format(PyExc_ValueError, "%s[%zd, %zd] is not finite", what, i, k);
                return false;
            }
            (*state)[static_cast<size_t>(i * width + k)] = value;
        }
    }
    return true;
}

// Writes value(i, k) into the `solution` argument, whose layout is taken
// again first: a signal handler may have reshaped it during the passes.
template <class Value>
bool write_solution(PyObject* value_arg, Py_ssize_t n, Py_ssize_t c, const Value& value,
                    const char* what = "solution") {
    PyArrayObject* solution = solution_argument(value_arg, n, what);
    if (!solution || PyArray_DIM(solution, 1) != c) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s changed shape during the passes", what);
        return false;
    }
    const pyext::View2D<double> out = matrix_of(solution);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const pyext::View1D<double> row = out.row(i);
        for (Py_ssize_t k = 0; k < c; ++k) row.set(k, value(i, k));
    }
    return true;
}

bool positive_jobs(uint64_t n_jobs) {
    if (n_jobs >= 1) return true;
    PyErr_SetString(PyExc_ValueError, "n_jobs must be at least 1");
    return false;
}

// The arguments both solvers take first: the graph, the labels (their
// layout; their values are read later) and the solution; false with the
// exception otherwise.
struct SolverArguments {
    const Graph* graph = nullptr;
    PyArrayObject* solution = nullptr;
    Py_ssize_t n = 0, c = 0;
};

bool solver_arguments(PyObject* const* args, SolverArguments* out) {
    out->graph = graph_argument(args[0]);
    if (!out->graph) return false;
    out->n = out->graph->n;
    if (!labels_argument(args[1], out->n)) return false;
    out->solution = solution_argument(args[2], out->n);
    if (!out->solution) return false;
    out->c = PyArray_DIM(out->solution, 1);
    return true;
}

PyObject* poisson_solve(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    uint64_t max_iterations = 0, n_jobs = 0;
    double tolerance = 0.0;
    if (!pyext::index_to_size_t(args[3], &max_iterations) || !pyext::to_double(args[4], &tolerance) ||
        !pyext::index_to_size_t(args[5], &n_jobs))
        return nullptr;
    if (!(tolerance >= 0)) {
        PyErr_SetString(PyExc_ValueError, "tolerance must be a number not below 0");
        return nullptr;
    }
    SolverArguments checked;
    if (!positive_jobs(n_jobs) || !solver_arguments(args, &checked)) return nullptr;
    const Graph* graph = checked.graph;
    PyArrayObject* solution = checked.solution;
    const Py_ssize_t n = checked.n, c = checked.c;
    std::vector<int32_t> codes;
    uint64_t passes_run = 0;
    try {
        // Tolerance 0 asks for max_iterations passes: no walk to follow.
        const bool walk = tolerance > 0;
        pyext::BigVector<double> state;
        if (!read_labels(args[1], n, c, &codes) || !read_solution(solution, c + (walk ? 1 : 0), &state))
            return nullptr;
        PoissonPasses passes(*graph, codes, c, walk, std::move(state));
        ParallelPasses parallel(passes, n, c, static_cast<Py_ssize_t>(std::min<uint64_t>(n_jobs, kMostThreads)));
        const double mixed = tolerance / static_cast<double>(std::max<Py_ssize_t>(n, 1));
        bool interrupted = false;
        while (passes_run < max_iterations && !interrupted) {
            bool done = false;
            Py_BEGIN_ALLOW_THREADS
            for (uint64_t k = 0; k < kPassesPerSignalCheck && passes_run < max_iterations; ++k) {
                const double far = parallel.run();
                passes.swap();
                ++passes_run;
                if (walk && far <= mixed) {
                    done = true;
                    break;
                }
            }
            Py_END_ALLOW_THREADS
            if (done) break;
            interrupted = PyErr_CheckSignals() < 0;
        }
        if (interrupted ||
            !write_solution(args[2], n, c, [&passes](Py_ssize_t i, Py_ssize_t k) { return passes.value(i, k); }))
            return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(passes_run);
}

PyObject* poisson_horizon(pyext::Call&, PyObject* const* args) {
    uint64_t max_steps = 0, n_jobs = 0;
    double tolerance = 0.0;
    if (!pyext::to_double(args[2], &tolerance) || !pyext::index_to_size_t(args[3], &max_steps) ||
        !pyext::index_to_size_t(args[4], &n_jobs))
        return nullptr;
    if (!(tolerance > 0) || !std::isfinite(tolerance)) {
        PyErr_SetString(PyExc_ValueError, "tolerance must be a finite number above 0");
        return nullptr;
    }
    if (!positive_jobs(n_jobs)) return nullptr;
    const Graph* graph = graph_argument(args[0]);
    if (!graph) return nullptr;
    std::vector<int32_t> codes;
    try {
        // One class: the walk does not tell the classes apart.
        if (!read_labels_any_class(args[1], graph->n, &codes)) return nullptr;
        WalkHorizon horizon(*graph, codes, tolerance, static_cast<Py_ssize_t>(std::min<uint64_t>(n_jobs, kMostThreads)));
        bool going = true;
        while (going && horizon.steps() < max_steps) {
            Py_BEGIN_ALLOW_THREADS
            for (uint64_t k = 0; k < kPassesPerSignalCheck && going && horizon.steps() < max_steps; ++k)
                going = horizon.step();
            Py_END_ALLOW_THREADS
            if (going && PyErr_CheckSignals() < 0) return nullptr;
        }
        return Py_BuildValue("(dn)", horizon.passes(), static_cast<Py_ssize_t>(horizon.steps()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

PyObject* poisson_conjugate_gradients(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    uint64_t max_iterations = 0, n_jobs = 0;
    double mass = 0.0, tolerance = 0.0, shifted_mass = 0.0;
    const bool has_shifted = args[7] && args[7] != Py_None;
    if (!pyext::to_double(args[3], &mass) || !pyext::to_double(args[4], &tolerance) ||
        !pyext::index_to_size_t(args[5], &max_iterations) || !pyext::index_to_size_t(args[6], &n_jobs) ||
        (args[8] && !pyext::to_double(args[8], &shifted_mass)))
        return nullptr;
    if (!(mass >= 0) || !std::isfinite(mass)) {
        PyErr_SetString(PyExc_ValueError, "mass must be a finite number not below 0");
        return nullptr;
    }
    if (has_shifted && !(shifted_mass > mass && std::isfinite(shifted_mass))) {
        PyErr_SetString(PyExc_ValueError, "shifted_mass must be finite and above mass");
        return nullptr;
    }
    if (!(tolerance >= 0) || !std::isfinite(tolerance)) {
        PyErr_SetString(PyExc_ValueError, "tolerance must be a finite number not below 0");
        return nullptr;
    }
    SolverArguments checked;
    if (!positive_jobs(n_jobs) || !solver_arguments(args, &checked)) return nullptr;
    const Graph* graph = checked.graph;
    PyArrayObject* solution = checked.solution;
    const Py_ssize_t n = checked.n, c = checked.c;
    std::vector<int32_t> codes;
    uint64_t iterations = 0;
    bool going = true;
    try {
        pyext::BigVector<double> start;
        if (has_shifted) {
            PyArrayObject* shifted = solution_argument(args[7], n, "shifted");
            if (!shifted) return nullptr;
            if (PyArray_DIM(shifted, 1) != c) {
                PyErr_Format(PyExc_ValueError, "shifted has %zd columns, but solution %zd",
                             static_cast<Py_ssize_t>(PyArray_DIM(shifted, 1)), c);
                return nullptr;
            }
        }
        if (!read_labels(args[1], n, c, &codes)) return nullptr;
        if (has_shifted)
            start.assign(static_cast<size_t>(n) * static_cast<size_t>(c), 0.0);
        else if (!read_solution(solution, c, &start))
            return nullptr;
        // The shifted system is the first plus this multiple of its diagonal.
        const double shift = has_shifted ? (shifted_mass - mass) / (1.0 + mass) : 0.0;
        ConjugateGradients solver(*graph, codes, c, mass, std::move(start), shift,
                                  static_cast<Py_ssize_t>(std::min<uint64_t>(n_jobs, kMostThreads)));
        Py_BEGIN_ALLOW_THREADS
        going = solver.start(tolerance);
        Py_END_ALLOW_THREADS
        while (going && iterations < max_iterations) {
            Py_BEGIN_ALLOW_THREADS
            for (uint64_t k = 0; k < kPassesPerSignalCheck && going && iterations < max_iterations; ++k) {
                going = solver.iterate();
                ++iterations;
            }
            Py_END_ALLOW_THREADS
            if (going && PyErr_CheckSignals() < 0) return nullptr;
        }
        solver.free_work();
        if (!write_solution(args[2], n, c, [&solver](Py_ssize_t i, Py_ssize_t k) { return solver.value(i, k); }))
            return nullptr;
        if (has_shifted && !write_solution(
                               args[7], n, c, [&solver](Py_ssize_t i, Py_ssize_t k) { return solver.value(i, k, true); },
                               "shifted"))
            return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(iterations), going ? Py_False : Py_True);
}

const char* const kHorizonParams[] = {"graph", "labels", "tolerance", "max_steps", "n_jobs"};

const pyext::FunctionSpec kHorizonFunction = {
    "poisson_horizon", kModuleName, kHorizonDoc, "velorn/_native/src/poisson_solver.cpp", __LINE__,
    kHorizonParams, 5, 5, poisson_horizon,
};

const char* const kGradientsParams[] = {"graph", "labels", "solution", "mass", "tolerance", "max_iterations",
                                        "n_jobs", "shifted", "shifted_mass"};

const pyext::FunctionSpec kGradientsFunction = {
    "poisson_conjugate_gradients", kModuleName, kGradientsDoc, "velorn/_native/src/poisson_solver.cpp",
    __LINE__, kGradientsParams, 9, 7, poisson_conjugate_gradients,
};

const char* const kParams[] = {"graph", "labels", "solution", "max_iterations", "tolerance", "n_jobs"};

const pyext::FunctionSpec kFunction = {
    "poisson_solve", kModuleName, kDoc, "velorn/_native/src/poisson_solver.cpp", __LINE__,
    kParams, 6, 6, poisson_solve,
};

PyObject* poisson_parts(pyext::Call&, PyObject* const* args) {
    const Graph* found = graph_argument(args[0]);
    if (!found) return nullptr;
    const Graph& graph = *found;
    npy_intp size = graph.n;
    PyObject* parts = PyArray_SimpleNew(1, &size, NPY_INT32);
    if (parts && graph.n)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(parts)), graph.parts.data(),
                    static_cast<size_t>(graph.n) * sizeof(int32_t));
    return parts;
}

const char* const kGraphParams[] = {"indptr", "indices", "weights", "order", "n_jobs"};

const pyext::FunctionSpec kGraphFunction = {
    "poisson_graph", kModuleName, kGraphDoc, "velorn/_native/src/poisson_solver.cpp", __LINE__,
    kGraphParams, 5, 3, poisson_graph,
};

const char* const kSymmetrisedParams[] = {"indptr", "indices", "weights", "n_jobs"};

const pyext::FunctionSpec kSymmetrisedFunction = {
    "poisson_symmetrised", kModuleName, kSymmetrisedDoc, "velorn/_native/src/poisson_solver.cpp",
    __LINE__, kSymmetrisedParams, 4, 4, poisson_symmetrised,
};

const char* const kPartsParams[] = {"graph"};

const pyext::FunctionSpec kPartsFunction = {
    "poisson_parts", kModuleName, kPartsDoc, "velorn/_native/src/poisson_solver.cpp", __LINE__,
    kPartsParams, 1, 1, poisson_parts,
};

int prepare(PyObject* dict) {
    pyext::Ref one = pyext::Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    pyext::Ref defaults = pyext::Ref::steal(PyTuple_Pack(2, Py_None, one.get()));
    if (!defaults) return -1;
    pyext::Ref graph_function = pyext::make_function(kGraphFunction, pyext::module_state.module, defaults.get());
    if (!graph_function || PyDict_SetItemString(dict, kGraphFunction.name, graph_function.get()) < 0) return -1;
    pyext::Ref horizon_function = pyext::make_function(kHorizonFunction, pyext::module_state.module, Py_None);
    if (!horizon_function || PyDict_SetItemString(dict, kHorizonFunction.name, horizon_function.get()) < 0)
        return -1;
    pyext::Ref no_weights = pyext::Ref::steal(PyTuple_Pack(1, Py_None));
    if (!no_weights) return -1;
    pyext::Ref gradients_function =
        pyext::make_function(kGradientsFunction, pyext::module_state.module, no_weights.get());
    if (!gradients_function || PyDict_SetItemString(dict, kGradientsFunction.name, gradients_function.get()) < 0)
        return -1;
    pyext::Ref parts_function = pyext::make_function(kPartsFunction, pyext::module_state.module, Py_None);
    if (!parts_function || PyDict_SetItemString(dict, kPartsFunction.name, parts_function.get()) < 0) return -1;
    pyext::Ref symmetrised_function =
        pyext::make_function(kSymmetrisedFunction, pyext::module_state.module, Py_None);
    return symmetrised_function ? PyDict_SetItemString(dict, kSymmetrisedFunction.name, symmetrised_function.get())
                                : -1;
}

const pyext::ModuleSpec kModule = {"poisson_solver", kModuleName,
                                   "velorn/_native/src/poisson_solver.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_poisson_solver() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
