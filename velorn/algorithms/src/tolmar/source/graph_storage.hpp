// GraphWrapper's rows: a base table handed out as recycled read-only views,
// appended entries in per-row vectors merged on demand, membership tests and
// appends. The layout itself is in graph_rows.hpp.
//
// Relies on graph_rows.hpp and ref.hpp; included by graph_wrapper.cpp only.
#pragma once

#include "ref.hpp"
#include "graph_rows.hpp"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using pyext::Ref;

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

inline GraphObject* as_graph(PyObject* o) { return reinterpret_cast<GraphObject*>(o); }

[[gnu::cold]] inline PyObject* raise_not_initialised() {
    PyErr_SetString(PyExc_RuntimeError, "GraphWrapper.__init__ was not called");
    return nullptr;
}

// The element type of a table: 1 for int64 ids, 2 for float32 weights, 0 for neither.
inline int table_kind(PyArray_Descr* d) {
    if (PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d) || !PyArray_ISNBO(d->byteorder)) return 0;
    if (d->kind == 'i' && PyDataType_ELSIZE(d) == 8) return 1;
    if (d->kind == 'f' && PyDataType_ELSIZE(d) == 4) return 2;
    return 0;
}

PyObject* new_row_view(const Table& t, Py_ssize_t i);

// Takes the table as the base rows of `t`: a read-only view of it, not a copy.
inline bool load_table(Table& t, PyArrayObject* table) {
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

inline PyObject* new_row_view(const Table& t, Py_ssize_t i) {
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
inline bool is_untouched_view(const Table& t, PyObject* o) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == t.cols && PyArray_STRIDE(a, 0) == t.col_stride &&
           PyArray_DESCR(a) == t.descr && PyArray_FLAGS(a) == t.view_flags &&
           reinterpret_cast<PyArrayObject_fields*>(a)->weakreflist == nullptr;
}

// Row i of the table as a read-only view.
inline PyObject* base_row(Table& t, Py_ssize_t i) {
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
inline bool is_untouched_merged(const Rows<T>& rows, const Appended<T>& a, PyObject* o) {
    PyArrayObject* m = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_NDIM(m) == 1 && PyArray_DIM(m, 0) == rows.cols + static_cast<Py_ssize_t>(a.values.size()) &&
           PyArray_STRIDE(m, 0) == static_cast<Py_ssize_t>(sizeof(T)) && PyArray_DESCR(m) == rows.descr &&
           !PyArray_ISWRITEABLE(m);
}

// Row i with its appended entries, built once per change of the row.
template <class T>
inline PyObject* merged_row(Rows<T>& rows, Py_ssize_t i, Appended<T>& a) {
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
inline PyObject* row_array(Rows<T>& rows, Py_ssize_t i) {
    Appended<T>* a = rows.appended_to(i);
    return a ? merged_row(rows, i, *a) : base_row(rows, i);
}

template <class T>
inline bool row_holds(Rows<T>& rows, Py_ssize_t i, T value) {
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
inline bool append_entry(Rows<T>& rows, Py_ssize_t i, T value, Ref* dropped) {
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

}  // namespace
