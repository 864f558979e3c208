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
//
// This file is the type: construction, the methods and attributes, module
// initialisation. The ideas behind it each have a header: graph_arguments.hpp
// (argument conversion), graph_storage.hpp (the rows), graph_transfer.hpp
// (pickling and scipy.sparse), over the layout in graph_rows.hpp.
#include "ref.hpp"
#include "function.hpp"
#include "module.hpp"
#include "graph_rows.hpp"
#include "graph_arguments.hpp"
#include "graph_storage.hpp"
#include "graph_transfer.hpp"

#include <memory>
#include <new>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.graph_wrapper";
constexpr const char* kSourceFile = "velorn/algorithms/src/tolmar/source/graph_wrapper.cpp";

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
    // A cast wraps unsigned ids beyond int64 to negative ones: refused. The
    // cast made a copy of our own, read as it is.
    if (d->kind == 'u' && PyDataType_ELSIZE(d) >= 8) {
        PyArrayObject* ids = reinterpret_cast<PyArrayObject*>(contiguous.get());
        const int64_t* id = static_cast<const int64_t*>(PyArray_DATA(ids));
        for (npy_intp k = 0, size = PyArray_SIZE(ids); k < size; ++k) {
            if (id[k] < 0) {
                PyErr_Format(PyExc_OverflowError, "id %llu of the table lies beyond int64",
                             static_cast<unsigned long long>(id[k]));
                return nullptr;
            }
        }
    }
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
    {"from_csr", graph_from_csr, METH_O | METH_CLASS,
     "from_csr(matrix)\n--\n\nThe (connections, weights) pair of the graph of a square scipy.sparse matrix.\n\n"
     "Row i of both containers holds row i's stored entries, in their stored\n"
     "order: the column ids (int64) and the values (float32).  Nothing is\n"
     "added, dropped or summed; ids outside the matrix are refused."},
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
    "a row of any integer or floating-point table; ``GraphWrapper.from_csr(matrix)``\n"
    "makes both containers of a sparse matrix's graph; ``GraphWrapper.empty(n, dtype)``\n"
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
// Module initialisation, by the modules' shared path (module.hpp)

int prepare(PyObject* dict) {
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
    Ref doc = Ref::steal(PyUnicode_FromString("GraphWrapper: per-node rows of a graph, grown in place."));
    if (!doc || PyDict_SetItemString(dict, "__doc__", doc.get()) < 0) return -1;
    return PyDict_SetItemString(dict, "GraphWrapper", reinterpret_cast<PyObject*>(&GraphType));
}

const pyext::ModuleSpec kModule = {"graph_wrapper", kModuleName, kSourceFile, nullptr, prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_graph_wrapper() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
