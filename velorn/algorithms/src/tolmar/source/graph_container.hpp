// What the graph kernels require of the caller's GraphWrapper containers.
//
//   connections.to_numpy(i)   -> 1-D int64 ndarray: the neighbour ids of node i,
//                                each in 0 .. n-1, appended entries included
//   weights.to_numpy(i)       -> 1-D float32 ndarray: the weight of each of
//                                those neighbours, in the same order, at least
//                                as many entries
//   connections.contains(i, j) -> any object; its truth value says whether j is
//                                already a neighbour entry of row i
//   connections.append(i, j)  -> adds j as the last neighbour of row i
//   weights.append(i, w)      -> adds the float w as the last weight of row i,
//                                always right after connections.append(i, j)
//
// Rows may have any stride and may be read-only. Every call is an ordinary
// method call (looked up at each call, positional arguments only) and may run
// arbitrary Python code, so callers take data pointers only after the last
// call out. (weighted_label_propagation reads a plain GraphWrapper's rows in
// place instead, where no call could show a difference: graph_rows.hpp.)
#pragma once

#include "ref.hpp"
#include "buffer_format.hpp"
#include "ndarray.hpp"

namespace graph {
namespace {

using pyext::Ref;

constexpr const pyext::ElemType& kNeighbourIds = pyext::kInt64;
constexpr const pyext::ElemType& kWeights = pyext::kFloat32;

using NeighbourRow = pyext::ArrayRow<int64_t>;
using WeightRow = pyext::ArrayRow<float>;

struct MethodNames {
    PyObject* to_numpy = nullptr;
    PyObject* contains = nullptr;
    PyObject* append = nullptr;
};
inline MethodNames method_names;

// Interns the method names once, at module import.
inline int intern_method_names() {
    method_names.to_numpy = pyext::intern("to_numpy");
    method_names.contains = pyext::intern("contains");
    method_names.append = pyext::intern("append");
    return method_names.to_numpy && method_names.contains && method_names.append ? 0 : -1;
}

inline Ref to_numpy(PyObject* container, PyObject* node) {
    return pyext::call_method(container, method_names.to_numpy, node);
}

// 1 when row `node` of `connections` already holds `neighbour`, 0 when not, -1 on error.
inline int contains(PyObject* connections, PyObject* node, PyObject* neighbour) {
    Ref r = pyext::call_method(connections, method_names.contains, node, neighbour);
    return r ? PyObject_IsTrue(r.get()) : -1;
}

inline bool append(PyObject* container, PyObject* node, PyObject* value) {
    return static_cast<bool>(pyext::call_method(container, method_names.append, node, value));
}

// Whether a neighbour id read from a row names one of the num_nodes nodes,
// checked on all 64 bits before anything is read at it.
inline bool is_node_id(int64_t id, Py_ssize_t num_nodes) {
    return static_cast<uint64_t>(id) < static_cast<uint64_t>(num_nodes);
}

[[gnu::cold]] inline void raise_neighbour_out_of_range(Py_ssize_t node, int64_t id, Py_ssize_t num_nodes) {
    PyErr_Format(PyExc_IndexError, "node %zd has neighbour id %lld outside 0 .. %zd", node,
                 static_cast<long long>(id), num_nodes - 1);
}

// A weight row must cover its neighbour row entry for entry.
inline bool check_row_lengths(Py_ssize_t node, Py_ssize_t n_neighbours, Py_ssize_t n_weights) {
    if (n_weights >= n_neighbours) return true;
    PyErr_Format(PyExc_ValueError,
                 "weight row of node %zd has %zd entries but its neighbour row has %zd",
                 node, n_weights, n_neighbours);
    return false;
}

}  // namespace
}  // namespace graph
