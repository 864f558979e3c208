// GraphWrapper's argument conversion: row numbers, values looked up in a
// row and values appended to one, each converted before the rows are read
// (the conversion may run Python code that re-enters the container).
//
// Relies on ref.hpp and convert.hpp; included by graph_wrapper.cpp only.
#pragma once

#include "ref.hpp"
#include "convert.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using pyext::Ref;

// A row number, converted without checking its range: the range is checked
// against the row count after every argument has been converted.
struct RowNumber {
    Py_ssize_t value = -1;  // -1 also stands for any number out of Py_ssize_t's range
    PyObject* shown = nullptr;  // the caller's object, for messages
};

inline bool convert_row(PyObject* o, RowNumber* out) {
    out->shown = o;
    int64_t small = 0;
    if (pyext::compact_int(o, &small)) {
        out->value = small >= 0 ? static_cast<Py_ssize_t>(small) : -1;
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

inline bool check_row(const RowNumber& row, Py_ssize_t num_rows) {
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

inline bool lookup_double(PyObject* o, double* out, bool* possible) {
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

inline bool convert_lookup(PyObject* o, Lookup<int64_t>* out) {
    if (pyext::compact_int(o, &out->value)) {
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
inline float to_float32(double d) {
    constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // FLT_MAX plus half its last place
    if (d >= kRoundsToInfinity) return std::numeric_limits<float>::infinity();
    if (d <= -kRoundsToInfinity) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

// Weights are compared in the rows' own precision: the value rounded to float32.
inline bool convert_lookup(PyObject* o, Lookup<float>* out) {
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

inline bool convert_id(PyObject* o, Appendable* out) {
    out->object = Ref::steal(PyNumber_Index(o));
    if (!out->object) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(out->object.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    out->id = overflow ? -1 : v;
    return true;
}

inline bool convert_weight(PyObject* o, Appendable* out) {
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

}  // namespace
