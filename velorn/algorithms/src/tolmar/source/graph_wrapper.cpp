// graph_wrapper: GraphWrapper, the per-node rows of a graph (int64 neighbour
// ids or float32 edge weights) that the graph kernels read with to_numpy and
// grow with contains / append.
//
// Most rows come straight from a k-nearest-neighbour table and never change,
// so the table is kept as one read-only array and such a row is handed out as
// a view of it. Appended entries live in small per-row vectors, created only
// for rows that get them; a row with appends is handed out as one merged
// array, built on demand and kept until the next append to that row.
//
// Handing out a fresh NumPy view per call would cost more than the kernels'
// own work per node, so a few view objects are kept and re-aimed at another
// row when nobody but the container holds them any more (reference count 1,
// unchanged since they were made). A row handed out is never changed while
// the caller holds it: views are re-aimed only when free, and a merged row is
// replaced, never rewritten.
//
// Every method converts its arguments first (which may run Python code that
// re-enters the container, even re-initialises it) and only then reads or
// changes the rows, without calling out again.
#include "ref.hpp"
#include "function.hpp"
#include "module.hpp"
#include "graph_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.graph_wrapper";
constexpr const char* kSourceFile = "velorn/algorithms/src/tolmar/source/graph_wrapper.cpp";

// Appended entries per row above which membership tests use a hash set.
constexpr size_t kLinearScanLimit = 32;

using graph::Table;
using graph::Appended;
using graph::Rows;
using graph::IdRows;
using graph::WeightRows;
using graph::GraphObject;
using graph::kViewSlots;

extern PyTypeObject GraphType;

GraphObject* as_graph(PyObject* o) { return reinterpret_cast<GraphObject*>(o); }

[[gnu::cold]] PyObject* raise_not_initialised() {
    PyErr_SetString(PyExc_RuntimeError, "GraphWrapper.__init__ was not called");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Argument conversion

// A row number, converted without checking its range: the range is checked
// against the row count after every argument has been converted.
struct RowNumber {
    Py_ssize_t value = -1;  // -1 also stands for any number out of Py_ssize_t's range
    PyObject* shown = nullptr;  // the caller's object, for messages
};

bool convert_row(PyObject* o, RowNumber* out) {
    out->shown = o;
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        out->value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        return true;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!PyLong_Check(o) && (!nb || !nb->nb_index)) {
        PyErr_Format(PyExc_IndexError, "row %R is not an integer", o);
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    out->value = overflow || v < 0 || v > PY_SSIZE_T_MAX ? -1 : static_cast<Py_ssize_t>(v);
    return true;
}

bool check_row(const RowNumber& row, Py_ssize_t num_rows) {
    if (row.value >= 0 && row.value < num_rows) return true;
    PyErr_Format(PyExc_IndexError, "row %S out of range for %zd rows", row.shown, num_rows);
    return false;
}

// A value to look for in a row: `possible` is false when it cannot equal any
// entry (not a number, not integral for an id row, beyond the type's range).
template <class T>
struct Lookup {
    T value{};
    bool possible = false;
};

bool lookup_double(PyObject* o, double* out, bool* possible) {
    *possible = false;
    if (PyFloat_Check(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        *possible = true;
        return true;
    }
    if (PyLong_Check(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            return true;
        }
        *out = d;
        *possible = true;
        return true;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb && nb->nb_index) {
        Ref index = Ref::steal(PyNumber_Index(o));
        return index && lookup_double(index.get(), out, possible);
    }
    if (nb && nb->nb_float) {
        Ref number = Ref::steal(PyNumber_Float(o));
        return number && lookup_double(number.get(), out, possible);
    }
    return true;
}

bool convert_lookup(PyObject* o, Lookup<int64_t>* out) {
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        out->value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        out->possible = true;
        return true;
    }
    out->possible = false;
    if (PyLong_Check(o) || (!PyFloat_Check(o) && Py_TYPE(o)->tp_as_number &&
                            Py_TYPE(o)->tp_as_number->nb_index)) {
        Ref index = Ref::steal(PyNumber_Index(o));
        if (!index) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        out->value = v;
        out->possible = overflow == 0;
        return true;
    }
    double d = 0.0;
    bool possible = false;
    if (!lookup_double(o, &d, &possible)) return false;
    // Only a whole number inside int64's range can equal an id.
    if (possible && d == std::trunc(d) && d >= -0x1p63 && d < 0x1p63) {
        out->value = static_cast<int64_t>(d);
        out->possible = true;
    }
    return true;
}

// d rounded to float32 as NumPy casts it: beyond float32's range, infinity
// (a plain conversion of such a value is undefined in C++).
float to_float32(double d) {
    constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // FLT_MAX plus half its last place
    if (d >= kRoundsToInfinity) return std::numeric_limits<float>::infinity();
    if (d <= -kRoundsToInfinity) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// Weights are compared in the rows' own precision: the value rounded to float32.
bool convert_lookup(PyObject* o, Lookup<float>* out) {
    double d = 0.0;
    if (!lookup_double(o, &d, &out->possible)) return false;
    out->value = to_float32(d);
    return true;
}

// A value to append: ids through __index__ (floats refused), weights as float() does.
struct Appendable {
    Ref object;
    int64_t id = -1;  // -1 also for ids beyond int64
    float weight = 0.0f;
};

bool convert_id(PyObject* o, Appendable* out) {
    out->object = Ref::steal(PyNumber_Index(o));
    if (!out->object) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(out->object.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    out->id = overflow ? -1 : v;
    return true;
}

bool convert_weight(PyObject* o, Appendable* out) {
    double d;
    if (PyFloat_Check(o)) {
        d = PyFloat_AS_DOUBLE(o);
    } else {
        Ref number = Ref::steal(PyNumber_Float(o));
        if (!number) return false;
        d = PyFloat_AS_DOUBLE(number.get());
    }
    out->weight = to_float32(d);
    return true;
}

// ---------------------------------------------------------------------------
// Building the rows

// The element type of a table: 1 for int64 ids, 2 for float32 weights, 0 for neither.
int table_kind(PyArray_Descr* d) {
    if (PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d) || !PyArray_ISNBO(d->byteorder)) return 0;
    if (d->kind == 'i' && PyDataType_ELSIZE(d) == 8) return 1;
    if (d->kind == 'f' && PyDataType_ELSIZE(d) == 4) return 2;
    return 0;
}

PyObject* new_row_view(const Table& t, Py_ssize_t i);

// Takes the table as the base rows of `t`: a read-only view of it, not a copy.
bool load_table(Table& t, PyArrayObject* table) {
    Ref base = Ref::steal(PyArray_View(table, nullptr, &PyArray_Type));
    if (!base) return false;
    PyArrayObject* view = reinterpret_cast<PyArrayObject*>(base.get());
    PyArray_CLEARFLAGS(view, NPY_ARRAY_WRITEABLE);
    t.descr = PyArray_DESCR(view);
    Py_INCREF(t.descr);
    t.data = PyArray_BYTES(view);
    t.num_rows = PyArray_DIM(view, 0);
    t.cols = PyArray_DIM(view, 1);
    t.row_stride = PyArray_STRIDE(view, 0);
    t.col_stride = PyArray_STRIDE(view, 1);
    t.base = std::move(base);
    // Row views can be re-aimed when every row lies alike: the flags of a
    // view then do not depend on the row.
    t.recycle_views = PyArray_ISALIGNED(view) && t.num_rows > 0;
    if (t.recycle_views) {
        Ref probe = Ref::steal(new_row_view(t, 0));
        if (!probe) return false;
        t.view_flags = PyArray_FLAGS(reinterpret_cast<PyArrayObject*>(probe.get()));
    }
    return true;
}

PyObject* new_row_view(const Table& t, Py_ssize_t i) {
    npy_intp dims[1] = {t.cols};
    npy_intp strides[1] = {t.col_stride};
    Py_INCREF(t.descr);
    PyObject* view = PyArray_NewFromDescr(&PyArray_Type, t.descr, 1, dims, strides,
                                          const_cast<char*>(t.row(i)), 0, nullptr);
    if (!view) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), Py_NewRef(t.base.get())) < 0) {
        Py_DECREF(view);
        return nullptr;
    }
    return view;
}

// Whether a view made by new_row_view is as it was made: no one has changed
// its shape, strides, type or flags, nor holds a weak reference to it.
bool is_untouched_view(const Table& t, PyObject* o) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == t.cols && PyArray_STRIDE(a, 0) == t.col_stride &&
           PyArray_DESCR(a) == t.descr && PyArray_FLAGS(a) == t.view_flags &&
           reinterpret_cast<PyArrayObject_fields*>(a)->weakreflist == nullptr;
}

// Row i of the table as a read-only view.
PyObject* base_row(Table& t, Py_ssize_t i) {
    if (!t.recycle_views) return new_row_view(t, i);
    for (PyObject*& view : t.views) {
        if (!view) {
            view = new_row_view(t, i);
            return Py_XNewRef(view);
        }
        if (Py_REFCNT(view) == 1) {
            if (!is_untouched_view(t, view)) {
                PyObject* fresh = new_row_view(t, i);
                if (!fresh) return nullptr;
                PyObject* old = view;
                view = Py_NewRef(fresh);
                // Last: releasing it may run Python code (a weak reference's
                // callback) that changes or replaces these rows.
                Py_DECREF(old);
                return fresh;
            }
            // Nobody else can see it: aim it at row i.
            reinterpret_cast<PyArrayObject_fields*>(view)->data = const_cast<char*>(t.row(i));
            return Py_NewRef(view);
        }
    }
    return new_row_view(t, i);
}

template <class T>
bool is_untouched_merged(const Rows<T>& rows, const Appended<T>& a, PyObject* o) {
    PyArrayObject* m = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_NDIM(m) == 1 && PyArray_DIM(m, 0) == rows.cols + static_cast<Py_ssize_t>(a.values.size()) &&
           PyArray_STRIDE(m, 0) == static_cast<Py_ssize_t>(sizeof(T)) && PyArray_DESCR(m) == rows.descr &&
           !PyArray_ISWRITEABLE(m);
}

// Row i with its appended entries, built once per change of the row.
template <class T>
PyObject* merged_row(Rows<T>& rows, Py_ssize_t i, Appended<T>& a) {
    if (a.merged && is_untouched_merged(rows, a, a.merged)) return Py_NewRef(a.merged);
    npy_intp length = rows.cols + static_cast<npy_intp>(a.values.size());
    Py_INCREF(rows.descr);
    PyObject* merged = PyArray_NewFromDescr(&PyArray_Type, rows.descr, 1, &length, nullptr, nullptr, 0, nullptr);
    if (!merged) return nullptr;
    PyArrayObject* m = reinterpret_cast<PyArrayObject*>(merged);
    T* out = static_cast<T*>(PyArray_DATA(m));
    for (Py_ssize_t j = 0; j < rows.cols; ++j) out[j] = rows.base_entry(i, j);
    if (!a.values.empty()) std::memcpy(out + rows.cols, a.values.data(), a.values.size() * sizeof(T));
    PyArray_CLEARFLAGS(m, NPY_ARRAY_WRITEABLE);
    PyObject* old = a.merged;
    a.merged = Py_NewRef(merged);
    // Last, as in base_row: nothing of the rows is read after it.
    Py_XDECREF(old);
    return merged;
}

template <class T>
PyObject* row_array(Rows<T>& rows, Py_ssize_t i) {
    Appended<T>* a = rows.appended_to(i);
    return a ? merged_row(rows, i, *a) : base_row(rows, i);
}

template <class T>
bool row_holds(Rows<T>& rows, Py_ssize_t i, T value) {
    const char* p = rows.row(i);
    if (rows.col_stride == static_cast<Py_ssize_t>(sizeof(T))) {
        for (Py_ssize_t j = 0; j < rows.cols; ++j) {
            T v;
            std::memcpy(&v, p + j * static_cast<Py_ssize_t>(sizeof(T)), sizeof(T));
            if (v == value) return true;
        }
    } else {
        for (Py_ssize_t j = 0; j < rows.cols; ++j)
            if (rows.base_entry(i, j) == value) return true;
    }
    Appended<T>* a = rows.appended_to(i);
    if (!a) return false;
    if (a->members) return a->members->count(value) != 0;
    for (T v : a->values)
        if (v == value) return true;
    return false;
}

// Adds value to row i. The row's merged array, if any, is handed to `dropped`
// to be released by the caller once the rows are consistent again.
template <class T>
bool append_entry(Rows<T>& rows, Py_ssize_t i, T value, Ref* dropped) {
    try {
        if (!rows.slot_of_row) {
            void* slots = std::calloc(static_cast<size_t>(rows.num_rows), sizeof(uint32_t));
            if (!slots) throw std::bad_alloc();
            rows.slot_of_row.reset(static_cast<uint32_t*>(slots));
        }
        if (rows.slot_of_row[i] == 0) {
            if (rows.appended.size() >= UINT32_MAX - 1) throw std::bad_alloc();
            rows.appended.emplace_back();
            rows.slot_of_row[i] = static_cast<uint32_t>(rows.appended.size());
        }
        Appended<T>& a = rows.appended[rows.slot_of_row[i] - 1];
        a.values.push_back(value);
        try {
            if (a.members) {
                a.members->insert(value);
            } else if (a.values.size() > kLinearScanLimit) {
                a.members = std::make_unique<std::unordered_set<T>>(a.values.begin(), a.values.end());
            }
        } catch (const std::bad_alloc&) {
            a.values.pop_back();
            throw;
        }
        *dropped = Ref::steal(a.merged);
        a.merged = nullptr;
        ++rows.num_appended;
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// ---------------------------------------------------------------------------
// Construction

PyObject* graph_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    GraphObject* g = as_graph(self);
    g->ids = nullptr;
    g->weights = nullptr;
    g->dict = nullptr;
    g->weakrefs = nullptr;
    return self;
}

// Replaces the rows of g; what they held is released after the swap, when
// the object is consistent again.
void replace_rows(GraphObject* g, IdRows* ids, WeightRows* weights) {
    std::unique_ptr<IdRows> old_ids(g->ids);
    std::unique_ptr<WeightRows> old_weights(g->weights);
    g->ids = ids;
    g->weights = weights;
}

int graph_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"base_table", nullptr};
    PyObject* table;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:GraphWrapper", const_cast<char**>(keywords), &table))
        return -1;
    if (!PyArray_Check(table)) {
        PyErr_Format(PyExc_TypeError, "expected a 2-D NumPy array, got %.200s", Py_TYPE(table)->tp_name);
        return -1;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(table);
    if (PyArray_NDIM(array) != 2) {
        PyErr_Format(PyExc_ValueError, "expected a 2-D table, got %d dimensions", PyArray_NDIM(array));
        return -1;
    }
    int kind = table_kind(PyArray_DESCR(array));
    if (kind == 0) {
        PyErr_Format(PyExc_TypeError, "expected an int64 or float32 table, got %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return -1;
    }
    try {
        if (kind == 1) {
            auto rows = std::make_unique<IdRows>();
            if (!load_table(*rows, array)) return -1;
            replace_rows(as_graph(self), rows.release(), nullptr);
        } else {
            auto rows = std::make_unique<WeightRows>();
            if (!load_table(*rows, array)) return -1;
            replace_rows(as_graph(self), nullptr, rows.release());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int graph_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_graph(self)->dict);
    return 0;
}

int graph_clear(PyObject* self) {
    Py_CLEAR(as_graph(self)->dict);
    return 0;
}

void graph_dealloc(PyObject* self) {
    GraphObject* g = as_graph(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(g->dict);
    replace_rows(g, nullptr, nullptr);
    Py_TYPE(self)->tp_free(self);
}

// cls(table) for a table converted with `flags`, typed by its kind.
PyObject* construct(PyObject* cls, PyObject* table) {
    return PyObject_CallOneArg(cls, table);
}

PyObject* graph_from_knn(PyObject* cls, PyObject* table) {
    Ref array = Ref::steal(PyArray_FROM_O(table));
    if (!array) return nullptr;
    PyArray_Descr* d = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()));
    int type_num;
    if (d->kind == 'i' || d->kind == 'u') {
        type_num = NPY_INT64;
    } else if (d->kind == 'f') {
        type_num = NPY_FLOAT32;
    } else {
        PyErr_Format(PyExc_TypeError, "expected an integer or floating-point table, got %S",
                     reinterpret_cast<PyObject*>(d));
        return nullptr;
    }
    // As np.ascontiguousarray(table, dtype): shared when it already fits.
    Ref contiguous = Ref::steal(PyArray_FromAny(array.get(), PyArray_DescrFromType(type_num), 0, 0,
                                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST,
                                                nullptr));
    if (!contiguous) return nullptr;
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(contiguous.get())) == 0) {
        Ref one = Ref::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject*>(contiguous.get()), NPY_CORDER));
        if (!one) return nullptr;
        contiguous = std::move(one);
    }
    return construct(cls, contiguous.get());
}

PyObject* graph_empty(PyObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"num_rows", "dtype", nullptr};
    PyObject* count;
    PyArray_Descr* descr = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO&:empty", const_cast<char**>(keywords), &count,
                                     PyArray_DescrConverter, &descr))
        return nullptr;
    Ref descr_ref = Ref::steal(reinterpret_cast<PyObject*>(descr));
    Py_ssize_t num_rows = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (num_rows == -1 && PyErr_Occurred()) return nullptr;
    if (num_rows < 0) {
        PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
        return nullptr;
    }
    npy_intp dims[2] = {num_rows, 0};
    Py_INCREF(descr);
    Ref table = Ref::steal(PyArray_Empty(2, dims, descr, 0));
    if (!table) return nullptr;
    return construct(cls, table.get());
}

// ---------------------------------------------------------------------------
// The methods the kernels call

PyObject* graph_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "to_numpy() takes exactly one argument (%zd given)", nargs);
        return nullptr;
    }
    RowNumber row;
    if (!convert_row(args[0], &row)) return nullptr;
    GraphObject* g = as_graph(self);
    if (g->ids) {
        if (!check_row(row, g->ids->num_rows)) return nullptr;
        return row_array(*g->ids, row.value);
    }
    if (g->weights) {
        if (!check_row(row, g->weights->num_rows)) return nullptr;
        return row_array(*g->weights, row.value);
    }
    return raise_not_initialised();
}

template <class T>
PyObject* contains_in(Rows<T>& rows, const RowNumber& row, const Lookup<T>& value) {
    if (!check_row(row, rows.num_rows)) return nullptr;
    return PyBool_FromLong(value.possible && row_holds(rows, row.value, value.value));
}

PyObject* graph_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "contains() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    RowNumber row;
    if (!convert_row(args[0], &row)) return nullptr;
    GraphObject* g = as_graph(self);
    // The conversions may run Python code: the rows are looked up after them.
    if (g->ids || !g->weights) {
        Lookup<int64_t> value;
        if (!convert_lookup(args[1], &value)) return nullptr;
        if (g->ids) return contains_in(*g->ids, row, value);
    } else {
        Lookup<float> value;
        if (!convert_lookup(args[1], &value)) return nullptr;
        if (g->weights) return contains_in(*g->weights, row, value);
    }
    // The value's conversion re-initialised the container to the other kind.
    if (g->ids || g->weights) {
        PyErr_SetString(PyExc_RuntimeError, "GraphWrapper re-initialised during contains()");
        return nullptr;
    }
    return raise_not_initialised();
}

PyObject* graph_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "append() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    RowNumber row;
    if (!convert_row(args[0], &row)) return nullptr;
    GraphObject* g = as_graph(self);
    Appendable value;
    if (g->ids) {
        if (!convert_id(args[1], &value)) return nullptr;
    } else if (g->weights) {
        if (!convert_weight(args[1], &value)) return nullptr;
    } else {
        return raise_not_initialised();
    }
    Ref dropped;
    if (g->ids && value.object) {
        IdRows& rows = *g->ids;
        if (!check_row(row, rows.num_rows)) return nullptr;
        if (value.id < 0 || value.id >= rows.num_rows) {
            PyErr_Format(PyExc_IndexError, "node id %S out of range for %zd rows", value.object.get(),
                         rows.num_rows);
            return nullptr;
        }
        if (!append_entry(rows, row.value, value.id, &dropped)) return nullptr;
    } else if (g->weights && !value.object) {
        WeightRows& rows = *g->weights;
        if (!check_row(row, rows.num_rows)) return nullptr;
        if (!append_entry(rows, row.value, value.weight, &dropped)) return nullptr;
    } else {
        PyErr_SetString(PyExc_RuntimeError, "GraphWrapper re-initialised during append()");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Whole-graph operations

template <class T>
Py_ssize_t entries_of(const Rows<T>& rows) {
    return rows.num_rows * rows.cols + rows.num_appended;
}

// A new owning 1-D array of `length` entries of `type_num`.
Ref new_vector(npy_intp length, int type_num) {
    return Ref::steal(PyArray_SimpleNew(1, &length, type_num));
}

// The appended entries, as (rows, lengths, values): the rows that have any,
// in the order they got their first, how many each, and all of them in turn.
template <class T>
Ref appended_state(Rows<T>& rows, int type_num) {
    const npy_intp count = static_cast<npy_intp>(rows.appended.size());
    Ref which = new_vector(count, NPY_INT64);
    Ref lengths = new_vector(count, NPY_INT64);
    Ref values = new_vector(rows.num_appended, type_num);
    if (!which || !lengths || !values) return {};
    int64_t* which_out = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(which.get())));
    int64_t* length_out = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(lengths.get())));
    T* value_out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    for (Py_ssize_t i = 0; i < rows.num_rows && rows.slot_of_row; ++i) {
        if (rows.slot_of_row[i] == 0) continue;
        const uint32_t slot = rows.slot_of_row[i] - 1;
        const std::vector<T>& v = rows.appended[slot].values;
        which_out[slot] = i;
        length_out[slot] = static_cast<int64_t>(v.size());
    }
    for (const Appended<T>& a : rows.appended) {
        std::memcpy(value_out, a.values.data(), a.values.size() * sizeof(T));
        value_out += a.values.size();
    }
    return Ref::steal(PyTuple_Pack(3, which.get(), lengths.get(), values.get()));
}

PyObject* graph_reduce(PyObject* self, PyObject*) {
    GraphObject* g = as_graph(self);
    if (!g->ids && !g->weights) return raise_not_initialised();
    Table& t = g->ids ? static_cast<Table&>(*g->ids) : static_cast<Table&>(*g->weights);
    // A view of its own for the pickle, so that nobody gets hold of ours.
    Ref base = Ref::steal(PyArray_View(reinterpret_cast<PyArrayObject*>(t.base.get()), nullptr, &PyArray_Type));
    if (!base) return nullptr;
    Ref state = g->ids ? appended_state(*g->ids, NPY_INT64) : appended_state(*g->weights, NPY_FLOAT32);
    if (!state) return nullptr;
    if (g->dict && PyDict_GET_SIZE(g->dict) > 0) {
        Ref with_dict = Ref::steal(PySequence_Concat(state.get(), Ref::steal(PyTuple_Pack(1, g->dict)).get()));
        if (!with_dict) return nullptr;
        state = std::move(with_dict);
    }
    return Py_BuildValue("O(O)O", reinterpret_cast<PyObject*>(Py_TYPE(self)), base.get(), state.get());
}

// Restores the appended entries written by __reduce__ (and the instance dict).
PyObject* graph_setstate(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state) || (PyTuple_GET_SIZE(state) != 3 && PyTuple_GET_SIZE(state) != 4)) {
        PyErr_SetString(PyExc_ValueError, "GraphWrapper state must be a tuple (rows, lengths, values[, dict])");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(state) == 4) {
        Ref update = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!update || PyDict_Update(update.get(), PyTuple_GET_ITEM(state, 3)) < 0) return nullptr;
    }
    Ref which = Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(state, 0), NPY_INT64, NPY_ARRAY_IN_ARRAY));
    Ref lengths = Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(state, 1), NPY_INT64, NPY_ARRAY_IN_ARRAY));
    if (!which || !lengths) return nullptr;
    GraphObject* g = as_graph(self);
    Ref values = Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(state, 2), g->weights ? NPY_FLOAT32 : NPY_INT64,
                                             NPY_ARRAY_IN_ARRAY));
    if (!values) return nullptr;
    PyArrayObject* w = reinterpret_cast<PyArrayObject*>(which.get());
    PyArrayObject* l = reinterpret_cast<PyArrayObject*>(lengths.get());
    PyArrayObject* v = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_NDIM(w) != 1 || PyArray_NDIM(l) != 1 || PyArray_NDIM(v) != 1 ||
        PyArray_DIM(w, 0) != PyArray_DIM(l, 0)) {
        PyErr_SetString(PyExc_ValueError, "GraphWrapper state: rows, lengths and values must be 1-D, "
                                          "rows and lengths of one length");
        return nullptr;
    }
    const int64_t* row_of = static_cast<const int64_t*>(PyArray_DATA(w));
    const int64_t* length_of = static_cast<const int64_t*>(PyArray_DATA(l));
    // Checked in full before anything is appended: the state is applied whole or not at all.
    const Py_ssize_t num_rows = g->ids ? g->ids->num_rows : g->weights ? g->weights->num_rows : -1;
    if (num_rows < 0) return raise_not_initialised();
    Py_ssize_t total = 0;
    for (npy_intp k = 0; k < PyArray_DIM(w, 0); ++k) {
        if (row_of[k] < 0 || row_of[k] >= num_rows || length_of[k] < 0 ||
            length_of[k] > PyArray_DIM(v, 0) - total) {
            PyErr_SetString(PyExc_ValueError, "GraphWrapper state does not fit the base table");
            return nullptr;
        }
        total += length_of[k];
    }
    if (total != PyArray_DIM(v, 0)) {
        PyErr_SetString(PyExc_ValueError, "GraphWrapper state does not fit the base table");
        return nullptr;
    }
    if (g->ids) {
        const int64_t* ids = static_cast<const int64_t*>(PyArray_DATA(v));
        for (Py_ssize_t k = 0; k < total; ++k) {
            if (ids[k] < 0 || ids[k] >= num_rows) {
                PyErr_SetString(PyExc_ValueError, "GraphWrapper state does not fit the base table");
                return nullptr;
            }
        }
    }
    // The merged rows that the appends replace are released only after the
    // last append: releasing one may run Python code that changes the rows.
    std::vector<Ref> dropped;
    try {
        dropped.reserve(static_cast<size_t>(PyArray_DIM(w, 0)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_ssize_t at = 0;
    for (npy_intp k = 0; k < PyArray_DIM(w, 0); ++k) {
        for (int64_t e = 0; e < length_of[k]; ++e, ++at) {
            Ref merged;
            bool ok = g->ids ? append_entry(*g->ids, row_of[k], static_cast<const int64_t*>(PyArray_DATA(v))[at],
                                            &merged)
                             : append_entry(*g->weights, row_of[k], static_cast<const float*>(PyArray_DATA(v))[at],
                                            &merged);
            if (merged) dropped.push_back(std::move(merged));  // once per row: within the reserve
            if (!ok) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// The graph as an n x n scipy.sparse CSR matrix: row i holds an entry at
// column j for each neighbour entry j of row i, in row order, with the
// matching weight (or 1.0 without weights).
PyObject* graph_to_csr(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"weights", nullptr};
    PyObject* weights_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_csr", const_cast<char**>(keywords), &weights_arg))
        return nullptr;
    GraphObject* g = as_graph(self);
    if (!g->ids) {
        if (!g->weights) return raise_not_initialised();
        PyErr_SetString(PyExc_TypeError,
                        "to_csr() is called on the neighbour ids (int64) container, with the weights as argument");
        return nullptr;
    }
    WeightRows* weights = nullptr;
    if (weights_arg != Py_None) {
        if (!PyObject_TypeCheck(weights_arg, &GraphType) || !as_graph(weights_arg)->weights) {
            PyErr_Format(PyExc_TypeError, "weights must be a float32 GraphWrapper, got %.200s",
                         Py_TYPE(weights_arg)->tp_name);
            return nullptr;
        }
        weights = as_graph(weights_arg)->weights;
    }
    IdRows& ids = *g->ids;
    const Py_ssize_t n = ids.num_rows;
    if (weights && weights->num_rows != n) {
        PyErr_Format(PyExc_ValueError, "weights has %zd rows, the neighbour ids %zd", weights->num_rows, n);
        return nullptr;
    }
    Ref indptr = new_vector(n + 1, NPY_INT64);
    Ref indices = new_vector(entries_of(ids), NPY_INT64);
    Ref data = new_vector(entries_of(ids), NPY_FLOAT32);
    if (!indptr || !indices || !data) return nullptr;
    int64_t* starts = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indptr.get())));
    int64_t* columns = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indices.get())));
    float* values = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(data.get())));
    std::vector<float> weight_row;
    int64_t at = 0;
    try {
        for (Py_ssize_t i = 0; i < n; ++i) {
            starts[i] = at;
            const Py_ssize_t length = ids.length(i);
            ids.copy_row(i, columns + at);
            for (Py_ssize_t j = 0; j < length; ++j) {
                if (columns[at + j] < 0 || columns[at + j] >= n) {
                    PyErr_Format(PyExc_ValueError, "row %zd has neighbour id %lld outside 0 .. %zd", i,
                                 static_cast<long long>(columns[at + j]), n - 1);
                    return nullptr;
                }
            }
            if (weights) {
                const Py_ssize_t weight_length = weights->length(i);
                if (weight_length < length) {
                    PyErr_Format(PyExc_ValueError,
                                 "weight row of node %zd has %zd entries but its neighbour row has %zd", i,
                                 weight_length, length);
                    return nullptr;
                }
                weight_row.resize(static_cast<size_t>(weight_length));
                weights->copy_row(i, weight_row.data());
                std::memcpy(values + at, weight_row.data(), static_cast<size_t>(length) * sizeof(float));
            } else {
                std::fill(values + at, values + at + length, 1.0f);
            }
            at += length;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    starts[n] = at;
    // Everything is copied out: from here on, Python code may do as it likes.
    Ref sparse = Ref::steal(PyImport_ImportModule("scipy.sparse"));
    if (!sparse) return nullptr;
    Ref shape = Ref::steal(Py_BuildValue("(nn)", n, n));
    Ref triple = Ref::steal(PyTuple_Pack(3, data.get(), indices.get(), indptr.get()));
    Ref csr_matrix = Ref::steal(PyObject_GetAttrString(sparse.get(), "csr_matrix"));
    if (!shape || !triple || !csr_matrix) return nullptr;
    Ref call_args = Ref::steal(PyTuple_Pack(1, triple.get()));
    Ref call_kwargs = Ref::steal(Py_BuildValue("{s:O}", "shape", shape.get()));
    if (!call_args || !call_kwargs) return nullptr;
    return PyObject_Call(csr_matrix.get(), call_args.get(), call_kwargs.get());
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* graph_get_dtype(PyObject* self, void*) {
    GraphObject* g = as_graph(self);
    if (g->ids) return Py_NewRef(reinterpret_cast<PyObject*>(g->ids->descr));
    if (g->weights) return Py_NewRef(reinterpret_cast<PyObject*>(g->weights->descr));
    return raise_not_initialised();
}

PyObject* graph_get_num_entries(PyObject* self, void*) {
    GraphObject* g = as_graph(self);
    if (g->ids) return PyLong_FromSsize_t(entries_of(*g->ids));
    if (g->weights) return PyLong_FromSsize_t(entries_of(*g->weights));
    return raise_not_initialised();
}

Py_ssize_t graph_length(PyObject* self) {
    GraphObject* g = as_graph(self);
    if (g->ids) return g->ids->num_rows;
    if (g->weights) return g->weights->num_rows;
    raise_not_initialised();
    return -1;
}

PyObject* graph_repr(PyObject* self) {
    GraphObject* g = as_graph(self);
    if (!g->ids && !g->weights) return PyUnicode_FromString("GraphWrapper(not initialised)");
    const Table& t = g->ids ? static_cast<const Table&>(*g->ids) : static_cast<const Table&>(*g->weights);
    const Py_ssize_t with_appends =
        g->ids ? static_cast<Py_ssize_t>(g->ids->appended.size()) : static_cast<Py_ssize_t>(g->weights->appended.size());
    return PyUnicode_FromFormat("GraphWrapper(rows=%zd, dtype=%S, rows_with_appends=%zd)", t.num_rows,
                                reinterpret_cast<PyObject*>(t.descr), with_appends);
}

PyMethodDef graph_methods[] = {
    {"to_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_to_numpy)), METH_FASTCALL,
     "to_numpy(i, /)\n--\n\nRow ``i`` as a read-only 1-D array, appended entries last."},
    {"contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_contains)), METH_FASTCALL,
     "contains(i, value, /)\n--\n\nWhether ``value`` is already an entry of row ``i`` (weights compare as float32)."},
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_append)), METH_FASTCALL,
     "append(i, value, /)\n--\n\nAdd ``value`` as the last entry of row ``i``."},
    {"from_knn", graph_from_knn, METH_O | METH_CLASS,
     "from_knn(table)\n--\n\nRows from a k-nearest-neighbour table of ids (int64) or weights (float32).\n\n"
     "The table's kind decides the container: integer tables become int64,\n"
     "floating-point tables float32.  A table already of that dtype and\n"
     "C-contiguous is shared, not copied."},
    {"empty", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_empty)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "empty(num_rows, dtype)\n--\n\n``num_rows`` empty rows of int64 ids or float32 weights."},
    {"to_csr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_to_csr)),
     METH_VARARGS | METH_KEYWORDS,
     "to_csr(weights=None)\n--\n\nThe graph as an n x n scipy.sparse CSR matrix: an entry (i, j) for every\n"
     "neighbour j of row i, in row order, holding the matching entry of\n"
     "``weights`` (a float32 GraphWrapper) or 1.0.  Called on the ids container."},
    {"__reduce__", graph_reduce, METH_NOARGS, nullptr},
    {"__setstate__", graph_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"dtype", graph_get_dtype, nullptr, "The rows' element type: int64 or float32.", nullptr},
    {"num_entries", graph_get_num_entries, nullptr, "Entries over all rows, appended ones included.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods graph_as_sequence = {graph_length, nullptr, nullptr, nullptr, nullptr,
                                       nullptr,      nullptr, nullptr, nullptr, nullptr};

constexpr const char* kTypeDoc =
    "GraphWrapper(base_table)\n--\n\n"
    "Rows of int64 neighbour ids or of float32 edge weights, one per node.\n\n"
    "``GraphWrapper(table)`` takes a 2-D int64 or float32 table as the base rows\n"
    "(shared, not copied); ``GraphWrapper.from_knn(table)`` starts every row from\n"
    "a row of any integer or floating-point table; ``GraphWrapper.empty(n, dtype)``\n"
    "starts ``n`` empty rows.  A connections container and its weights container\n"
    "are kept parallel by the caller: each append to one is followed by the\n"
    "matching append to the other.";

PyTypeObject GraphType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);  // as PyVarObject_HEAD_INIT does
    t.tp_name = "velorn.algorithms.graph_wrapper.GraphWrapper";
    t.tp_basicsize = sizeof(GraphObject);
    t.tp_dealloc = graph_dealloc;
    t.tp_repr = graph_repr;
    t.tp_as_sequence = &graph_as_sequence;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kTypeDoc;
    t.tp_traverse = graph_traverse;
    t.tp_clear = graph_clear;
    t.tp_weaklistoffset = offsetof(GraphObject, weakrefs);
    t.tp_methods = graph_methods;
    t.tp_getset = graph_getset;
    t.tp_dictoffset = offsetof(GraphObject, dict);
    t.tp_init = graph_init;
    t.tp_new = graph_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}();

// ---------------------------------------------------------------------------
// Module initialisation

int exec_steps(PyObject* module) {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if ((major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor) < 0)
        return -1;
    if (pyext::import_numpy_api() < 0 || pyext::bind_numpy_types() < 0) return -1;
    if (PyType_Ready(&GraphType) < 0) return -1;
    // The layout, for kernels that read rows in place (graph_rows.hpp). A
    // static type's attributes cannot be set from Python, so this capsule is
    // the only one the type can carry.
    static const graph::RowsLayout layout = graph::this_layout(&GraphType);
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<graph::RowsLayout*>(&layout), graph::kRowsLayoutCapsule,
                                           nullptr));
    if (!capsule || PyDict_SetItemString(GraphType.tp_dict, graph::kRowsLayoutAttribute, capsule.get()) < 0)
        return -1;
    PyType_Modified(&GraphType);
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "GraphWrapper", reinterpret_cast<PyObject*>(&GraphType));
}

int module_exec(PyObject* module) {
    pyext::ModuleState& state = pyext::module_state;
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'graph_wrapper' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (exec_steps(module) == 0) return 0;
    if (PyErr_Occurred())
        pyext::add_traceback("init velorn.algorithms.src.tolmar.binaries.graph_wrapper", kSourceFile, 1,
                             PyModule_GetDict(module));
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(pyext::module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "graph_wrapper", "GraphWrapper: per-node rows of a graph, grown in place.", 0, nullptr,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_graph_wrapper() { return PyModuleDef_Init(&module_def); }
