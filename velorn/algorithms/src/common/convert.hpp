// Number conversions of arguments: the small-int fast path, to int32, to an
// unsigned 64-bit count (through __int__, or by operator.index's rule) and to double, with the messages callers know ("an integer is required", ...).
//
// Relies on ref.hpp.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace pyext {
namespace {

// An exact int that fits a machine word, read in place: the fast path for the
// small ids and row numbers that callers pass nearly always. False for
// anything else, which then takes the full conversion.
inline bool compact_int(PyObject* o, int64_t* out) {
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    return true;
}

// The object as a Python int: ints as they are, anything else through its
// type's __int__ (so floats truncate toward zero); strings and None refused.
inline Ref as_int_object(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref r = Ref::steal(nb->nb_int(o));
    if (!r || PyLong_CheckExact(r.get())) return r;
    if (PyLong_Check(r.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                "__int__ returned non-int (type %.200s).  The ability to return an "
                "instance of a strict subclass of int is deprecated, and may be "
                "removed in a future version of Python.",
                Py_TYPE(r.get())->tp_name) < 0)
            return {};
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)",
                 "int", "int", Py_TYPE(r.get())->tp_name);
    return {};
}

inline bool to_int32(PyObject* o, int32_t* out) {
    Ref v = as_int_object(o);
    if (!v) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || x < INT32_MIN || x > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(x);
    return true;
}

// An int as an unsigned 64-bit count; OverflowError when negative or too large.
inline bool int_to_size_t(const Ref& v, uint64_t* out) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && x < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
        return false;
    }
    if (overflow == 0) {
        *out = static_cast<uint64_t>(x);
        return true;
    }
    unsigned long u = PyLong_AsUnsignedLong(v.get());
    if (u == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    *out = u;
    return true;
}

inline bool to_size_t(PyObject* o, uint64_t* out) {
    Ref v = as_int_object(o);
    return v && int_to_size_t(v, out);
}

// A count under Python's own rule for integers (operator.index): ints and
// objects with __index__ are taken, floats and the like refused with a
// TypeError rather than cut to an int.
inline bool index_to_size_t(PyObject* o, uint64_t* out) {
    int64_t small = 0;
    if (compact_int(o, &small) && small >= 0) {
        *out = static_cast<uint64_t>(small);
        return true;
    }
    Ref v = Ref::steal(PyNumber_Index(o));
    return v && int_to_size_t(v, out);
}

inline bool to_double(PyObject* o, double* out) {
    double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

}  // namespace
}  // namespace pyext
