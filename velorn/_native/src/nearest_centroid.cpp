// nearest_centroid: the nearest centroid of each point under a scikit-learn
// distance metric, the one step that reassign_noise runs in memory and on
// every Dask chunk. Distances come from batched `pairwise(centroids, rows)`
// calls; the nearest is picked here: the first centroid, in table order,
// whose distance is strictly below all before it, starting from +inf, so ties
// go to the first centroid and NaN or infinities never win. A point farther than
// `max_distance` from its nearest centroid gets none.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn._native.nearest_centroid";
constexpr const char* kSourceFile = "velorn/_native/src/nearest_centroid.cpp";

constexpr const char* kDoc =
    "nearest_centroid(points, rows, centroids, metric, max_distance) -> indices\n"
    "\n"
    "    For each row of `points` (a C-contiguous float64 2-D array) named in `rows`\n"
    "    (a 1-D int64 array of row numbers), the index in `centroids` (a C-contiguous\n"
    "    float64 array with as many columns) of its nearest centroid under `metric`\n"
    "    (an object with scikit-learn DistanceMetric's `pairwise`), or -1 when there\n"
    "    is none within `max_distance`: ties go to the lower index, NaN and infinite\n"
    "    distances never win. Returns a new int64 array, one entry per entry of rows.\n";

// Upper bound on one batch's memory: its copy of the rows plus the distance
// matrix that `pairwise` returns for it.
constexpr Py_ssize_t kChunkBytes = Py_ssize_t{32} << 20;

PyObject* pairwise_name = nullptr;

Ref new_array(int ndim, const npy_intp* dims, int type_num) {
    return Ref::steal(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), type_num));
}

// pairwise's result as a native float64 (centroids, rows) array: NumPy
// converts any real dtype; anything else, or another shape, is refused.
Ref read_distances(Ref distances, npy_intp n_centroids, npy_intp rows) {
    if (!pyext::is_ndarray(distances.get())) {
        pyext::raise_cannot_convert(distances.get());
        return {};
    }
    PyArray_Descr* d = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(distances.get()));
    if (d->kind != 'b' && d->kind != 'i' && d->kind != 'u' && d->kind != 'f') {
        PyErr_Format(PyExc_TypeError, "pairwise returned an array of dtype %R, expected real numbers",
                     reinterpret_cast<PyObject*>(d));
        return {};
    }
    Ref converted = Ref::steal(PyArray_FromAny(distances.get(), PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                               NPY_ARRAY_FORCECAST | NPY_ARRAY_ALIGNED, nullptr));
    if (!converted) return {};
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(converted.get());
    if (PyArray_DIM(a, 0) != n_centroids || PyArray_DIM(a, 1) != rows) {
        PyErr_Format(PyExc_ValueError, "pairwise returned an array of shape (%zd, %zd), expected (%zd, %zd)",
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)), static_cast<Py_ssize_t>(PyArray_DIM(a, 1)),
                     static_cast<Py_ssize_t>(n_centroids), static_cast<Py_ssize_t>(rows));
        return {};
    }
    return converted;
}

PyObject* nearest_centroid(pyext::Call&, PyObject* const* args) {
    double max_distance = 0.0;
    if (!pyext::to_double(args[4], &max_distance)) return nullptr;
    if (!(max_distance >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "max_distance must be 0 or more");
        return nullptr;
    }
    PyObject* metric = args[3];
    // Each argument is copied from as soon as its buffer is held, and let go:
    // taking the next one, like any call out (pairwise), may run Python code
    // that rewrites, resizes or frees the caller's arrays, and every batch
    // must see the points as they were when the call began.
    std::vector<int64_t> wanted;
    {
        pyext::Buffer buffer;
        if (!buffer.acquire(args[1], 0, 1, pyext::kInt64)) return nullptr;
        const pyext::View1D<int64_t> rows = buffer.view1d<int64_t>();
        wanted.resize(static_cast<size_t>(rows.size));
        for (Py_ssize_t k = 0; k < rows.size; ++k) wanted[static_cast<size_t>(k)] = rows[k];
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(wanted.size());
    Py_ssize_t cols = 0;
    std::vector<double> chosen;
    {
        pyext::Buffer buffer;
        if (!buffer.acquire(args[0], PyBUF_C_CONTIGUOUS, 2, pyext::kDouble, true)) return nullptr;
        const pyext::View2D<double> points = buffer.view2d<double>();
        cols = points.cols;
        chosen.resize(static_cast<size_t>(count) * static_cast<size_t>(cols));
        for (Py_ssize_t k = 0; k < count; ++k) {
            const int64_t row = wanted[static_cast<size_t>(k)];
            if (row < 0 || row >= points.rows) {
                PyErr_Format(PyExc_IndexError, "row %lld outside 0 .. %zd", static_cast<long long>(row),
                             points.rows - 1);
                return nullptr;
            }
            if (cols) std::memcpy(chosen.data() + k * cols, points.row_data(row), sizeof(double) * cols);
        }
    }
    Py_ssize_t num_centroids = 0;
    std::vector<double> centroid_values;
    {
        pyext::Buffer buffer;
        if (!buffer.acquire(args[2], PyBUF_C_CONTIGUOUS, 2, pyext::kDouble, true)) return nullptr;
        const pyext::View2D<double> centroids = buffer.view2d<double>();
        if (centroids.cols != cols) {
            PyErr_Format(PyExc_ValueError, "centroids have %zd columns but points have %zd", centroids.cols, cols);
            return nullptr;
        }
        num_centroids = centroids.rows;
        centroid_values.resize(static_cast<size_t>(num_centroids) * static_cast<size_t>(cols));
        if (!centroid_values.empty())
            std::memcpy(centroid_values.data(), centroids.data, centroid_values.size() * sizeof(double));
    }
    const size_t row_bytes = static_cast<size_t>(cols) * sizeof(double);
    // The centroids go to pairwise as an array of ours, made once: what a
    // metric writes into its own arguments only changes the distances it
    // reports, which are its to give anyway.
    const npy_intp table_dims[2] = {num_centroids, cols};
    Ref table = new_array(2, table_dims, NPY_DOUBLE);
    if (!table) return nullptr;
    if (!centroid_values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(table.get())), centroid_values.data(),
                    centroid_values.size() * sizeof(double));

    const npy_intp result_dims[1] = {count};
    Ref result = new_array(1, result_dims, NPY_INT64);
    if (!result) return nullptr;
    int64_t* nearest = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    std::fill_n(nearest, count, int64_t{-1});
    if (count == 0 || num_centroids == 0) return result.release();

    const Py_ssize_t bytes_per_row = static_cast<Py_ssize_t>(sizeof(double)) * (num_centroids + cols);
    const Py_ssize_t chunk_rows = std::min(count, std::max<Py_ssize_t>(1, kChunkBytes / bytes_per_row));
    std::vector<double> best(static_cast<size_t>(chunk_rows));
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    for (Py_ssize_t start = 0; start < count; start += chunk_rows) {
        const Py_ssize_t rows = std::min(chunk_rows, count - start);
        const npy_intp chunk_dims[2] = {rows, cols};
        Ref chunk = new_array(2, chunk_dims, NPY_DOUBLE);
        if (!chunk) return nullptr;
        if (row_bytes)
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(chunk.get())), chosen.data() + start * cols,
                        static_cast<size_t>(rows) * row_bytes);
        Ref distances = pyext::call_method(metric, pairwise_name, table.get(), chunk.get());
        if (distances) distances = read_distances(std::move(distances), num_centroids, rows);
        if (!distances) return nullptr;

        PyArrayObject* d = reinterpret_cast<PyArrayObject*>(distances.get());
        const pyext::View2D<double> view{static_cast<char*>(PyArray_DATA(d)), num_centroids, rows,
                                         PyArray_STRIDE(d, 0), PyArray_STRIDE(d, 1)};
        std::fill_n(best.begin(), rows, kInfinity);
        for (Py_ssize_t c = 0; c < num_centroids; ++c) {
            const pyext::View1D<double> row = view.row(c);
            for (Py_ssize_t j = 0; j < rows; ++j) {
                const double dist = row[j];
                // Below the best so far, and not -inf: no infinite distance wins.
                if (dist < best[static_cast<size_t>(j)] && dist > -kInfinity) {
                    best[static_cast<size_t>(j)] = dist;
                    nearest[start + j] = c;
                }
            }
        }
        for (Py_ssize_t j = 0; j < rows; ++j)
            if (best[static_cast<size_t>(j)] > max_distance) nearest[start + j] = -1;
    }
    return result.release();
}

const char* const kParams[] = {"points", "rows", "centroids", "metric", "max_distance"};

const pyext::FunctionSpec kFunction = {
    "nearest_centroid", kModuleName, kDoc, kSourceFile, __LINE__, kParams, 5, 5, nearest_centroid,
};

int prepare(PyObject*) {
    pairwise_name = pyext::intern("pairwise");
    return pairwise_name ? 0 : -1;
}

const pyext::ModuleSpec kModule = {"nearest_centroid", kModuleName, kSourceFile, &kFunction, prepare,
                                   pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_nearest_centroid() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
