// tolmar_lp: weighted label propagation over a graph read row by row from
// the caller's containers, writing the labels into the caller's int32 array.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "cache_hint.hpp"
#include "function.hpp"
#include "module.hpp"
#include "graph_container.hpp"
#include "graph_rows.hpp"
#include "label_scores.hpp"

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.tolmar_lp";

constexpr const char* kDoc =
    "weighted_label_propagation(connections, weights, int[::1] initial_labels, "
    "size_t max_iterations=50000, double tolerance=1e-3) -> ndarray\n"
    "\n"
    "    Performs weighted label propagation on the data graph represented by `connetions` and `weights`.\n"
    "\n"
    "    Parameters:\n"
    "    ----------------\n"
    "    connections: GraphWrapper\n"
    "        adjacency list (2D array where each row lists neighbors of a node)\n"
    "    weights: GraphWrapper\n"
    "        same shape as connections, stores weights for connections\n"
    "    initial_labels: iterable\n"
    "        initial labels for nodes (-1 for unlabeled nodes)\n"
    "    max_iterations: int\n"
    "        maximum number of iterations\n"
    "    tolerance: float\n"
    "        convergence threshold\n"
    "    ";

constexpr uint64_t kDefaultMaxIterations = 50000;
constexpr double kDefaultTolerance = 1e-3;

struct Names {
    PyObject* np = nullptr;
    PyObject* zeros = nullptr;
    PyObject* float64 = nullptr;
    PyObject* asarray = nullptr;
    PyObject* dtype = nullptr;
};
Names names;

// Reads node's row, checks every neighbour id, and keeps the entries whose
// neighbour is labelled (label and weight) in row order. Returns their
// number, or -1 with IndexError for an id outside 0 .. num_nodes-1. The
// labelled/unlabelled pattern of a row is too irregular to predict, so the
// entries are kept without branches; the label reads are independent, so
// their cache misses overlap. The caller's label memory may lie at any
// address, so labels are read with memcpy: a plain load where that is
// allowed at any alignment (x86-64 and AArch64), never a misaligned int32 access.
template <bool kUnitStride>
Py_ssize_t keep_labelled(Py_ssize_t node, const pyext::View1D<int64_t>& ids,
                         const pyext::View1D<float>& weights, const char* labels,
                         Py_ssize_t num_nodes, RowScratch& row) {
    const Py_ssize_t id_stride = kUnitStride ? Py_ssize_t{sizeof(int64_t)} : ids.stride;
    const Py_ssize_t weight_stride = kUnitStride ? Py_ssize_t{sizeof(float)} : weights.stride;
    int32_t* kept_labels = row.labels();
    float* kept_weights = row.weights();
    Py_ssize_t kept = 0;
    for (Py_ssize_t j = 0; j < ids.size; ++j) {
        int64_t neighbour;
        std::memcpy(&neighbour, ids.data + j * id_stride, sizeof(neighbour));
        if (!graph::is_node_id(neighbour, num_nodes)) {
            graph::raise_neighbour_out_of_range(node, neighbour, num_nodes);
            return -1;
        }
        int32_t label;
        std::memcpy(&label, labels + neighbour * static_cast<int64_t>(sizeof(int32_t)), sizeof(label));
        kept_labels[kept] = label;
        std::memcpy(&kept_weights[kept], weights.data + j * weight_stride, sizeof(float));
        kept += label != -1;
    }
    return kept;
}

// Containers usually hand out rows as views of one C-ordered table, row i
// at table row i (a k-nearest-neighbour table behind them). Then the row of
// the next node is likely where that layout puts it, and the labels of its
// neighbours can be requested while the container calls for that node run:
// at a million nodes they are scattered over more memory than the caches
// hold. Only ever used for cache hints: nothing read here decides anything.
class NextRowHint {
public:
    // Asks for the labels of the neighbours of `next`, read from where the
    // table behind `row` (node's row, which we hold) keeps its row.
    void hint_labels(const graph::NeighbourRow& row, Py_ssize_t node, Py_ssize_t next,
                     const char* labels, Py_ssize_t num_nodes) {
        const char* next_ids = guess_row(row, node, next);
        if (!next_ids) return;
        const Py_ssize_t length = row.view().size;
        for (Py_ssize_t j = 0; j < length; ++j) {
            int64_t id;
            std::memcpy(&id, next_ids + j * static_cast<Py_ssize_t>(sizeof(int64_t)), sizeof(id));
            // An id out of range asks for label 0 instead (no branch).
            const int64_t safe = graph::is_node_id(id, num_nodes) ? id : 0;
            pyext::cache_hint(labels + safe * static_cast<int64_t>(sizeof(int32_t)));
        }
    }

private:
    // The table row of `target` when it lies inside the memory of the
    // C-contiguous array that owns `row`, else null. The owner is checked
    // once and then held, so that the same address is the same owner.
    const char* guess_row(const graph::NeighbourRow& row, Py_ssize_t node, Py_ssize_t target) {
        const pyext::View1D<int64_t>& view = row.view();
        PyObject* object = row.object();
        if (!view.unit_stride() || !PyArray_Check(object)) return nullptr;
        PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(object));
        if (base != owner_.get()) {
            owner_ = Ref::borrow(base);
            owner_is_table_ = base && PyArray_Check(base);
        }
        if (!owner_is_table_) return nullptr;
        PyArrayObject* owner = reinterpret_cast<PyArrayObject*>(base);
        // Flags and size are read at every use: the owner may have been
        // reshaped or resized since.
        if (!PyArray_IS_C_CONTIGUOUS(owner)) return nullptr;
        const uintptr_t low = reinterpret_cast<uintptr_t>(PyArray_BYTES(owner));
        const uintptr_t high = low + static_cast<uintptr_t>(PyArray_NBYTES(owner));
        const uintptr_t row_bytes = static_cast<uintptr_t>(view.size) * sizeof(int64_t);
        const uintptr_t guess = reinterpret_cast<uintptr_t>(view.data) +
                                static_cast<uintptr_t>(target - node) * row_bytes;
        if (row_bytes == 0 || guess < low || guess > high || high - guess < row_bytes) return nullptr;
        return reinterpret_cast<const char*>(guess);
    }

    Ref owner_;
    bool owner_is_table_ = false;
};

// The score array's view, taken again after Python code may have run: a
// score array handed out by a replaced `np.zeros` may have been resized.
bool check_scores(pyext::ArrayRow<double>* scores, Py_ssize_t num_nodes) {
    if (!scores->reload()) return false;
    if (scores->view().size < num_nodes) {
        PyErr_Format(PyExc_ValueError, "score array has %zd entries for %zd nodes",
                     scores->view().size, num_nodes);
        return false;
    }
    return true;
}

// scores = np.zeros(num_nodes, dtype=np.float64), through the module's `np`.
bool make_scores(pyext::Call& call, Py_ssize_t num_nodes, pyext::ArrayRow<double>* scores) {
    Ref np = pyext::lookup_global(call.globals, names.np);
    if (!np) return false;
    Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), names.zeros));
    if (!zeros) return false;
    Ref float64 = Ref::steal(PyObject_GetAttr(np.get(), names.float64));
    if (!float64) return false;
    Ref count = Ref::steal(PyLong_FromSsize_t(num_nodes));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, names.dtype));
    if (!count || !kwnames) return false;
    PyObject* args[] = {count.get(), float64.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(zeros.get(), args, 1, kwnames.get()));
    if (!scores->load(std::move(result), pyext::kDouble, /*writable=*/true)) return false;
    return check_scores(scores, num_nodes);
}

// The work of one node, whichever way its row was read.
class NodeScorer {
public:
    explicit NodeScorer(const pyext::View1D<int32_t>& labels) : labels_(labels) {}

    // Scores unlabelled node i from its row and writes its best label and
    // score; false with an exception for a bad row.
    bool visit(Py_ssize_t i, const pyext::View1D<int64_t>& ids, const pyext::View1D<float>& weights,
               const pyext::View1D<double>& scores) {
        if (!graph::check_row_lengths(i, ids.size, weights.size)) return false;
        row_.reserve(static_cast<size_t>(ids.size));
        const Py_ssize_t kept =
            ids.unit_stride() && weights.unit_stride()
                ? keep_labelled<true>(i, ids, weights, labels_.data, labels_.size, row_)
                : keep_labelled<false>(i, ids, weights, labels_.data, labels_.size, row_);
        if (kept < 0) return false;
        score_kept(row_, kept, candidates_);

        int32_t best_label;
        double best_score;
        candidates_.best(&best_label, &best_score);
        const double diff = std::fabs(scores[i] - best_score);
        if (diff > max_diff_) max_diff_ = diff;
        scores.set(i, best_score);
        labels_.set(i, best_label);
        return true;
    }

    void start_sweep() { max_diff_ = 0.0; }
    double max_diff() const { return max_diff_; }

private:
    const pyext::View1D<int32_t>& labels_;
    ScoreMap candidates_;
    RowScratch row_;
    double max_diff_ = 0.0;
};

// GraphWrapper containers are read in place, with no call per node, when
// nothing could tell that from calling their to_numpy: both of the
// GraphWrapper type itself (no subclass), with nothing on the instance in
// place of the type's to_numpy, ids and weights, with a row for every node.
// Anything else is read through to_numpy, which also raises what is wrong
// with it.
struct InPlaceRows {
    graph::IdRows* ids = nullptr;
    graph::WeightRows* weights = nullptr;
};

// GraphWrapper, once its capsule has vouched for the layout this module reads.
PyTypeObject* graph_wrapper_type = nullptr;

constexpr const char* kGraphWrapperName = "velorn.algorithms.graph_wrapper.GraphWrapper";

// Whether `type` is GraphWrapper, built with the layout this module reads.
// A static type's attributes cannot be set from Python, and Python code
// cannot make a capsule, so the capsule naming the type itself settles it.
bool is_graph_wrapper(PyTypeObject* type) {
    if (type == graph_wrapper_type) return true;
    if (graph_wrapper_type || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        std::strcmp(type->tp_name, kGraphWrapperName) != 0)
        return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), graph::kRowsLayoutAttribute));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), graph::kRowsLayoutCapsule)) {
        PyErr_Clear();
        return false;
    }
    const auto* layout = static_cast<const graph::RowsLayout*>(PyCapsule_GetPointer(capsule.get(),
                                                                                   graph::kRowsLayoutCapsule));
    const graph::RowsLayout ours = graph::this_layout(type);
    if (!layout || layout->type != type || layout->object_size != ours.object_size ||
        layout->id_rows_size != ours.id_rows_size || layout->weight_rows_size != ours.weight_rows_size)
        return false;
    graph_wrapper_type = type;
    return true;
}

// Whether a GraphWrapper's to_numpy is the type's own: its instance dict,
// the only place anything could stand in for it, has no "to_numpy" key. A
// key that is not a plain str could equal that name through Python code,
// so a dict with one counts as standing in. Runs no Python code.
bool has_own_to_numpy(PyObject* container) {
    PyObject* dict = reinterpret_cast<graph::GraphObject*>(container)->dict;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (dict && PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_Compare(key, graph::method_names.to_numpy) == 0) return false;
    }
    return true;
}

// Sets `rows` when both containers can be read in place.
bool in_place_rows(PyObject* connections, PyObject* weights, Py_ssize_t num_nodes, InPlaceRows* rows) {
    if (!is_graph_wrapper(Py_TYPE(connections)) || Py_TYPE(weights) != Py_TYPE(connections)) return false;
    if (!has_own_to_numpy(connections) || !has_own_to_numpy(weights)) return false;
    graph::IdRows* ids = reinterpret_cast<graph::GraphObject*>(connections)->ids;
    graph::WeightRows* weight_rows = reinterpret_cast<graph::GraphObject*>(weights)->weights;
    if (!ids || !weight_rows || ids->num_rows < num_nodes || weight_rows->num_rows < num_nodes) return false;
    // What to_numpy's rows would be read as: native int64 and float32.
    if (!pyext::dtype_matches(ids->descr, graph::kNeighbourIds) ||
        !pyext::dtype_matches(weight_rows->descr, graph::kWeights))
        return false;
    *rows = {ids, weight_rows};
    return true;
}

// Row i of GraphWrapper rows as to_numpy gives it: a view of the base
// table, or, for a row with appended entries, the two joined in `merged`.
template <class T>
pyext::View1D<T> row_in_place(graph::Rows<T>& rows, Py_ssize_t i, std::vector<T>& merged) {
    if (!rows.appended_to(i)) return {const_cast<char*>(rows.row(i)), rows.cols, rows.col_stride};
    merged.resize(static_cast<size_t>(rows.length(i)));
    rows.copy_row(i, merged.data());
    return {reinterpret_cast<char*>(merged.data()), static_cast<Py_ssize_t>(merged.size()),
            static_cast<Py_ssize_t>(sizeof(T))};
}

// One sweep over GraphWrapper rows read in place. Runs no Python code, so
// nothing can change the rows while it reads them.
bool sweep_in_place(const InPlaceRows& rows, Py_ssize_t first, const pyext::View1D<int32_t>& labels,
                    const pyext::View1D<double>& scores, NodeScorer& scorer) {
    std::vector<int64_t> merged_ids;
    std::vector<float> merged_weights;
    const graph::IdRows& ids = *rows.ids;
    for (Py_ssize_t i = first; i < labels.size; ++i) {
        if (labels[i] != -1) continue;
        const pyext::View1D<int64_t> id_row = row_in_place(*rows.ids, i, merged_ids);
        const pyext::View1D<float> weight_row = row_in_place(*rows.weights, i, merged_weights);
        if (!scorer.visit(i, id_row, weight_row, scores)) return false;
        // The labels the next row asks for, scattered over memory, are
        // requested ahead.
        if (i + 1 < labels.size) {
            const char* next = ids.row(i + 1);
            for (Py_ssize_t j = 0; j < ids.cols; ++j) {
                int64_t id;
                std::memcpy(&id, next + j * ids.col_stride, sizeof(id));
                const int64_t safe = graph::is_node_id(id, labels.size) ? id : 0;
                pyext::cache_hint(labels.data + safe * static_cast<int64_t>(sizeof(int32_t)));
            }
        }
    }
    return true;
}

// Sweeps the unlabelled nodes in ascending order until the largest change of
// a node's best score in a sweep falls below `tolerance` or `max_iterations`
// sweeps have run. Labels are written into `labels` as soon as they are chosen.
bool propagate(pyext::Call& call, PyObject* connections, PyObject* weights,
               const pyext::View1D<int32_t>& labels, uint64_t max_iterations, double tolerance) {
    const Py_ssize_t num_nodes = labels.size;
    pyext::ArrayRow<double> scores_row;
    if (!make_scores(call, num_nodes, &scores_row)) return false;

    graph::NeighbourRow ids_row;
    graph::WeightRow weights_row;
    NodeScorer scorer(labels);
    NextRowHint hint;
    for (uint64_t sweep = 0; sweep < max_iterations; ++sweep) {
        // A sweep without unlabelled nodes runs no Python code, so nothing
        // else would see a Ctrl-C during a long run of them (a sweep limit of
        // 2**64 - 1 with a tolerance of 0).
        if (PyErr_CheckSignals() < 0) return false;
        scorer.start_sweep();
        Py_ssize_t first = 0;
        while (first < num_nodes && labels[first] != -1) ++first;
        InPlaceRows in_place;
        if (first < num_nodes && in_place_rows(connections, weights, num_nodes, &in_place)) {
            if (!check_scores(&scores_row, num_nodes)) return false;
            if (!sweep_in_place(in_place, first, labels, scores_row.view(), scorer)) return false;
            if (scorer.max_diff() < tolerance) break;
            continue;
        }
        for (Py_ssize_t i = first; i < num_nodes; ++i) {
            if (labels[i] != -1) continue;

            Ref node = Ref::steal(PyLong_FromSsize_t(i));
            if (!node) return false;
            if (!ids_row.load(graph::to_numpy(connections, node.get()), graph::kNeighbourIds))
                return false;
            if (!weights_row.load(graph::to_numpy(weights, node.get()), graph::kWeights))
                return false;
            // The second call may have run code that changed the first row.
            if (!ids_row.reload() || !check_scores(&scores_row, num_nodes)) return false;
            if (!scorer.visit(i, ids_row.view(), weights_row.view(), scores_row.view())) return false;
            // Last in the node's work: taking a new owner table releases the
            // old one, which may run Python code.
            hint.hint_labels(ids_row, i, i + 1, labels.data, num_nodes);
        }
        if (scorer.max_diff() < tolerance) break;
    }
    return true;
}

// np.asarray over the label memory that was written: the held buffer is
// handed over to an object that exports it and keeps it held while the
// array lives. Asking the caller's object again could give other memory.
PyObject* label_result(pyext::Call& call, pyext::Buffer& labels_buffer) {
    Ref np = pyext::lookup_global(call.globals, names.np);
    if (!np) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), names.asarray));
    if (!asarray) return nullptr;
    Ref wrapped = labels_buffer.held() ? labels_buffer.hand_over() : Ref::borrow(Py_None);
    if (!wrapped) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(asarray.get(), wrapped.get()));
    if (!result) return nullptr;
    if (result.get() != Py_None && !pyext::is_ndarray(result.get())) {
        pyext::raise_cannot_convert(result.get());
        return nullptr;
    }
    return result.release();
}

PyObject* weighted_label_propagation(pyext::Call& call, PyObject* const* args) {
    PyObject* connections = args[0];
    PyObject* weights = args[1];
    PyObject* initial_labels = args[2];

    pyext::Buffer labels_buffer;
    pyext::View1D<int32_t> labels;
    if (initial_labels != Py_None) {
        if (!labels_buffer.acquire(initial_labels, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS, 1,
                                   pyext::kInt, /*c_contiguous=*/true))
            return nullptr;
        labels = labels_buffer.view1d<int32_t>();
    }
    uint64_t max_iterations = kDefaultMaxIterations;
    if (args[3] && !pyext::to_size_t(args[3], &max_iterations)) return nullptr;
    double tolerance = kDefaultTolerance;
    if (args[4] && !pyext::to_double(args[4], &tolerance)) return nullptr;

    if (!propagate(call, connections, weights, labels, max_iterations, tolerance)) return nullptr;
    return label_result(call, labels_buffer);
}

const char* const kParams[] = {"connections", "weights", "initial_labels", "max_iterations",
                               "tolerance"};

const pyext::FunctionSpec kFunction = {
    "weighted_label_propagation", kModuleName, kDoc,
    "velorn/algorithms/src/tolmar/source/tolmar_lp.cpp", __LINE__,
    kParams, 5, 3, weighted_label_propagation,
};

int prepare(PyObject*) {
    names.np = pyext::intern("np");
    names.zeros = pyext::intern("zeros");
    names.float64 = pyext::intern("float64");
    names.asarray = pyext::intern("asarray");
    names.dtype = pyext::intern("dtype");
    if (!names.np || !names.zeros || !names.float64 || !names.asarray || !names.dtype) return -1;
    if (pyext::ready_held_exports("velorn.algorithms.src.tolmar.binaries.tolmar_lp.held_buffer") < 0) return -1;
    return graph::intern_method_names();
}

PyObject* make_defaults() {
    return Py_BuildValue("(Kd)", static_cast<unsigned long long>(kDefaultMaxIterations), kDefaultTolerance);
}

const pyext::ModuleSpec kModule = {"tolmar_lp", kModuleName,
                                   "velorn/algorithms/src/tolmar/source/tolmar_lp.cpp", &kFunction,
                                   prepare, make_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_lp() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
