// Owned references: Ref, the one owner of a PyObject*, released on every
// path, and the few helpers that hand out references: interned names, a
// module's globals looked up at the moment of use, and method calls.
//
// Relies on the CPython C API only. It includes Python.h, which must precede
// the standard headers, so the other headers of the layer include it first.
//
// The whole layer is header-only and wrapped in an anonymous namespace on
// purpose: every module compiles its own private copy, so the modules share
// no code or state at run time. Each module is a single translation unit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyext {
namespace {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return steal(o); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() { PyObject* o = p_; p_ = nullptr; return o; }
    void reset() { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// The variable `name` of a module namespace, then of the builtins, looked up
// at the moment of use so that callers may rebind it.
inline Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (!v && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (!v && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(v);
}

inline PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

template <class... A>
inline Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* stack[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(A), nullptr));
}

}  // namespace
}  // namespace pyext
