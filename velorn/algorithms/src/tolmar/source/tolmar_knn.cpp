// tolmar_knn: weighted label propagation straight over a k-nearest-neighbour
// table as a search gives it. Each row is taken without its own sample and
// cut to its nearest entries; the sweeps visit the unlabelled samples with a
// labelled neighbour first, then the rest, each group in sample order (a
// label given is final, so labels then spread outwards from the labelled
// samples), and score each sample as weighted_label_propagation does. That
// is what weighted_label_propagation gives over the table renumbered in that
// order, without writing the renumbered table: after the neighbour search,
// reading and writing tables was most of the time.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"
#include "label_scores.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.tolmar_knn";

constexpr const char* kDoc =
    "propagate_knn_table(ids, distances, labels, width, max_iterations, tolerance) -> (sweeps, valid)\n"
    "\n"
    "    Weighted label propagation over a k-nearest-neighbour table (ids,\n"
    "    distances: 2-D arrays of one shape, ids int32 or int64, distances float32\n"
    "    or float64) into `labels` (a writable 1-D int32 ndarray, -1 for\n"
    "    unlabelled), which is written once all sweeps are done. Each row is taken\n"
    "    nearest first (a row out of order is sorted, stably), without the first\n"
    "    entry that is the row's own sample, cut to `width` entries, its distances\n"
    "    as float32. The sweeps visit the unlabelled samples with a labelled\n"
    "    neighbour first, then the rest, each group in sample order, and stop as\n"
    "    weighted_label_propagation's do, after `max_iterations` sweeps or the\n"
    "    first in which no best score changed by `tolerance`: the labels are those\n"
    "    it gives over the table renumbered in that order. Returns the number of\n"
    "    sweeps run, and whether every distance of the table is finite and not\n"
    "    negative (the sweeps run either way).\n";

[[gnu::cold]] bool out_of_range(Py_ssize_t sample, int64_t id, Py_ssize_t num_samples) {
    PyErr_Format(PyExc_IndexError, "sample %zd has neighbour id %lld outside 0 .. %zd", sample,
                 static_cast<long long>(id), num_samples - 1);
    return false;
}

// A 2-D ndarray of T read by index, at any stride and alignment; with
// kUnitColumns the entries of a row are known to lie side by side, which
// lets the compiler keep the row in registers.
template <class T, bool kUnitColumns>
struct Table {
    const char* data;
    Py_ssize_t rows, cols, row_stride, col_stride;

    const char* row(Py_ssize_t i) const { return data + i * row_stride; }
    T in_row(const char* row, Py_ssize_t j) const {
        T v;
        const Py_ssize_t step = kUnitColumns ? Py_ssize_t{sizeof(T)} : col_stride;
        std::memcpy(&v, row + j * step, sizeof(T));
        return v;
    }
    T at(Py_ssize_t i, Py_ssize_t j) const { return in_row(row(i), j); }
};

template <class T, bool kUnitColumns>
Table<T, kUnitColumns> table_of(PyArrayObject* a) {
    return {static_cast<const char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_DIM(a, 1),
            PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}

template <class T>
bool unit_columns(PyArrayObject* a) {
    return PyArray_DIM(a, 1) <= 1 || PyArray_STRIDE(a, 1) == static_cast<npy_intp>(sizeof(T));
}

// The entries of a row that the sweeps read, nearest first. Rows from a
// neighbour search are sorted and start with their own sample (or lack it),
// so the kept entries are `width` neighbouring columns; other rows are
// sorted here, stably, so that equal distances keep their columns' order.
template <class IdTable, class DistTable>
class RowPicker {
public:
    RowPicker(const IdTable& ids, const DistTable& distances, Py_ssize_t width)
        : ids_(ids), distances_(distances), width_(width), columns_(static_cast<size_t>(ids.cols)) {}

    // Picks row i's `width` kept entries; false with an error set when the
    // row has too few. Their ids are checked where they are read.
    bool pick(Py_ssize_t i) {
        const Py_ssize_t cols = ids_.cols;
        // A NaN counts as out of order, so that a row in order holds none,
        // and is finite and not negative when its ends are.
        bool unsorted = false;
        for (Py_ssize_t j = 1; j < cols; ++j) unsorted |= !(distances_.at(i, j) >= distances_.at(i, j - 1));
        if (unsorted) {
            for (Py_ssize_t j = 0; j < cols; ++j) valid_ &= valid_distance(distances_.at(i, j));
        } else if (cols > 0) {
            valid_ &= valid_distance(distances_.at(i, 0)) && valid_distance(distances_.at(i, cols - 1));
        }
        first_ = -1;
        if (!unsorted) {
            if (cols > 0 && ids_.at(i, 0) == i) {
                first_ = 1;
            } else {
                bool self_kept = false;
                for (Py_ssize_t j = 0; j < width_; ++j) self_kept |= ids_.at(i, j) == i;
                if (!self_kept) first_ = 0;
            }
        }
        if (first_ >= 0 && first_ + width_ > cols) return too_few(i, cols - first_);
        return first_ >= 0 || pick_in_general(i, unsorted);
    }

    // The first kept column when the kept entries lie side by side, else -1.
    Py_ssize_t first() const { return first_; }
    // Whether every distance of the rows picked so far is finite and not negative.
    bool valid() const { return valid_; }
    // The k-th kept entry of row i, after pick(i).
    Py_ssize_t column(Py_ssize_t k) const { return first_ >= 0 ? first_ + k : columns_[static_cast<size_t>(k)]; }

private:
    template <class T>
    static bool valid_distance(T distance) {
        return distance >= 0 && distance <= std::numeric_limits<T>::max();  // NaN fails both
    }

    bool pick_in_general(Py_ssize_t i, bool unsorted) {
        const Py_ssize_t cols = ids_.cols;
        for (Py_ssize_t j = 0; j < cols; ++j) columns_[static_cast<size_t>(j)] = j;
        if (unsorted)
            std::stable_sort(columns_.begin(), columns_.end(), [&](Py_ssize_t a, Py_ssize_t b) {
                return distances_.at(i, a) < distances_.at(i, b);
            });
        Py_ssize_t kept = 0;
        bool self_dropped = false;
        for (Py_ssize_t j = 0; j < cols && kept < width_; ++j) {
            const Py_ssize_t column = columns_[static_cast<size_t>(j)];
            if (!self_dropped && ids_.at(i, column) == i) {
                self_dropped = true;
                continue;
            }
            columns_[static_cast<size_t>(kept++)] = column;
        }
        return kept == width_ || too_few(i, kept);
    }

    bool too_few(Py_ssize_t i, Py_ssize_t kept) const {
        PyErr_Format(PyExc_ValueError, "sample %zd has %zd neighbours besides itself, expected %zd", i, kept,
                     width_);
        return false;
    }

    const IdTable& ids_;
    const DistTable& distances_;
    Py_ssize_t width_;
    Py_ssize_t first_ = -1;  // the first kept column when they lie side by side, else -1
    bool valid_ = true;
    std::vector<Py_ssize_t> columns_;
};

// One bit per sample, set for the labelled ones: the labels of a row's
// neighbours are looked up at random, and at a million samples the bits fit
// in the caches where the int32 labels do not.
class LabelledBits {
public:
    explicit LabelledBits(const pyext::View1D<int32_t>& labels) : words_((static_cast<size_t>(labels.size) + 63) / 64) {
        for (Py_ssize_t i = 0; i < labels.size; ++i)
            words_[static_cast<size_t>(i) / 64] |= uint64_t{labels[i] != -1} << (i % 64);
    }
    bool operator[](int64_t i) const { return (words_[static_cast<size_t>(i) / 64] >> (i % 64)) & 1; }

private:
    std::vector<uint64_t> words_;
};

// The labels the sweeps read at random, one per sample: a byte each while
// the labels allow (-1 and 0 .. 254), so that at a million samples they
// stay in the caches, else the int32 labels themselves.
template <class Code>
struct LabelCodes;

template <>
struct LabelCodes<uint8_t> {
    static constexpr uint8_t kNone = 255;
    static bool fits(int32_t label) { return label >= -1 && label < kNone; }
    static uint8_t encode(int32_t label) { return label == -1 ? kNone : static_cast<uint8_t>(label); }
    static int32_t decode(uint8_t code) { return code == kNone ? -1 : code; }
};

template <>
struct LabelCodes<int32_t> {
    static constexpr int32_t kNone = -1;
    static int32_t encode(int32_t label) { return label; }
    static int32_t decode(int32_t code) { return code; }
};

// A sample still unlabelled after a sweep, with the best score it had then:
// the labelled ones are not visited again, so only these need theirs.
struct Pending {
    Py_ssize_t i;
    double score;
};

// What a call gives back: the sweeps run, and whether the table's distances
// were all finite and not negative. The caller checks the distances only when
// they were not, instead of reading the table once more beforehand.
struct Outcome {
    uint64_t sweeps = 0;
    bool valid = true;
};

// The sweeps over the table, on a copy of the labels that is written back
// once they are done, so that a failure leaves the caller's labels as they
// were.
template <class IdTable, class DistTable, class Code>
class TableSweeps {
    using Codes = LabelCodes<Code>;

public:
    TableSweeps(const IdTable& ids, const DistTable& distances, const pyext::View1D<int32_t>& labels,
                Py_ssize_t width)
        : ids_(ids), distances_(distances), width_(width), picker_(ids, distances, width),
          labelled_(labels), codes_(static_cast<size_t>(ids.rows)), first_kept_(static_cast<size_t>(ids.rows)) {
        for (Py_ssize_t i = 0; i < ids.rows; ++i) codes_[static_cast<size_t>(i)] = Codes::encode(labels[i]);
        row_.reserve(static_cast<size_t>(width));
    }

    // Sweeps until the largest change of a sample's best score in a sweep
    // falls below `tolerance` or `max_iterations` sweeps have run; false with
    // an exception for a bad row or a signal.
    bool run(uint64_t max_iterations, double tolerance, Outcome* outcome) {
        uint64_t& sweeps = outcome->sweeps;
        sweeps = 0;
        std::vector<Pending> pending;
        const bool sweep = max_iterations > 0 && width_ > 0;  // without neighbours nothing spreads
        if (!first_sweep(sweep, &pending)) return false;
        // The first pass picked every row, so read every distance.
        outcome->valid = picker_.valid();
        if (!sweep) return true;
        sweeps = 1;
        // A sweep that visits nobody, or changes nothing, is what every later
        // one would be: stopping there gives the same labels.
        while (sweeps < max_iterations && !(max_diff_ < tolerance) && changed_ && !pending.empty()) {
            if (PyErr_CheckSignals() < 0) return false;
            start_sweep();
            size_t still = 0;
            for (size_t j = 0; j < pending.size(); ++j) {
                Pending& sample = pending[j];
                if (j + kAhead < pending.size()) fetch_row(pending[j + kAhead].i);
                if (!visit(sample.i, /*picked=*/false, &sample.score)) return false;
                if (code(sample.i) == Codes::kNone) pending[still++] = sample;
            }
            pending.resize(still);
            ++sweeps;
        }
        return true;
    }

    // The rows of later sweeps lie apart, where the hardware does not fetch
    // ahead on its own.
    static constexpr size_t kAhead = 8;
    void fetch_row(Py_ssize_t i) const {
        __builtin_prefetch(ids_.row(i));
        __builtin_prefetch(distances_.row(i));
        __builtin_prefetch(distances_.row(i) + 64);
    }

    void write_labels(const pyext::View1D<int32_t>& labels) const {
        for (Py_ssize_t i = 0; i < labels.size; ++i) labels.set(i, Codes::decode(code(i)));
    }

private:
    // Picks and checks every row, and runs the first sweep when `sweep`:
    // the samples with a labelled neighbour as the pass reaches them (the
    // rest are all still unlabelled then, as they come later), then the
    // rest. `pending` gets the samples left unlabelled, in visiting order.
    bool first_sweep(bool sweep, std::vector<Pending>* pending) {
        start_sweep();
        std::vector<Py_ssize_t> far;
        for (Py_ssize_t i = 0; i < ids_.rows; ++i) {
            if (!picker_.pick(i)) return false;
            const Py_ssize_t first = picker_.first();
            first_kept_[static_cast<size_t>(i)] = static_cast<int8_t>(first);
            // Every row's ids are checked here, the labelled samples' too.
            const int near = first >= 0 ? labelled_neighbours(i, [first](Py_ssize_t k) { return first + k; })
                                        : labelled_neighbours(i, [this](Py_ssize_t k) { return picker_.column(k); });
            if (near < 0) return false;
            if (labelled_[i]) continue;
            if (!near) {
                far.push_back(i);
            } else if (sweep) {
                double score = 0.0;
                if (!visit(i, /*picked=*/true, &score)) return false;
                if (code(i) == Codes::kNone) pending->push_back({i, score});
            }
        }
        if (!sweep) return true;
        for (const Py_ssize_t i : far) {
            double score = 0.0;
            if (!visit(i, /*picked=*/false, &score)) return false;
            if (code(i) == Codes::kNone) pending->push_back({i, score});
        }
        return true;
    }

    // Whether row i (in columns column(0 .. width-1)) holds a sample that was
    // labelled before the sweeps: 1 or 0, or -1 with IndexError for an id
    // outside the table.
    template <class Column>
    int labelled_neighbours(Py_ssize_t i, Column column) const {
        const char* id_row = ids_.row(i);
        bool near = false;
        for (Py_ssize_t k = 0; k < width_; ++k) {
            const int64_t id = static_cast<int64_t>(ids_.in_row(id_row, column(k)));
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(ids_.rows)) {
                out_of_range(i, id, ids_.rows);
                return -1;
            }
            near |= labelled_[id];
        }
        return near;
    }

    void start_sweep() {
        max_diff_ = 0.0;
        changed_ = false;
    }

    // Keeps the entries of row i (in columns column(0 .. width-1)) whose
    // sample is labelled, label and weight, in row order; their number, or -1
    // with IndexError for an id outside the table.
    template <class Column>
    Py_ssize_t keep_labelled(Py_ssize_t i, Column column) {
        // Local copies, which the stores below cannot be taken to change.
        const IdTable ids = ids_;
        const DistTable distances = distances_;
        const char* id_row = ids.row(i);
        const char* distance_row = distances.row(i);
        const Code* codes = codes_.data();
        int32_t* kept_labels = row_.labels();
        float* kept_weights = row_.weights();
        Py_ssize_t kept = 0;
        for (Py_ssize_t k = 0; k < width_; ++k) {
            // Checked at every read: the table is the caller's memory, which
            // another thread may write to while this one runs.
            const int64_t id = static_cast<int64_t>(ids.in_row(id_row, column(k)));
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(ids.rows)) {
                out_of_range(i, id, ids.rows);
                return -1;
            }
            // Stored as it is, without a branch on it: an unlabelled
            // entry's is overwritten by the next, and a labelled one's code
            // is its label.
            const Code neighbour = codes[id];
            kept_labels[kept] = static_cast<int32_t>(neighbour);
            kept_weights[kept] = static_cast<float>(distances.in_row(distance_row, column(k)));
            kept += neighbour != Codes::kNone;
        }
        return kept;
    }

    // Scores unlabelled sample i from its row's labelled entries and gives
    // it its best label and `score` (its score from the sweep before, 0 at
    // first), as weighted_label_propagation scores a node; false with an
    // exception for a bad row. `picked`: the picker holds row i already.
    bool visit(Py_ssize_t i, bool picked, double* score) {
        const Py_ssize_t first = first_kept_[static_cast<size_t>(i)];
        if (first < 0 && !picked && !picker_.pick(i)) return false;
        const Py_ssize_t kept = first >= 0 ? keep_labelled(i, [first](Py_ssize_t k) { return first + k; })
                                           : keep_labelled(i, [this](Py_ssize_t k) { return picker_.column(k); });
        if (kept < 0) return false;
        score_kept(row_, kept, candidates_);
        int32_t best_label;
        double best_score;
        candidates_.best(&best_label, &best_score);
        const double diff = std::fabs(*score - best_score);
        if (diff > max_diff_) max_diff_ = diff;
        changed_ |= best_label != -1 || *score != best_score;
        *score = best_score;
        codes_[static_cast<size_t>(i)] = Codes::encode(best_label);
        return true;
    }

    Code code(Py_ssize_t i) const { return codes_[static_cast<size_t>(i)]; }

    const IdTable& ids_;
    const DistTable& distances_;
    Py_ssize_t width_;
    RowPicker<IdTable, DistTable> picker_;
    const LabelledBits labelled_;  // the samples labelled before the sweeps
    std::vector<Code> codes_;
    // Each row's first kept column when they lie side by side, else -1 (picked again).
    std::vector<int8_t> first_kept_;
    RowScratch row_;
    ScoreMap candidates_;
    double max_diff_ = 0.0;
    bool changed_ = false;
};

template <class Code, class IdTable, class DistTable>
bool sweep_with(const IdTable& ids, const DistTable& distances, const pyext::View1D<int32_t>& labels,
                Py_ssize_t width, uint64_t max_iterations, double tolerance, Outcome* outcome) {
    TableSweeps<IdTable, DistTable, Code> table(ids, distances, labels, width);
    if (!table.run(max_iterations, tolerance, outcome)) return false;
    table.write_labels(labels);
    return true;
}

template <class IdTable, class DistTable>
bool sweep_table(const IdTable& ids, const DistTable& distances, const pyext::View1D<int32_t>& labels,
                 Py_ssize_t width, uint64_t max_iterations, double tolerance, Outcome* outcome) {
    bool bytes = true;
    for (Py_ssize_t i = 0; i < labels.size; ++i) bytes &= LabelCodes<uint8_t>::fits(labels[i]);
    return bytes ? sweep_with<uint8_t>(ids, distances, labels, width, max_iterations, tolerance, outcome)
                 : sweep_with<int32_t>(ids, distances, labels, width, max_iterations, tolerance, outcome);
}

// A 2-D ndarray of one of the `types` (NumPy type numbers), in native byte
// order; the error names `what`.
PyArrayObject* table_argument(PyObject* value, const char* what, int first_type, int second_type) {
    if (!pyext::is_ndarray(value) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) != 2) {
        PyErr_Format(PyExc_TypeError, "%s must be a 2-D ndarray", what);
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

// The sweeps for the tables' element types and layouts: rows whose entries
// lie side by side are read with the column step fixed at compile time.
template <class Id, class Dist>
bool sweep_typed(PyArrayObject* ids, PyArrayObject* distances, const pyext::View1D<int32_t>& labels,
                 Py_ssize_t width, uint64_t max_iterations, double tolerance, Outcome* outcome) {
    if (unit_columns<Id>(ids) && unit_columns<Dist>(distances))
        return sweep_table(table_of<Id, true>(ids), table_of<Dist, true>(distances), labels, width,
                           max_iterations, tolerance, outcome);
    return sweep_table(table_of<Id, false>(ids), table_of<Dist, false>(distances), labels, width,
                       max_iterations, tolerance, outcome);
}

template <class Id>
bool sweep_for_ids(PyArrayObject* ids, PyArrayObject* distances, const pyext::View1D<int32_t>& labels,
                   Py_ssize_t width, uint64_t max_iterations, double tolerance, Outcome* outcome) {
    if (PyArray_TYPE(distances) == NPY_FLOAT32)
        return sweep_typed<Id, float>(ids, distances, labels, width, max_iterations, tolerance, outcome);
    return sweep_typed<Id, double>(ids, distances, labels, width, max_iterations, tolerance, outcome);
}

PyObject* propagate_knn_table(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    uint64_t width = 0, max_iterations = 0;
    double tolerance = 0.0;
    if (!pyext::to_size_t(args[3], &width) || !pyext::to_size_t(args[4], &max_iterations) ||
        !pyext::to_double(args[5], &tolerance))
        return nullptr;
    PyArrayObject* ids = table_argument(args[0], "ids", NPY_INT32, NPY_INT64);
    if (!ids) return nullptr;
    PyArrayObject* distances = table_argument(args[1], "distances", NPY_FLOAT32, NPY_FLOAT64);
    if (!distances) return nullptr;
    PyArrayObject* labels = pyext::is_ndarray(args[2]) ? reinterpret_cast<PyArrayObject*>(args[2]) : nullptr;
    if (!labels || PyArray_NDIM(labels) != 1 || PyArray_TYPE(labels) != NPY_INT32 ||
        !PyArray_ISNBO(PyArray_DESCR(labels)->byteorder) || !PyArray_ISWRITEABLE(labels)) {
        PyErr_SetString(PyExc_TypeError, "labels must be a writable 1-D int32 ndarray");
        return nullptr;
    }
    const npy_intp n = PyArray_DIM(ids, 0);
    const npy_intp cols = PyArray_DIM(ids, 1);
    if (PyArray_DIM(distances, 0) != n || PyArray_DIM(distances, 1) != cols || PyArray_DIM(labels, 0) != n) {
        PyErr_SetString(PyExc_ValueError, "ids, distances and labels do not have the same number of samples "
                                          "and neighbours");
        return nullptr;
    }
    if (width > static_cast<uint64_t>(cols)) {
        PyErr_Format(PyExc_ValueError, "width %llu is more than the table's %zd columns",
                     static_cast<unsigned long long>(width), static_cast<Py_ssize_t>(cols));
        return nullptr;
    }
    const pyext::View1D<int32_t> label_view{static_cast<char*>(PyArray_DATA(labels)), n, PyArray_STRIDE(labels, 0)};
    const Py_ssize_t w = static_cast<Py_ssize_t>(width);
    Outcome outcome;
    const bool done =
        PyArray_TYPE(ids) == NPY_INT32
            ? sweep_for_ids<int32_t>(ids, distances, label_view, w, max_iterations, tolerance, &outcome)
            : sweep_for_ids<int64_t>(ids, distances, label_view, w, max_iterations, tolerance, &outcome);
    if (!done) return nullptr;
    return Py_BuildValue("(KN)", static_cast<unsigned long long>(outcome.sweeps), PyBool_FromLong(outcome.valid));
}

const char* const kParams[] = {"ids", "distances", "labels", "width", "max_iterations", "tolerance"};

const pyext::FunctionSpec kFunction = {
    "propagate_knn_table", kModuleName, kDoc,
    "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", __LINE__,
    kParams, 6, 6, propagate_knn_table,
};

int prepare(PyObject*) { return 0; }

const pyext::ModuleSpec kModule = {"tolmar_knn", kModuleName,
                                   "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_knn() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
