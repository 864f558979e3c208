// GraphWrapper's whole-graph conversions: the pickled state (appended
// entries) and scipy.sparse CSR matrices, both ways (to_csr, from_csr).
//
// Relies on graph_storage.hpp; included by graph_wrapper.cpp only.
#pragma once

#include "graph_storage.hpp"

#include <algorithm>
#include <vector>

namespace {

template <class T>
inline Py_ssize_t entries_of(const Rows<T>& rows) {
    return rows.num_rows * rows.cols + rows.num_appended;
}

// A new owning 1-D array of `length` entries of `type_num`.
inline Ref new_vector(npy_intp length, int type_num) {
    return Ref::steal(PyArray_SimpleNew(1, &length, type_num));
}

// The appended entries, as (rows, lengths, values): the rows that have any,
// in the order they got their first, how many each, and all of them in turn.
template <class T>
inline Ref appended_state(Rows<T>& rows, int type_num) {
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
        if (!a.values.empty()) std::memcpy(value_out, a.values.data(), a.values.size() * sizeof(T));
        value_out += a.values.size();
    }
    return Ref::steal(PyTuple_Pack(3, which.get(), lengths.get(), values.get()));
}

inline PyObject* graph_reduce(PyObject* self, PyObject*) {
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
inline PyObject* graph_setstate(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state) || (PyTuple_GET_SIZE(state) != 3 && PyTuple_GET_SIZE(state) != 4)) {
        PyErr_SetString(PyExc_ValueError, "GraphWrapper state must be a tuple (rows, lengths, values[, dict])");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(state) == 4) {
        Ref update = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!update || PyDict_Update(update.get(), PyTuple_GET_ITEM(state, 3)) < 0) return nullptr;
    }
    Ref which = Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(state, 0), NPY_INT64, NPY_ARRAY_IN_ARRAY));
    if (!which) return nullptr;
    Ref lengths = Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(state, 1), NPY_INT64, NPY_ARRAY_IN_ARRAY));
    if (!lengths) return nullptr;
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
inline PyObject* graph_to_csr(PyObject* self, PyObject* args, PyObject* kwargs) {
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
                // An empty row's vector may have no storage: memcpy from null is undefined, even for 0 bytes.
                if (length > 0)
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

// A CSR matrix's arrays as from_csr reads them: copies of its own, taken
// before any further Python code runs, and checked in full.
struct CsrRows {
    Py_ssize_t n = 0;
    Ref indptr, indices, data;  // int64, int64, float32; 1-D, C-contiguous, owned

    const int64_t* starts() const { return static_cast<const int64_t*>(PyArray_DATA(as_array(indptr))); }
    const int64_t* ids() const { return static_cast<const int64_t*>(PyArray_DATA(as_array(indices))); }
    const float* weights() const { return static_cast<const float*>(PyArray_DATA(as_array(data))); }
    static PyArrayObject* as_array(const Ref& r) { return reinterpret_cast<PyArrayObject*>(r.get()); }
};

// A fresh copy of `array` as a 1-D C-contiguous array of `type_num`.
inline Ref own_vector(PyObject* array, int type_num) {
    return Ref::steal(PyArray_FromAny(array, PyArray_DescrFromType(type_num), 1, 1,
                                      NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST |
                                          NPY_ARRAY_ENSURECOPY,
                                      nullptr));
}

inline bool read_csr(PyObject* matrix, CsrRows* out) {
    Ref tocsr = Ref::steal(PyObject_GetAttrString(matrix, "tocsr"));
    if (!tocsr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Format(PyExc_TypeError, "expected a scipy.sparse matrix or array, got %.200s",
                     Py_TYPE(matrix)->tp_name);
        return false;
    }
    Ref csr = Ref::steal(PyObject_CallNoArgs(tocsr.get()));
    if (!csr) return false;
    // Each looked up once the one before succeeded: no Python code runs with
    // an error pending.
    Ref shape, indptr, indices, data;
    if (!(shape = Ref::steal(PyObject_GetAttrString(csr.get(), "shape"))) ||
        !(indptr = Ref::steal(PyObject_GetAttrString(csr.get(), "indptr"))) ||
        !(indices = Ref::steal(PyObject_GetAttrString(csr.get(), "indices"))) ||
        !(data = Ref::steal(PyObject_GetAttrString(csr.get(), "data"))))
        return false;
    Py_ssize_t rows = -1, cols = -1;
    // A tuple first: the parser takes nothing else, and fails with a SystemError.
    if (!PyTuple_Check(shape.get())) {
        PyErr_Format(PyExc_TypeError, "the matrix's shape must be a tuple of two sizes, got %.200s",
                     Py_TYPE(shape.get())->tp_name);
        return false;
    }
    if (!PyArg_ParseTuple(shape.get(), "nn;the matrix's shape must be two sizes", &rows, &cols)) return false;
    if (rows < 0 || cols < 0) {
        PyErr_Format(PyExc_ValueError, "the matrix's shape (%zd, %zd) is negative", rows, cols);
        return false;
    }
    if (rows != cols) {
        PyErr_Format(PyExc_ValueError, "expected a square matrix (one row and column per node), got shape (%zd, %zd)",
                     rows, cols);
        return false;
    }
    if (rows > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "a graph has at most 2**31 - 1 nodes, got %zd", rows);
        return false;
    }
    Ref values = Ref::steal(PyArray_FROM_O(data.get()));
    if (!values) return false;
    const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(values.get()))->kind;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        PyErr_Format(PyExc_TypeError, "expected real edge weights, got dtype %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(values.get()))));
        return false;
    }
    out->n = rows;
    // One at a time: NumPy is not called with an error pending.
    out->indptr = own_vector(indptr.get(), NPY_INT64);
    if (!out->indptr) return false;
    out->indices = own_vector(indices.get(), NPY_INT64);
    if (!out->indices) return false;
    out->data = own_vector(values.get(), NPY_FLOAT32);
    if (!out->data) return false;
    // From here on the arrays are ours alone: check them once, in full.
    const Py_ssize_t num_ids = PyArray_DIM(CsrRows::as_array(out->indices), 0);
    const Py_ssize_t num_weights = PyArray_DIM(CsrRows::as_array(out->data), 0);
    const int64_t* starts = out->starts();
    if (PyArray_DIM(CsrRows::as_array(out->indptr), 0) != rows + 1 || starts[0] != 0 || starts[rows] > num_ids ||
        starts[rows] > num_weights) {
        PyErr_SetString(PyExc_ValueError, "the matrix's indptr does not fit its indices and data");
        return false;
    }
    for (Py_ssize_t i = 0; i < rows; ++i) {
        if (starts[i + 1] < starts[i]) {
            PyErr_SetString(PyExc_ValueError, "the matrix's indptr does not fit its indices and data");
            return false;
        }
    }
    const int64_t* ids = out->ids();
    for (Py_ssize_t i = 0; i < rows; ++i) {
        for (int64_t k = starts[i]; k < starts[i + 1]; ++k) {
            if (ids[k] < 0 || ids[k] >= rows) {
                PyErr_Format(PyExc_ValueError, "row %zd has neighbour id %lld outside 0 .. %zd", i,
                             static_cast<long long>(ids[k]), rows - 1);
                return false;
            }
        }
    }
    return true;
}

// A 2-D (n, width) table of the first `width` entries of each row.
template <class T>
Ref first_columns(const CsrRows& csr, const T* values, Py_ssize_t width, int type_num) {
    npy_intp dims[2] = {csr.n, width};
    Ref table = Ref::steal(PyArray_SimpleNew(2, dims, type_num));
    if (!table) return {};
    T* out = static_cast<T*>(PyArray_DATA(CsrRows::as_array(table)));
    const int64_t* starts = csr.starts();
    for (Py_ssize_t i = 0; i < csr.n; ++i)
        if (width) std::memcpy(out + i * width, values + starts[i], static_cast<size_t>(width) * sizeof(T));
    return table;
}

// The entries of each row past the first `width`, appended in row order.
template <class T>
bool append_rest(Rows<T>& rows, const CsrRows& csr, const T* values, Py_ssize_t width) {
    const int64_t* starts = csr.starts();
    for (Py_ssize_t i = 0; i < csr.n; ++i) {
        for (int64_t k = starts[i] + width; k < starts[i + 1]; ++k) {
            Ref dropped;  // none: a row's merged array is made by to_numpy, which has not run
            if (!append_entry(rows, i, values[k], &dropped)) return false;
        }
    }
    return true;
}

// GraphWrapper.from_csr(matrix): the (connections, weights) pair of a graph
// given as a square scipy.sparse matrix, each row's stored entries in their
// stored order. Rows share the shortest row's length as the base table; the
// rest of each row is appended.
inline PyObject* graph_from_csr(PyObject* cls, PyObject* matrix) {
    CsrRows csr;
    if (!read_csr(matrix, &csr)) return nullptr;
    const int64_t* starts = csr.starts();
    Py_ssize_t width = 0;
    for (Py_ssize_t i = 0; i < csr.n; ++i) {
        const Py_ssize_t length = static_cast<Py_ssize_t>(starts[i + 1] - starts[i]);
        if (i == 0 || length < width) width = length;
    }
    Ref id_table = first_columns(csr, csr.ids(), width, NPY_INT64);
    Ref weight_table = first_columns(csr, csr.weights(), width, NPY_FLOAT32);
    if (!id_table || !weight_table) return nullptr;
    Ref connections = Ref::steal(PyObject_CallOneArg(cls, id_table.get()));
    if (!connections) return nullptr;
    Ref weights = Ref::steal(PyObject_CallOneArg(cls, weight_table.get()));
    if (!weights) return nullptr;
    // Whatever cls ran, the rows appended to must be these tables' own.
    for (PyObject* made : {connections.get(), weights.get()}) {
        if (!PyObject_TypeCheck(made, &GraphType) || (!as_graph(made)->ids && !as_graph(made)->weights)) {
            PyErr_Format(PyExc_TypeError, "%.200s() did not make an initialised GraphWrapper",
                         reinterpret_cast<PyTypeObject*>(cls)->tp_name);
            return nullptr;
        }
    }
    IdRows* ids = as_graph(connections.get())->ids;
    WeightRows* weight_rows = as_graph(weights.get())->weights;
    if (!ids || !weight_rows || ids->num_rows != csr.n || weight_rows->num_rows != csr.n ||
        ids->base.get() == nullptr || ids->cols != width || weight_rows->cols != width) {
        PyErr_Format(PyExc_TypeError, "%.200s() did not keep the table it was given",
                     reinterpret_cast<PyTypeObject*>(cls)->tp_name);
        return nullptr;
    }
    if (!append_rest(*ids, csr, csr.ids(), width) || !append_rest(*weight_rows, csr, csr.weights(), width))
        return nullptr;
    return PyTuple_Pack(2, connections.get(), weights.get());
}

}  // namespace
