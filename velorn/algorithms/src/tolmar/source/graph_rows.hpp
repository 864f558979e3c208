// The memory layout of a GraphWrapper, shared by the module that defines the
// type and the kernels that read its rows in place. Each module compiles its
// own copy; the type hands out a capsule with the layout's sizes, and a
// kernel reads an object in place only when they match its own.
#pragma once

#include "ref.hpp"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

namespace graph {
namespace {

using pyext::Ref;

// Free view objects kept per container: a kernel holds the previous row while
// it asks for the next one, and reads two containers in turn.
constexpr int kViewSlots = 4;

// ---------------------------------------------------------------------------
// Row storage

// The base table: geometry and data taken once, from a read-only view that
// only the container holds, so nobody can reshape what they describe.
struct Table {
    Ref base;
    PyArray_Descr* descr = nullptr;  // owned
    const char* data = nullptr;
    Py_ssize_t num_rows = 0, cols = 0, row_stride = 0, col_stride = 0;
    bool recycle_views = false;  // every row view gets the same flags
    int view_flags = 0;          // the flags of a fresh row view
    PyObject* views[kViewSlots] = {};

    Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table() {
        for (PyObject*& view : views) Py_CLEAR(view);
        Py_XDECREF(descr);
    }

    const char* row(Py_ssize_t i) const { return data + i * row_stride; }
};

template <class T>
struct Appended {
    std::vector<T> values;
    PyObject* merged = nullptr;  // owned; the base row followed by values
    std::unique_ptr<std::unordered_set<T>> members;  // once values outgrow a scan
};

struct FreeDeleter {
    void operator()(uint32_t* p) const { std::free(p); }
};

template <class T>
struct Rows : Table {
    // Per row, 1 + its index in `appended`, or 0; allocated zeroed at the first
    // append, so untouched pages cost nothing.
    std::unique_ptr<uint32_t[], FreeDeleter> slot_of_row;
    std::vector<Appended<T>> appended;
    Py_ssize_t num_appended = 0;

    ~Rows() {
        for (Appended<T>& a : appended) Py_CLEAR(a.merged);
    }

    Appended<T>* appended_to(Py_ssize_t i) {
        if (!slot_of_row || slot_of_row[i] == 0) return nullptr;
        return &appended[slot_of_row[i] - 1];
    }
    Py_ssize_t length(Py_ssize_t i) {
        Appended<T>* a = appended_to(i);
        return cols + (a ? static_cast<Py_ssize_t>(a->values.size()) : 0);
    }
    T base_entry(Py_ssize_t i, Py_ssize_t j) const {
        T v;
        std::memcpy(&v, row(i) + j * col_stride, sizeof(T));
        return v;
    }
    // Row i as to_numpy shows it, the base entries then the appended ones,
    // into `out`, which holds length(i) entries.
    void copy_row(Py_ssize_t i, T* out) {
        for (Py_ssize_t j = 0; j < cols; ++j) out[j] = base_entry(i, j);
        Appended<T>* a = appended_to(i);
        // An empty vector's data() may be null, which memcpy must not get.
        if (a && !a->values.empty()) std::memcpy(out + cols, a->values.data(), a->values.size() * sizeof(T));
    }
};

using IdRows = Rows<int64_t>;
using WeightRows = Rows<float>;

struct GraphObject {
    PyObject_HEAD
    IdRows* ids;          // exactly one of the two is set once initialised
    WeightRows* weights;
    PyObject* dict;
    PyObject* weakrefs;
};

// What a kernel needs to read GraphWrapper rows in place: the type, to know
// its instances, and the sizes of the layout the type was built with. The
// type keeps it, in a capsule, as its attribute `_rows_layout`.
struct RowsLayout {
    PyTypeObject* type;
    size_t object_size;
    size_t id_rows_size;
    size_t weight_rows_size;
};
constexpr const char* kRowsLayoutAttribute = "_rows_layout";
constexpr const char* kRowsLayoutCapsule = "velorn.algorithms.graph_wrapper.GraphWrapper._rows_layout";

inline RowsLayout this_layout(PyTypeObject* type) {
    return {type, sizeof(GraphObject), sizeof(IdRows), sizeof(WeightRows)};
}

}  // namespace
}  // namespace graph
