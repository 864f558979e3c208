// A yardstick for the label propagation benchmark, not part of the package:
// the same sweeps, container calls and arithmetic as the kernel, written as
// plainly as possible and without any of its checks (row types, lengths,
// neighbour ids, Python code changing the rows). Trusted input only. Its
// time over the floor is what any implementation of the calling convention
// and the scoring pays at least, without looking ahead in memory.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cmath>
#include <vector>

static PyObject* to_numpy_name;

static PyObject* propagate(PyObject*, PyObject* args) {
    PyObject *connections, *weights, *labels_object;
    double tolerance;
    if (!PyArg_ParseTuple(args, "OOOd", &connections, &weights, &labels_object, &tolerance)) return nullptr;
    PyArrayObject* labels_array = reinterpret_cast<PyArrayObject*>(labels_object);
    int32_t* labels = static_cast<int32_t*>(PyArray_DATA(labels_array));
    const Py_ssize_t num_nodes = PyArray_SIZE(labels_array);
    std::vector<double> scores(num_nodes, 0.0);
    std::vector<double> contributions;
    for (;;) {
        double max_diff = 0.0;
        for (Py_ssize_t i = 0; i < num_nodes; ++i) {
            if (labels[i] != -1) continue;
            PyObject* node = PyLong_FromSsize_t(i);
            PyObject* ids_args[] = {connections, node};
            PyObject* ids_row = PyObject_VectorcallMethod(to_numpy_name, ids_args, 2, nullptr);
            PyObject* weight_args[] = {weights, node};
            PyObject* weight_row = ids_row ? PyObject_VectorcallMethod(to_numpy_name, weight_args, 2, nullptr) : nullptr;
            Py_DECREF(node);
            if (!weight_row) {
                Py_XDECREF(ids_row);
                return nullptr;
            }
            const Py_ssize_t length = PyArray_DIM(reinterpret_cast<PyArrayObject*>(ids_row), 0);
            const int64_t* ids = static_cast<const int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ids_row)));
            const float* row_weights = static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(weight_row)));
            contributions.resize(length);
            for (Py_ssize_t j = 0; j < length; ++j) {
                const double inverse = 1.0 / static_cast<double>(row_weights[j]);
                contributions[j] = inverse * inverse;
            }
            // The labels of the neighbours with their summed scores, in first-insertion order.
            int32_t candidate_labels[64];
            double candidate_scores[64];
            int count = 0;
            for (Py_ssize_t j = 0; j < length; ++j) {
                const int32_t label = labels[ids[j]];
                if (label == -1) continue;
                int k = 0;
                while (k < count && candidate_labels[k] != label) ++k;
                if (k < count) {
                    candidate_scores[k] += contributions[j];
                } else if (count < 64) {
                    candidate_labels[count] = label;
                    candidate_scores[count++] = contributions[j];
                }
            }
            int32_t best_label = -1;
            double best_score = -1.0;
            for (int k = 0; k < count; ++k) {
                if (candidate_scores[k] > best_score) {
                    best_label = candidate_labels[k];
                    best_score = candidate_scores[k];
                }
            }
            const double diff = std::fabs(scores[i] - best_score);
            if (diff > max_diff) max_diff = diff;
            scores[i] = best_score;
            labels[i] = best_label;
            Py_DECREF(ids_row);
            Py_DECREF(weight_row);
        }
        if (max_diff < tolerance) break;
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"propagate", propagate, METH_VARARGS, "propagate(connections, weights, labels, tolerance)"},
    {nullptr, nullptr, 0, nullptr}};
static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "bare_loop", nullptr, -1, methods};

PyMODINIT_FUNC PyInit_bare_loop() {
    import_array();
    to_numpy_name = PyUnicode_InternFromString("to_numpy");
    return PyModule_Create(&definition);
}
