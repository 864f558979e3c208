// kelvo_postprocess: dissolves the clusters whose label lies below a
// threshold into noise (-1), then gives every noise point the label of the
// nearest surviving cluster centroid under a scikit-learn distance metric.
//
// The result is the same as doing it one label and one point at a time with a
// boolean mask per label and one single-pair `pairwise` call per (centroid,
// noise point), but the work is done once: clusters are grouped natively in
// one pass, each surviving centroid is computed once with np.mean over exactly
// the rows the mask would select (in the same order, so the means are
// bit-identical), and distances come from batched `pairwise` calls whose
// nearest centroid is picked natively.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using pyext::Ref;

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.kelvo.binaries.kelvo_postprocess";
constexpr const char* kSourceFile = "velorn/algorithms/src/kelvo/source/kelvo_postprocess.cpp";

constexpr const char* kDoc =
    "kelvo_postprocess(double[:, ::1] points, ndarray labels_in, str metric='minkowski', "
    "int p=2, int threshold=-1)";

constexpr int32_t kNoise = -1;
constexpr int32_t kDefaultP = 2;
constexpr int32_t kDefaultThreshold = -1;

// Upper bound on one batch's memory: its copy of the noise rows plus the
// distance matrix that `pairwise` returns for it.
constexpr Py_ssize_t kChunkBytes = Py_ssize_t{32} << 20;

struct Names {
    PyObject* np = nullptr;
    PyObject* distance_metric = nullptr;
    PyObject* mean = nullptr;
    PyObject* array = nullptr;
    PyObject* copy = nullptr;
    PyObject* get_metric = nullptr;
    PyObject* pairwise = nullptr;
    PyObject* minkowski = nullptr;
    PyObject* axis_keyword = nullptr;  // ("axis",)
    PyObject* p_keyword = nullptr;     // ("p",)
};
Names names;

// The caller's points, read through a buffer held for the whole call: the
// exporter cannot move or free the memory while it is held, so the pointer
// stays valid across calls out. Rows are C-contiguous doubles.
struct Points {
    const char* data = nullptr;
    Py_ssize_t rows = 0;
    Py_ssize_t dims = 0;
    Py_ssize_t row_stride = 0;
    bool given = false;

    const char* row(Py_ssize_t i) const { return data + i * row_stride; }
    size_t row_bytes() const { return static_cast<size_t>(dims) * sizeof(double); }
};

// The surviving clusters: their labels in ascending order and, for each, the
// indices of its points in ascending order.
struct Clusters {
    std::vector<int32_t> labels;
    std::vector<Py_ssize_t> offsets;  // cluster c owns members[offsets[c] .. offsets[c + 1])
    std::vector<Py_ssize_t> members;

    Py_ssize_t count() const { return static_cast<Py_ssize_t>(labels.size()); }
};

Ref new_double_array(Py_ssize_t rows, Py_ssize_t cols) {
    npy_intp dims[2] = {rows, cols};
    return Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
}

Ref new_double_vector(const char* values, Py_ssize_t size) {
    npy_intp dims[1] = {size};
    Ref v = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (v) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v.get())), values,
                       static_cast<size_t>(size) * sizeof(double));
    return v;
}

char* array_bytes(const Ref& array) {
    return PyArray_BYTES(reinterpret_cast<PyArrayObject*>(array.get()));
}

bool all_finite(const char* values, Py_ssize_t size) {
    for (Py_ssize_t k = 0; k < size; ++k) {
        double v;
        std::memcpy(&v, values + k * static_cast<Py_ssize_t>(sizeof(double)), sizeof(double));
        if (!std::isfinite(v)) return false;
    }
    return true;
}

bool is_native_double(PyArrayObject* a) {
    return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNBO(PyArray_DESCR(a)->byteorder);
}

bool check_shape(PyObject* value, const char* what, int ndim, const npy_intp* shape) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    bool same = PyArray_NDIM(a) == ndim;
    for (int k = 0; same && k < ndim; ++k) same = PyArray_DIM(a, k) == shape[k];
    if (!same) {
        Ref got = Ref::steal(PyObject_GetAttrString(value, "shape"));
        if (!got) return false;
        if (ndim == 1)
            PyErr_Format(PyExc_ValueError, "%s returned an array of shape %R, expected (%zd,)",
                         what, got.get(), static_cast<Py_ssize_t>(shape[0]));
        else
            PyErr_Format(PyExc_ValueError, "%s returned an array of shape %R, expected (%zd, %zd)",
                         what, got.get(), static_cast<Py_ssize_t>(shape[0]),
                         static_cast<Py_ssize_t>(shape[1]));
        return false;
    }
    return true;
}

// What a Python call returned must be a native-order float64 ndarray of the
// given shape before we read it; anything else is an error, never a read.
bool check_double_array(PyObject* value, const char* what, int ndim, const npy_intp* shape) {
    if (!pyext::is_ndarray(value)) {
        pyext::raise_cannot_convert(value);
        return false;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    if (!is_native_double(a)) {
        PyErr_Format(PyExc_TypeError, "%s returned an array of dtype %R, expected float64",
                     what, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return false;
    }
    return check_shape(value, what, ndim, shape);
}

// An object array's entries as doubles, each converted as float() converts
// a real number: its float or integer conversion, which may run Python code.
// The entries are taken (owned) before the first conversion runs, which may
// change the array. Text, None, complex numbers and other objects without
// a real value are refused.
Ref convert_object_distances(PyArrayObject* a) {
    const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    std::vector<Ref> entries;
    entries.reserve(static_cast<size_t>(rows * cols));
    for (npy_intp r = 0; r < rows; ++r) {
        for (npy_intp c = 0; c < cols; ++c) {
            PyObject* entry;
            std::memcpy(&entry, PyArray_BYTES(a) + r * PyArray_STRIDE(a, 0) + c * PyArray_STRIDE(a, 1),
                        sizeof(entry));
            entries.push_back(Ref::borrow(entry ? entry : Py_None));  // NumPy reads a null entry as None
        }
    }
    Ref converted = new_double_array(rows, cols);
    if (!converted) return {};
    double* out = reinterpret_cast<double*>(array_bytes(converted));
    for (size_t k = 0; k < entries.size(); ++k) {
        PyObject* entry = entries[k].get();
        PyNumberMethods* nb = Py_TYPE(entry)->tp_as_number;
        if (PyComplex_Check(entry) || !nb || (!nb->nb_float && !nb->nb_index)) {
            PyErr_Format(PyExc_TypeError, "pairwise returned an entry of type %.200s, expected a real number",
                         Py_TYPE(entry)->tp_name);
            return {};
        }
        const double d = PyFloat_AsDouble(entry);
        if (d == -1.0 && PyErr_Occurred()) return {};
        out[k] = d;
    }
    return converted;
}

// The distances that `pairwise` returned, as a native float64 array of the
// given shape, every entry read as a single pair's distance is read: any
// real number converted to double. Arrays of bools, integers or floats of
// any width and byte order are converted by NumPy (the same values that
// float() gives for each entry), object arrays entry by entry. Anything
// from which no distance can be read is refused: not an ndarray, a wrong
// shape, complex, text or other dtypes, entries that are not real numbers.
Ref read_distances(Ref distances, const npy_intp* shape) {
    if (!pyext::is_ndarray(distances.get())) {
        pyext::raise_cannot_convert(distances.get());
        return {};
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(distances.get());
    PyArray_Descr* d = PyArray_DESCR(a);
    const bool real = d->kind == 'b' || d->kind == 'i' || d->kind == 'u' || d->kind == 'f';
    if ((!real && d->type_num != NPY_OBJECT) || PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) {
        PyErr_Format(PyExc_TypeError, "pairwise returned an array of dtype %R, expected real numbers",
                     reinterpret_cast<PyObject*>(d));
        return {};
    }
    if (!check_shape(distances.get(), "pairwise", 2, shape)) return {};
    if (is_native_double(a)) return distances;
    if (d->type_num == NPY_OBJECT) return convert_object_distances(a);
    return Ref::steal(PyArray_FromArray(a, PyArray_DescrFromType(NPY_DOUBLE),  // takes the descr
                                        NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY));
}

// DistanceMetric.get_metric(metric, p=p) for "minkowski", get_metric(metric)
// for any other name (or None).
Ref make_metric(pyext::Call& call, PyObject* metric, int32_t p) {
    Ref distance_metric = pyext::lookup_global(call.globals, names.distance_metric);
    if (!distance_metric) return {};
    // metric is None or exactly a str here, so the comparison runs no Python code.
    bool minkowski = metric != Py_None && PyUnicode_Compare(metric, names.minkowski) == 0;
    if (!minkowski) return pyext::call_method(distance_metric.get(), names.get_metric, metric);
    Ref p_value = Ref::steal(PyLong_FromLong(p));
    if (!p_value) return {};
    PyObject* args[] = {distance_metric.get(), metric, p_value.get()};
    return Ref::steal(PyObject_VectorcallMethod(names.get_metric, args, 2, names.p_keyword));
}

// Without points, building the first centroid means indexing np.array(None)
// with the mask of the smallest label other than -1, which NumPy refuses;
// raise that very error. Returns false with the error set.
bool mask_missing_points(pyext::Call& call, PyObject* labels, const pyext::View1D<int32_t>& view) {
    bool found = false;
    int32_t smallest = 0;
    view.for_each([&](Py_ssize_t, int32_t label) {
        if (label != kNoise && (!found || label < smallest)) {
            smallest = label;
            found = true;
        }
    });
    if (!found) return true;
    Ref np = pyext::lookup_global(call.globals, names.np);
    if (!np) return false;
    Ref array = pyext::call_method(np.get(), names.array, Py_None);
    Ref label = Ref::steal(PyLong_FromLong(smallest));
    if (!array || !label) return false;
    Ref mask = Ref::steal(PyObject_RichCompare(labels, label.get(), Py_EQ));
    if (!mask) return false;
    // A NumPy that accepted the mask would leave a mean that no point can use.
    return static_cast<bool>(Ref::steal(PyObject_GetItem(array.get(), mask.get())));
}

// Turns every label below `threshold` (other than -1) into -1 and returns the
// indices of the points that are noise afterwards, in ascending order.
std::vector<Py_ssize_t> dissolve(const pyext::View1D<int32_t>& labels, Py_ssize_t n_points,
                                 int32_t threshold) {
    std::vector<Py_ssize_t> noise;
    for (Py_ssize_t i = 0; i < labels.size; ++i) {
        int32_t label = labels[i];
        if (label != kNoise && label < threshold) {
            labels.set(i, kNoise);
            label = kNoise;
        }
        if (label == kNoise && i < n_points) noise.push_back(i);
    }
    return noise;
}

// Groups the points by label with a counting sort over the cluster indices,
// which keeps each cluster's points in ascending order. Labels are mapped to
// cluster indices through a direct table when their span is no larger than
// the point count, and by binary search in the sorted distinct labels when it is.
Clusters group_clusters(const pyext::View1D<int32_t>& labels) {
    Clusters clusters;
    int32_t lowest = 0, highest = 0;
    bool any = false;
    labels.for_each([&](Py_ssize_t, int32_t label) {
        if (label == kNoise) return;
        if (!any || label < lowest) lowest = label;
        if (!any || label > highest) highest = label;
        any = true;
    });
    if (!any) return clusters;

    const int64_t span = int64_t{highest} - lowest + 1;
    const bool direct = span <= std::max<int64_t>(labels.size, 1024);
    std::vector<Py_ssize_t> table;
    if (direct) {
        table.assign(static_cast<size_t>(span), -1);
        labels.for_each([&](Py_ssize_t, int32_t label) {
            if (label != kNoise) table[static_cast<size_t>(int64_t{label} - lowest)] = 0;
        });
        for (int64_t k = 0; k < span; ++k) {
            if (table[static_cast<size_t>(k)] < 0) continue;
            table[static_cast<size_t>(k)] = static_cast<Py_ssize_t>(clusters.labels.size());
            clusters.labels.push_back(static_cast<int32_t>(lowest + k));
        }
    } else {
        labels.for_each([&](Py_ssize_t, int32_t label) {
            if (label != kNoise) clusters.labels.push_back(label);
        });
        std::sort(clusters.labels.begin(), clusters.labels.end());
        clusters.labels.erase(std::unique(clusters.labels.begin(), clusters.labels.end()),
                              clusters.labels.end());
    }
    auto cluster_of = [&](int32_t label) -> Py_ssize_t {
        if (direct) return table[static_cast<size_t>(int64_t{label} - lowest)];
        return std::lower_bound(clusters.labels.begin(), clusters.labels.end(), label) -
               clusters.labels.begin();
    };

    clusters.offsets.assign(clusters.labels.size() + 1, 0);
    labels.for_each([&](Py_ssize_t, int32_t label) {
        if (label != kNoise) ++clusters.offsets[static_cast<size_t>(cluster_of(label)) + 1];
    });
    for (size_t c = 1; c < clusters.offsets.size(); ++c)
        clusters.offsets[c] += clusters.offsets[c - 1];
    clusters.members.resize(static_cast<size_t>(clusters.offsets.back()));
    std::vector<Py_ssize_t> next(clusters.offsets.begin(), clusters.offsets.end() - 1);
    labels.for_each([&](Py_ssize_t i, int32_t label) {
        if (label != kNoise) clusters.members[static_cast<size_t>(next[static_cast<size_t>(cluster_of(label))]++)] = i;
    });
    return clusters;
}

// The (clusters, dims) table of centroids: row c is np.mean(rows, axis=0) of
// a fresh C-contiguous copy of cluster c's rows, in ascending point order.
Ref compute_centroids(pyext::Call& call, const Points& points, const Clusters& clusters) {
    Ref np = pyext::lookup_global(call.globals, names.np);
    if (!np) return {};
    Ref mean = Ref::steal(PyObject_GetAttr(np.get(), names.mean));
    Ref axis = Ref::steal(PyLong_FromLong(0));
    Ref centroids = new_double_array(clusters.count(), points.dims);
    if (!mean || !axis || !centroids) return {};
    const npy_intp centroid_shape[1] = {points.dims};

    for (Py_ssize_t c = 0; c < clusters.count(); ++c) {
        const Py_ssize_t first = clusters.offsets[static_cast<size_t>(c)];
        const Py_ssize_t count = clusters.offsets[static_cast<size_t>(c) + 1] - first;
        Ref rows = new_double_array(count, points.dims);
        if (!rows) return {};
        char* out = array_bytes(rows);
        for (Py_ssize_t r = 0; r < count; ++r)
            std::memcpy(out + r * static_cast<Py_ssize_t>(points.row_bytes()),
                        points.row(clusters.members[static_cast<size_t>(first + r)]),
                        points.row_bytes());

        PyObject* args[] = {rows.get(), axis.get()};
        Ref centroid = Ref::steal(PyObject_Vectorcall(mean.get(), args, 1, names.axis_keyword));
        if (!centroid || !check_double_array(centroid.get(), "np.mean", 1, centroid_shape)) return {};
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(centroid.get());
        const char* in = PyArray_BYTES(a);
        const Py_ssize_t in_stride = PyArray_STRIDE(a, 0);
        double* dst = reinterpret_cast<double*>(array_bytes(centroids)) + c * points.dims;
        for (Py_ssize_t k = 0; k < points.dims; ++k) std::memcpy(dst + k, in + k * in_stride, sizeof(double));
    }
    return centroids;
}

// pairwise([centroid c], [noise point i]): one single-pair call, as the
// point-by-point order makes them. Returns false with the metric's error.
bool call_pair(PyObject* dist_metric, const Points& points, const Ref& centroids, Py_ssize_t c, Py_ssize_t i) {
    const char* centroid = array_bytes(centroids) + c * static_cast<Py_ssize_t>(points.row_bytes());
    Ref x = new_double_vector(centroid, points.dims);
    Ref y = new_double_vector(points.row(i), points.dims);
    if (!x || !y) return false;
    Ref x_list = Ref::steal(PyList_New(1));
    Ref y_list = Ref::steal(PyList_New(1));
    if (!x_list || !y_list) return false;
    PyList_SET_ITEM(x_list.get(), 0, x.release());
    PyList_SET_ITEM(y_list.get(), 0, y.release());
    return static_cast<bool>(pyext::call_method(dist_metric, names.pairwise, x_list.get(), y_list.get()));
}

// The single-pair calls at which the point-by-point order of calls (noise
// points ascending, centroids ascending within each) would first fail: its
// very first call, where whatever the metric refuses about the data as a whole
// shows, and then the first pair that holds a non-finite coordinate, if any.
// Whatever scikit-learn refuses there it raises exactly as for that pair, not
// for a whole batch.
bool probe_pairs(PyObject* dist_metric, const Points& points, const Ref& centroids,
                 Py_ssize_t n_centroids, const std::vector<Py_ssize_t>& noise) {
    const Py_ssize_t first_point = noise.front();
    if (!call_pair(dist_metric, points, centroids, 0, first_point)) return false;
    if (!all_finite(points.row(first_point), points.dims)) return true;  // that was the pair

    const char* table = array_bytes(centroids);
    const Py_ssize_t centroid_bytes = static_cast<Py_ssize_t>(points.row_bytes());
    for (Py_ssize_t c = 0; c < n_centroids; ++c)
        if (!all_finite(table + c * centroid_bytes, points.dims))
            return c == 0 || call_pair(dist_metric, points, centroids, c, first_point);
    for (Py_ssize_t i : noise)
        if (!all_finite(points.row(i), points.dims)) return call_pair(dist_metric, points, centroids, 0, i);
    return true;
}

// Gives every noise point the label of its nearest centroid: the first in
// ascending label order with a distance strictly below all before it, starting
// from +inf, so ties go to the smallest label and NaN or +inf never win. A
// point with no winner stays -1. Distances come from `pairwise(centroids,
// chunk)` over chunks of noise rows small enough to keep a chunk within
// kChunkBytes.
bool assign_noise(PyObject* dist_metric, const Points& points, const Ref& centroids,
                  const Clusters& clusters, const std::vector<Py_ssize_t>& noise,
                  const pyext::View1D<int32_t>& labels) {
    const Py_ssize_t n_centroids = clusters.count();
    const Py_ssize_t n_noise = static_cast<Py_ssize_t>(noise.size());
    const Py_ssize_t bytes_per_row = static_cast<Py_ssize_t>(sizeof(double)) * (n_centroids + points.dims);
    const Py_ssize_t chunk_rows = std::min(n_noise, std::max<Py_ssize_t>(1, kChunkBytes / bytes_per_row));
    std::vector<double> best_distance(static_cast<size_t>(chunk_rows));
    std::vector<Py_ssize_t> best_cluster(static_cast<size_t>(chunk_rows));

    for (Py_ssize_t start = 0; start < n_noise; start += chunk_rows) {
        const Py_ssize_t rows = std::min(chunk_rows, n_noise - start);
        Ref chunk = new_double_array(rows, points.dims);
        if (!chunk) return false;
        char* out = array_bytes(chunk);
        for (Py_ssize_t j = 0; j < rows; ++j)
            std::memcpy(out + j * static_cast<Py_ssize_t>(points.row_bytes()),
                        points.row(noise[static_cast<size_t>(start + j)]), points.row_bytes());

        const npy_intp expected[2] = {n_centroids, rows};
        Ref distances = pyext::call_method(dist_metric, names.pairwise, centroids.get(), chunk.get());
        if (distances) distances = read_distances(std::move(distances), expected);
        if (!distances) return false;

        PyArrayObject* d = reinterpret_cast<PyArrayObject*>(distances.get());
        const char* base = PyArray_BYTES(d);
        const Py_ssize_t row_stride = PyArray_STRIDE(d, 0);
        const Py_ssize_t col_stride = PyArray_STRIDE(d, 1);
        std::fill_n(best_distance.begin(), rows, std::numeric_limits<double>::infinity());
        std::fill_n(best_cluster.begin(), rows, Py_ssize_t{-1});
        for (Py_ssize_t c = 0; c < n_centroids; ++c) {
            const char* row = base + c * row_stride;
            for (Py_ssize_t j = 0; j < rows; ++j) {
                double dist;
                std::memcpy(&dist, row + j * col_stride, sizeof(double));
                if (dist < best_distance[static_cast<size_t>(j)]) {
                    best_distance[static_cast<size_t>(j)] = dist;
                    best_cluster[static_cast<size_t>(j)] = c;
                }
            }
        }
        for (Py_ssize_t j = 0; j < rows; ++j) {
            const Py_ssize_t c = best_cluster[static_cast<size_t>(j)];
            labels.set(noise[static_cast<size_t>(start + j)],
                       c < 0 ? kNoise : clusters.labels[static_cast<size_t>(c)]);
        }
    }
    return true;
}

PyObject* postprocess(pyext::Call& call, const Points& points, PyObject* labels_in,
                      Py_ssize_t labels_in_size, PyObject* metric, int32_t p, int32_t threshold) {
    // One label per row, or nothing below may read or write past either array.
    if (points.given && labels_in != Py_None && labels_in_size != points.rows) {
        PyErr_Format(PyExc_ValueError, "labels_in has %zd labels but points has %zd rows",
                     labels_in_size, points.rows);
        return nullptr;
    }

    Ref labels = pyext::call_method(labels_in, names.copy);
    if (!labels) return nullptr;
    if (!pyext::is_ndarray(labels.get())) {
        pyext::raise_cannot_convert(labels.get());
        return nullptr;
    }
    // Held until we return, which also pins the copy's memory.
    pyext::Buffer labels_buffer;
    if (!labels_buffer.acquire(labels.get(), PyBUF_WRITABLE, 1, pyext::kInt)) return nullptr;
    const pyext::View1D<int32_t> view = labels_buffer.view1d<int32_t>();
    if (points.given && view.size != points.rows) {
        PyErr_Format(PyExc_ValueError, "labels_in.copy() has %zd labels but points has %zd rows",
                     view.size, points.rows);
        return nullptr;
    }

    Ref dist_metric = make_metric(call, metric, p);
    if (!dist_metric) return nullptr;
    if (!points.given && !mask_missing_points(call, labels.get(), view)) return nullptr;

    const std::vector<Py_ssize_t> noise = dissolve(view, points.rows, threshold);
    if (noise.empty()) return labels.release();
    const Clusters clusters = group_clusters(view);
    if (clusters.count() == 0) return labels.release();

    Ref centroids = compute_centroids(call, points, clusters);
    if (!centroids) return nullptr;
    if (!probe_pairs(dist_metric.get(), points, centroids, clusters.count(), noise)) return nullptr;
    if (!assign_noise(dist_metric.get(), points, centroids, clusters, noise, view)) return nullptr;
    return labels.release();
}

PyObject* kelvo_postprocess(pyext::Call& call, PyObject* const* args) {
    PyObject* points_arg = args[0];
    PyObject* labels_in = args[1];
    PyObject* metric = args[2] ? args[2] : names.minkowski;

    pyext::Buffer points_buffer;
    Points points;
    if (points_arg != Py_None) {
        if (!points_buffer.acquire(points_arg, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS, 2, pyext::kDouble,
                                   /*c_contiguous=*/true))
            return nullptr;
        const Py_buffer& b = points_buffer.view();
        points = Points{static_cast<const char*>(b.buf), b.shape[0], b.shape[1],
                        b.shape[1] * static_cast<Py_ssize_t>(sizeof(double)), true};
    }
    int32_t p = kDefaultP;
    if (args[3] && !pyext::to_int32(args[3], &p)) return nullptr;
    int32_t threshold = kDefaultThreshold;
    if (args[4] && !pyext::to_int32(args[4], &threshold)) return nullptr;
    if (!pyext::check_arg_type(call, labels_in, &PyArray_Type, /*exact=*/false, "labels_in")) return nullptr;
    if (!pyext::check_arg_type(call, metric, &PyUnicode_Type, /*exact=*/true, "metric")) return nullptr;

    // Read-only and strided label arrays are fine: only their copy is written.
    pyext::Buffer labels_in_buffer;
    Py_ssize_t labels_in_size = 0;
    if (labels_in != Py_None) {
        if (!labels_in_buffer.acquire(labels_in, PyBUF_SIMPLE, 1, pyext::kInt)) return nullptr;
        labels_in_size = labels_in_buffer.view().shape[0];
    }
    return postprocess(call, points, labels_in, labels_in_size, metric, p, threshold);
}

const char* const kParams[] = {"points", "labels_in", "metric", "p", "threshold"};

const pyext::FunctionSpec kFunction = {
    "kelvo_postprocess", kModuleName, kDoc, kSourceFile, __LINE__,
    kParams, 5, 2, kelvo_postprocess,
};

int intern_names() {
    names.np = pyext::intern("np");
    names.distance_metric = pyext::intern("DistanceMetric");
    names.mean = pyext::intern("mean");
    names.array = pyext::intern("array");
    names.copy = pyext::intern("copy");
    names.get_metric = pyext::intern("get_metric");
    names.pairwise = pyext::intern("pairwise");
    names.minkowski = pyext::intern("minkowski");
    if (!names.np || !names.distance_metric || !names.mean || !names.array || !names.copy ||
        !names.get_metric || !names.pairwise || !names.minkowski)
        return -1;
    names.axis_keyword = Py_BuildValue("(s)", "axis");
    names.p_keyword = Py_BuildValue("(s)", "p");
    return names.axis_keyword && names.p_keyword ? 0 : -1;
}

// from sklearn.metrics import DistanceMetric
int import_distance_metric(PyObject* dict) {
    Ref metrics = Ref::steal(PyImport_ImportModule("sklearn.metrics"));
    if (!metrics) return -1;
    Ref value = Ref::steal(PyObject_GetAttr(metrics.get(), names.distance_metric));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Format(PyExc_ImportError, "cannot import name %S", names.distance_metric);
        return -1;
    }
    return PyDict_SetItem(dict, names.distance_metric, value.get());
}

int prepare(PyObject* dict) { return intern_names() < 0 ? -1 : import_distance_metric(dict); }

PyObject* make_defaults() { return Py_BuildValue("(Oii)", names.minkowski, kDefaultP, kDefaultThreshold); }

const pyext::ModuleSpec kModule = {"kelvo_postprocess", kModuleName, kSourceFile, &kFunction, prepare,
                                   make_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_kelvo_postprocess() {
    return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def);
}
