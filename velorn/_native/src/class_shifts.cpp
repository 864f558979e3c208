// class_shifts: the class shifts of a thresholding that keeps the classes at
// given shares of the rows. Each row takes the class with the largest score
// plus that class's shift (the first class on a tie); each round moves the
// shifts by step * (prior - shares). Rounds on many rows of few classes are
// far faster here than as NumPy calls; the arithmetic is NumPy's, step by
// step, so the shifts come out the same to the last bit.
#include "ref.hpp"
#include "convert.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"
#include "gil.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <queue>
#include <utility>
#include <stdexcept>
#include <vector>

namespace {

constexpr const char* kModuleName = "velorn._native.class_shifts";

constexpr const char* kDoc =
    "class_shifts(scores, prior, shifts, step, rounds) -> None\n"
    "\n"
    "    Adjusts `shifts` (a writable 1-D float64 ndarray of c finite values) in\n"
    "    place over `rounds` rounds: each row of `scores` (an (m, c) float64\n"
    "    ndarray, m >= 1, values finite or -inf, any strides) takes the class\n"
    "    with the largest score plus shift, the first on a tie; then\n"
    "    shifts += step * (prior - shares), with shares the classes' counts\n"
    "    divided by m and `prior` a 1-D float64 ndarray of c finite values.\n";

// A float64 ndarray of `dims` dimensions in native byte order; null with a
// TypeError otherwise.
PyArrayObject* float_array(PyObject* value, const char* what, int dims, bool writable) {
    PyArrayObject* a = pyext::is_ndarray(value) ? reinterpret_cast<PyArrayObject*>(value) : nullptr;
    if (!a || PyArray_NDIM(a) != dims || PyArray_TYPE(a) != NPY_FLOAT64 ||
        !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) || (writable && !PyArray_ISWRITEABLE(a))) {
        PyErr_Format(PyExc_TypeError, "%s must be a %s%d-D float64 ndarray", what, writable ? "writable " : "",
                     dims);
        return nullptr;
    }
    return a;
}

// A 1-D ndarray's c values, each finite; false with a ValueError otherwise.
bool copy_finite(PyArrayObject* a, const char* what, std::vector<double>* out) {
    const pyext::View1D<double> v{static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    for (Py_ssize_t k = 0; k < v.size; ++k) {
        if (!std::isfinite(v[k])) {
            PyErr_Format(PyExc_ValueError, "%s[%zd] is not finite", what, k);
            return false;
        }
        (*out)[static_cast<size_t>(k)] = v[k];
    }
    return true;
}

// Rows scored between two checks for signals: a millisecond or so.
constexpr uint64_t kRowsPerSignalCheck = uint64_t{1} << 20;

// The first class of largest score plus shift in a row of scores, and by
// how much it leads the next (+inf when no other class can win: the rest
// score -inf). Width 0: `width` as given; a width known when compiled keeps
// a row in registers.
struct Scan {
    size_t code;
    double best, second;
};

template <size_t Width>
Scan shifted_scan(const double* row, size_t width, const std::vector<double>& shifts) {
    if constexpr (Width != 0) width = Width;
    Scan scan{0, row[0] + shifts[0], -std::numeric_limits<double>::infinity()};
    for (size_t k = 1; k < width; ++k) {
        const double value = row[k] + shifts[k];
        if (value > scan.best) {
            scan.second = scan.best;
            scan.best = value;
            scan.code = k;
        } else if (value > scan.second) {
            scan.second = value;
        }
    }
    return scan;
}

// The rounds on the rows' scores side by side (m rows of c). A row's winner
// can only change once the differences between the shifts have moved by its
// lead since it was scanned, and each round moves them by at most its
// largest change less its smallest: so a row is scanned again only when
// that running bound reaches its lead (less room for rounding), from a
// queue in that order. The winners, and so the shifts, are those of
// scanning every row every round; near their shares, few rows are at stake
// in a round. Other threads run meanwhile: the rounds read and write only
// copies. False with the exception when a signal handler raises.
template <size_t Width>
bool rounds_of(const std::vector<double>& scores, size_t c, const std::vector<double>& prior, double step,
               uint64_t rounds, std::vector<double>& shifts) {
    const size_t m = scores.size() / c;
    constexpr double kRoundingRoom = 16 * std::numeric_limits<double>::epsilon();
    std::vector<int64_t> counts(c);
    std::vector<uint32_t> winner(m);
    using Due = std::pair<double, size_t>;  // (the bound at which to scan again, row)
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> queue;
    double moved = 0.0;  // the running bound on how far the shifts' differences have moved
    auto scan = [&](size_t i) {
        const Scan found = shifted_scan<Width>(scores.data() + i * c, c, shifts);
        winner[i] = static_cast<uint32_t>(found.code);
        const double lead = found.best - found.second;
        // Nothing can overtake it (the rest score -inf), or only shifts beyond any double.
        if (!(lead < std::numeric_limits<double>::infinity())) return;
        const double room = kRoundingRoom * (std::fabs(found.best) + std::fabs(found.second) + 2 * lead + moved);
        queue.emplace(moved + (lead - room), i);
    };
    std::vector<size_t> due;
    uint64_t rows_since_check = 0;
    pyext::ReleasedGil released;
    for (size_t i = 0; i < m; ++i) {
        scan(i);
        ++counts[winner[i]];
    }
    for (uint64_t r = 0; r < rounds; ++r) {
        due.clear();
        while (r > 0 && !queue.empty() && queue.top().first <= moved) {
            due.push_back(queue.top().second);
            queue.pop();
        }
        rows_since_check += due.size() + 1;
        if (rows_since_check >= kRowsPerSignalCheck) {
            rows_since_check = 0;
            if (!released.signals_checked()) return false;
        }
        for (const size_t i : due) {
            const uint32_t before = winner[i];
            scan(i);
            --counts[before];
            ++counts[winner[i]];
        }
        double largest = -std::numeric_limits<double>::infinity(), smallest = -largest, widest = 0.0;
        for (size_t k = 0; k < c; ++k) {
            const double change = step * (prior[k] - static_cast<double>(counts[k]) / static_cast<double>(m));
            shifts[k] += change;
            largest = std::max(largest, change);
            smallest = std::min(smallest, change);
            widest = std::max(widest, std::fabs(shifts[k]));
        }
        // The sums' rounding moves each shift by up to an ulp beyond its change.
        moved += ((largest - smallest) + 2 * std::numeric_limits<double>::epsilon() * widest) * (1 + kRoundingRoom);
    }
    return true;
}

PyObject* class_shifts(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    double step = 0.0;
    uint64_t rounds = 0;
    if (!pyext::to_double(args[3], &step) || !pyext::index_to_size_t(args[4], &rounds)) return nullptr;
    if (!std::isfinite(step)) {
        PyErr_SetString(PyExc_ValueError, "step must be finite");
        return nullptr;
    }
    PyArrayObject* scores = float_array(args[0], "scores", 2, false);
    if (!scores) return nullptr;
    PyArrayObject* prior = float_array(args[1], "prior", 1, false);
    if (!prior) return nullptr;
    PyArrayObject* shifts = float_array(args[2], "shifts", 1, true);
    if (!shifts) return nullptr;
    const Py_ssize_t m = PyArray_DIM(scores, 0), c = PyArray_DIM(scores, 1);
    if (m < 1 || c < 1) {
        PyErr_Format(PyExc_ValueError, "scores has shape (%zd, %zd); it needs a row and a class", m, c);
        return nullptr;
    }
    if (PyArray_DIM(prior, 0) != c || PyArray_DIM(shifts, 0) != c) {
        PyErr_Format(PyExc_ValueError, "prior has %zd values and shifts %zd, but scores has %zd classes",
                     static_cast<Py_ssize_t>(PyArray_DIM(prior, 0)), static_cast<Py_ssize_t>(PyArray_DIM(shifts, 0)),
                     c);
        return nullptr;
    }
    try {
        std::vector<double> rows(static_cast<size_t>(m) * static_cast<size_t>(c));
        const pyext::View2D<double> given = pyext::view2d_of<double>(scores);
        for (Py_ssize_t i = 0; i < m; ++i) {
            const pyext::View1D<double> row = given.row(i);
            for (Py_ssize_t k = 0; k < c; ++k) {
                const double value = row[k];
                if (!(value < std::numeric_limits<double>::infinity())) {  // NaN fails too
                    PyErr_Format(PyExc_ValueError, "scores[%zd, %zd] is NaN or +inf; scores must be finite or -inf",
                                 i, k);
                    return nullptr;
                }
                rows[static_cast<size_t>(i * c + k)] = value;
            }
        }
        std::vector<double> prior_values(static_cast<size_t>(c)), shift_values(static_cast<size_t>(c));
        if (!copy_finite(prior, "prior", &prior_values) || !copy_finite(shifts, "shifts", &shift_values))
            return nullptr;
        const size_t width = static_cast<size_t>(c);
        bool done = false;
        switch (width) {
        case 2: done = rounds_of<2>(rows, width, prior_values, step, rounds, shift_values); break;
        case 3: done = rounds_of<3>(rows, width, prior_values, step, rounds, shift_values); break;
        case 4: done = rounds_of<4>(rows, width, prior_values, step, rounds, shift_values); break;
        case 5: done = rounds_of<5>(rows, width, prior_values, step, rounds, shift_values); break;
        case 6: done = rounds_of<6>(rows, width, prior_values, step, rounds, shift_values); break;
        case 7: done = rounds_of<7>(rows, width, prior_values, step, rounds, shift_values); break;
        case 8: done = rounds_of<8>(rows, width, prior_values, step, rounds, shift_values); break;
        case 9: done = rounds_of<9>(rows, width, prior_values, step, rounds, shift_values); break;
        case 10: done = rounds_of<10>(rows, width, prior_values, step, rounds, shift_values); break;
        default: done = rounds_of<0>(rows, width, prior_values, step, rounds, shift_values); break;
        }
        if (!done) return nullptr;
        // A signal handler may have reshaped or replaced the array's memory:
        // it is checked and its layout taken again before it is written.
        // Through a view: the array may have any stride and alignment.
        shifts = float_array(args[2], "shifts", 1, true);
        if (!shifts) return nullptr;
        if (PyArray_DIM(shifts, 0) != c) {
            PyErr_SetString(PyExc_ValueError, "shifts changed shape during the rounds");
            return nullptr;
        }
        const pyext::View1D<double> out{static_cast<char*>(PyArray_DATA(shifts)), PyArray_DIM(shifts, 0),
                                        PyArray_STRIDE(shifts, 0)};
        for (Py_ssize_t k = 0; k < c; ++k) out.set(k, shift_values[static_cast<size_t>(k)]);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const kParams[] = {"scores", "prior", "shifts", "step", "rounds"};

const pyext::FunctionSpec kFunction = {
    "class_shifts", kModuleName, kDoc, "velorn/_native/src/class_shifts.cpp", __LINE__,
    kParams, 5, 5, class_shifts,
};

// (scores + shifts).argmax(axis=1) as NumPy takes it (the first largest; a
// NaN, the first one, counts as largest), a row at a time: NumPy's argmax
// along short rows, or a class at a time down the columns, reads the whole
// table once per class.
PyObject* shifted_argmax(pyext::Call&, PyObject* const* args) {
    PyArrayObject* scores = float_array(args[0], "scores", 2, false);
    if (!scores) return nullptr;
    PyArrayObject* shifts = float_array(args[1], "shifts", 1, false);
    if (!shifts) return nullptr;
    const Py_ssize_t m = PyArray_DIM(scores, 0), c = PyArray_DIM(scores, 1);
    if (c < 1 || PyArray_DIM(shifts, 0) != c) {
        PyErr_Format(PyExc_ValueError, "scores has %zd classes and shifts %zd values; they need the same, at least 1",
                     c, static_cast<Py_ssize_t>(PyArray_DIM(shifts, 0)));
        return nullptr;
    }
    npy_intp size = m;
    pyext::Ref codes = pyext::Ref::steal(PyArray_SimpleNew(1, &size, NPY_INTP));
    if (!codes) return nullptr;
    // The allocation may have run a collection, and with it Python code.
    if (PyArray_DIM(scores, 0) != m || PyArray_DIM(scores, 1) != c || PyArray_DIM(shifts, 0) != c) {
        PyErr_SetString(PyExc_ValueError, "scores or shifts changed shape during the call");
        return nullptr;
    }
    // No Python code runs from here on: the arrays are read as they are now.
    const pyext::View2D<double> table = pyext::view2d_of<double>(scores);
    const pyext::View1D<double> shift{static_cast<char*>(PyArray_DATA(shifts)), c, PyArray_STRIDE(shifts, 0)};
    npy_intp* out = static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes.get())));
    std::vector<double> shift_values(static_cast<size_t>(c));
    for (Py_ssize_t k = 0; k < c; ++k) shift_values[static_cast<size_t>(k)] = shift[k];
    for (Py_ssize_t i = 0; i < m; ++i) {
        const char* row = table.row_data(i);
        double best = table.in_row(row, 0) + shift_values[0];
        npy_intp code = 0;
        // Without branches: which class wins is unpredictable from row to row.
        for (Py_ssize_t k = 1; k < c; ++k) {
            const double value = table.in_row(row, k) + shift_values[static_cast<size_t>(k)];
            const bool take = (value > best || value != value) && best == best;
            best = take ? value : best;
            code = take ? k : code;
        }
        out[i] = code;
    }
    return codes.release();
}

const char* const kArgmaxParams[] = {"scores", "shifts"};

constexpr const char* kArgmaxDoc =
    "shifted_argmax(scores, shifts) -> codes\n"
    "\n"
    "    (scores + shifts).argmax(axis=1), as NumPy gives it (the first largest,\n"
    "    a NaN counting as largest): `scores` an (m, c) float64 ndarray (any\n"
    "    strides), `shifts` a 1-D float64 ndarray of c values. Returns m intp\n"
    "    codes.\n";

const pyext::FunctionSpec kArgmaxFunction = {
    "shifted_argmax", kModuleName, kArgmaxDoc, "velorn/_native/src/class_shifts.cpp", __LINE__,
    kArgmaxParams, 2, 2, shifted_argmax,
};

int prepare(PyObject* dict) {
    pyext::Ref function = pyext::make_function(kArgmaxFunction, pyext::module_state.module, Py_None);
    return function ? PyDict_SetItemString(dict, kArgmaxFunction.name, function.get()) : -1;
}

const pyext::ModuleSpec kModule = {"class_shifts", kModuleName,
                                   "velorn/_native/src/class_shifts.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_class_shifts() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }
