// tolmar_knn: turns a k-nearest-neighbour table into the tables that
// weighted_label_propagation sweeps, in one pass over the table: each row
// without its own sample and cut to its nearest entries, the rows renumbered
// so that the labelled samples come first, then those with a labelled
// neighbour, then the rest (the sweeps visit samples in numbering order, so
// labels then spread outwards from the labelled samples), ids as int64 and
// distances as float32, as GraphWrapper keeps them. Done in NumPy the same
// takes several passes and temporaries of the table's size; at a million
// samples that was most of the time after the neighbour search.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.tolmar_knn";

constexpr const char* kDoc =
    "ordered_knn_table(ids, distances, labels, width) -> (order, ordered_ids, ordered_distances)\n"
    "\n"
    "    The k-nearest-neighbour table (ids, distances: 2-D arrays of one shape,\n"
    "    ids int32 or int64, distances float32 or float64) as weighted label\n"
    "    propagation sweeps it. Each row is taken nearest first (a row out of\n"
    "    order is sorted, stably), without the first entry that is the row's own\n"
    "    sample, cut to `width` entries. Rows are ordered labelled samples first\n"
    "    (labels: int32, -1 for unlabelled), then unlabelled ones with a labelled\n"
    "    neighbour, then the rest, each group in sample order. Returns `order`\n"
    "    (int64: the sample of each new row), the rows' ids in the new numbering\n"
    "    (int64) and their distances (float32).\n";

enum Group : uint8_t { kLabelled, kNearLabelled, kFar };

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

    T at(Py_ssize_t i, Py_ssize_t j) const {
        T v;
        const Py_ssize_t step = kUnitColumns ? Py_ssize_t{sizeof(T)} : col_stride;
        std::memcpy(&v, data + i * row_stride + j * step, sizeof(T));
        return v;
    }
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

// The entries of a row that the tables keep, nearest first. Rows from a
// neighbour search are sorted and start with their own sample (or lack it),
// so the kept entries are `width` neighbouring columns; other rows are
// sorted here, stably, so that equal distances keep their columns' order.
template <class IdTable, class DistTable>
class RowPicker {
public:
    RowPicker(const IdTable& ids, const DistTable& distances, Py_ssize_t width)
        : ids_(ids), distances_(distances), width_(width), columns_(static_cast<size_t>(ids.cols)) {}

    // Picks row i's `width` kept entries; false with an error set when the
    // row has too few or an id outside 0 .. n-1.
    bool pick(Py_ssize_t i) {
        const Py_ssize_t cols = ids_.cols;
        bool unsorted = false;
        for (Py_ssize_t j = 1; j < cols; ++j) unsorted |= distances_.at(i, j) < distances_.at(i, j - 1);
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
        if (first_ < 0 && !pick_in_general(i, unsorted)) return false;
        for (Py_ssize_t k = 0; k < width_; ++k) {
            const int64_t id = this->id(i, k);
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(ids_.rows)) {
                return out_of_range(i, id, ids_.rows);
            }
        }
        return true;
    }

    // The first kept column when the kept entries lie side by side, else -1.
    Py_ssize_t first() const { return first_; }
    // The k-th kept entry of row i, after pick(i).
    Py_ssize_t column(Py_ssize_t k) const { return first_ >= 0 ? first_ + k : columns_[static_cast<size_t>(k)]; }
    int64_t id(Py_ssize_t i, Py_ssize_t k) const { return static_cast<int64_t>(ids_.at(i, column(k))); }

private:
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

// The number of each sample in the new order: int32 while the samples allow,
// which halves the memory that the renumbering reads at random.
template <class IdTable, class DistTable, class Number>
bool fill_tables(const IdTable& ids, const DistTable& distances, const pyext::View1D<int32_t>& labels,
                 Py_ssize_t width, int64_t* order, int64_t* out_ids, float* out_distances) {
    const Py_ssize_t n = ids.rows;
    RowPicker<IdTable, DistTable> picker(ids, distances, width);
    const LabelledBits labelled(labels);
    std::vector<uint8_t> group(static_cast<size_t>(n));
    // Each row's first kept column when they lie side by side (-1: picked
    // again in full), so that the second pass need not look at it again.
    std::vector<int8_t> first_kept(static_cast<size_t>(n));
    Py_ssize_t counts[3] = {0, 0, 0};
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!picker.pick(i)) return false;
        first_kept[static_cast<size_t>(i)] = static_cast<int8_t>(picker.first());
        Group g = kFar;
        if (labelled[i]) {
            g = kLabelled;
        } else {
            bool near = false;
            for (Py_ssize_t k = 0; k < width; ++k) near |= labelled[picker.id(i, k)];
            if (near) g = kNearLabelled;
        }
        group[static_cast<size_t>(i)] = g;
        ++counts[g];
    }
    Py_ssize_t next[3] = {0, counts[kLabelled], counts[kLabelled] + counts[kNearLabelled]};
    std::vector<Number> number(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t position = next[group[static_cast<size_t>(i)]]++;
        order[position] = i;
        number[static_cast<size_t>(i)] = static_cast<Number>(position);
    }
    // Rows are read in sample order and written where they go: scattered
    // writes do not hold the loop up as scattered reads would.
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t position = static_cast<Py_ssize_t>(number[static_cast<size_t>(i)]);
        int64_t* id_row = out_ids + position * width;
        float* distance_row = out_distances + position * width;
        const Py_ssize_t first = first_kept[static_cast<size_t>(i)];
        if (first < 0 && !picker.pick(i)) return false;
        for (Py_ssize_t k = 0; k < width; ++k) {
            const Py_ssize_t column = first >= 0 ? first + k : picker.column(k);
            // Checked again: the table is the caller's memory, which another
            // thread may write to while this one runs.
            const int64_t id = static_cast<int64_t>(ids.at(i, column));
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(n)) {
                return out_of_range(i, id, n);
            }
            id_row[k] = number[static_cast<size_t>(id)];
            distance_row[k] = static_cast<float>(distances.at(i, column));
        }
    }
    return true;
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

// The fill for the tables' element types and layouts: common row layouts
// read with the column step fixed at compile time.
template <class Id, class Dist>
bool fill_typed(PyArrayObject* ids, PyArrayObject* distances, const pyext::View1D<int32_t>& labels,
                Py_ssize_t width, int64_t* order, int64_t* out_ids, float* out_distances) {
    if (unit_columns<Id>(ids) && unit_columns<Dist>(distances)) {
        if (PyArray_DIM(ids, 0) <= INT32_MAX)
            return fill_tables<Table<Id, true>, Table<Dist, true>, int32_t>(
                table_of<Id, true>(ids), table_of<Dist, true>(distances), labels, width, order, out_ids,
                out_distances);
        return fill_tables<Table<Id, true>, Table<Dist, true>, int64_t>(
            table_of<Id, true>(ids), table_of<Dist, true>(distances), labels, width, order, out_ids, out_distances);
    }
    return fill_tables<Table<Id, false>, Table<Dist, false>, int64_t>(
        table_of<Id, false>(ids), table_of<Dist, false>(distances), labels, width, order, out_ids, out_distances);
}

template <class Id>
bool fill_for_ids(PyArrayObject* ids, PyArrayObject* distances, const pyext::View1D<int32_t>& labels,
                  Py_ssize_t width, int64_t* order, int64_t* out_ids, float* out_distances) {
    if (PyArray_TYPE(distances) == NPY_FLOAT32)
        return fill_typed<Id, float>(ids, distances, labels, width, order, out_ids, out_distances);
    return fill_typed<Id, double>(ids, distances, labels, width, order, out_ids, out_distances);
}

PyObject* ordered_knn_table(pyext::Call&, PyObject* const* args) {
    PyArrayObject* ids = table_argument(args[0], "ids", NPY_INT32, NPY_INT64);
    if (!ids) return nullptr;
    PyArrayObject* distances = table_argument(args[1], "distances", NPY_FLOAT32, NPY_FLOAT64);
    if (!distances) return nullptr;
    if (!pyext::is_ndarray(args[2]) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(args[2])) != 1 ||
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(args[2])) != NPY_INT32 ||
        !PyArray_ISNBO(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(args[2]))->byteorder)) {
        PyErr_SetString(PyExc_TypeError, "labels must be a 1-D int32 ndarray");
        return nullptr;
    }
    PyArrayObject* labels = reinterpret_cast<PyArrayObject*>(args[2]);
    uint64_t width = 0;
    if (!pyext::to_size_t(args[3], &width)) return nullptr;

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
    // The results are made before any input is read: making an object may
    // run Python code (a collection), which could change an input.
    npy_intp order_shape[1] = {n};
    npy_intp table_shape[2] = {n, static_cast<npy_intp>(width)};
    Ref order = Ref::steal(PyArray_SimpleNew(1, order_shape, NPY_INT64));
    if (!order) return nullptr;
    Ref out_ids = Ref::steal(PyArray_SimpleNew(2, table_shape, NPY_INT64));
    if (!out_ids) return nullptr;
    Ref out_distances = Ref::steal(PyArray_SimpleNew(2, table_shape, NPY_FLOAT32));
    if (!out_distances) return nullptr;

    const pyext::View1D<int32_t> label_view{static_cast<char*>(PyArray_DATA(labels)), n, PyArray_STRIDE(labels, 0)};
    auto* order_data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(order.get())));
    auto* id_data = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_ids.get())));
    auto* distance_data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out_distances.get())));
    const Py_ssize_t w = static_cast<Py_ssize_t>(width);
    const bool done = PyArray_TYPE(ids) == NPY_INT32
                          ? fill_for_ids<int32_t>(ids, distances, label_view, w, order_data, id_data, distance_data)
                          : fill_for_ids<int64_t>(ids, distances, label_view, w, order_data, id_data, distance_data);
    if (!done) return nullptr;
    return PyTuple_Pack(3, order.get(), out_ids.get(), out_distances.get());
}

const char* const kParams[] = {"ids", "distances", "labels", "width"};

const pyext::FunctionSpec kFunction = {
    "ordered_knn_table", kModuleName, kDoc,
    "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", __LINE__,
    kParams, 4, 4, ordered_knn_table,
};

int prepare(PyObject*) { return 0; }

const pyext::ModuleSpec kModule = {"tolmar_knn", kModuleName,
                                   "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_knn() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
