// NumPy arrays met as values: the check that a value is an ndarray (with the
// error when it is not), 2-D tables as View2D, ResizeGuard, which keeps an
// argument's memory in place across calls out, and ArrayRow, a 1-D row of an
// array returned by Python code, read in place when it is a plain
// native-order ndarray of the right type and through a held buffer otherwise.
//
// Relies on buffer.hpp, and on NumPy's C API, which the module binds at
// import (module.hpp).
#pragma once

#include "buffer.hpp"

#include <numpy/arrayobject.h>

#include <new>
#include <utility>
#include <vector>

namespace pyext {
namespace {

inline const char* ndarray_type_name() { return PyArray_Type.tp_name; }

// A value that had to be an ndarray but is not.
inline void raise_cannot_convert(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 Py_TYPE(value)->tp_name, ndarray_type_name());
}

inline bool is_ndarray(PyObject* o) { return PyObject_TypeCheck(o, &PyArray_Type); }

// Whether a NumPy dtype is read exactly like `type` through the buffer protocol.
inline bool dtype_matches(PyArray_Descr* d, const ElemType& type) {
    if (PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d) || !PyArray_ISNBO(d->byteorder))
        return false;
    if (static_cast<Py_ssize_t>(PyDataType_ELSIZE(d)) != type.size) return false;
    switch (type.group) {
    case 'I': return d->kind == 'i';
    case 'U': return d->kind == 'u' || d->kind == 'b';
    case 'R': return d->kind == 'f';
    default: return false;
    }
}

// A 2-D ndarray of T as a View2D over its data, as it is now: take it after
// the last call out to Python code that could reshape the array.
template <class T, bool kUnitColumns = false>
View2D<T, kUnitColumns> view2d_of(PyArrayObject* a) {
    return {static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0),
            PyArray_STRIDE(a, 1)};
}

// Whether the entries of each row of a 2-D ndarray of T lie side by side.
template <class T>
bool has_unit_columns(PyArrayObject* a) {
    return PyArray_DIM(a, 1) <= 1 || PyArray_STRIDE(a, 1) == static_cast<npy_intp>(sizeof(T));
}

// Keeps the memory of the arrays it holds where it is while Python code may
// run in the middle of a call (a signal handler, a metric): NumPy moves an
// array's memory only when it resizes the array that owns it, and refuses to
// resize an array that a weak reference names, even with refcheck=False.
// So each ndarray down an argument's chain of bases, to the owner, gets a
// weak reference for as long as this object lives. Other objects are left
// alone: bytearray, array.array and the like refuse to resize while a buffer
// of theirs is held, as NumPy's view of them holds one.
class ResizeGuard {
public:
    // False with the error set when a weak reference cannot be made.
    bool hold(PyObject* o) {
        while (o) {
            if (is_ndarray(o)) {
                Ref pin = Ref::steal(PyWeakref_NewRef(o, nullptr));
                if (!pin) return false;
                try {
                    pins_.push_back(std::move(pin));
                } catch (const std::bad_alloc&) {
                    PyErr_NoMemory();
                    return false;
                }
                o = PyArray_BASE(reinterpret_cast<PyArrayObject*>(o));
            } else if (PyMemoryView_Check(o) && PyMemoryView_GET_BUFFER(o)->obj != o) {
                o = PyMemoryView_GET_BUFFER(o)->obj;
            } else {
                return true;
            }
        }
        return true;
    }

private:
    std::vector<Ref> pins_;
};

// A 1-D row of `T` owned by this object: read straight from the array when it
// is a plain native-order ndarray of the right type, otherwise through a held
// buffer so that every refusal carries the buffer protocol's message.
template <class T>
class ArrayRow {
public:
    // Takes ownership of `value` (which may be null after a failed call).
    bool load(Ref value, const ElemType& type, bool writable = false) {
        owner_ = std::move(value);
        type_ = &type;
        writable_ = writable;
        buffer_.release();
        return take_view();
    }

    // Takes the data pointer, length and stride again. Python code run since
    // load() may have reshaped or restrided an array read directly, so do this
    // after the last call out before reading. A held buffer stays as it is.
    bool reload() { return buffer_.held() || take_view(); }

    const View1D<T>& view() const { return view_; }
    PyObject* object() const { return owner_.get(); }
    void clear() {
        buffer_.release();
        owner_.reset();
        view_ = {};
    }

private:
    bool take_view() {
        view_ = {};
        const ElemType& type = *type_;
        bool writable = writable_;
        PyObject* o = owner_.get();
        if (!o) return false;
        if (!is_ndarray(o)) {
            raise_cannot_convert(o);
            return false;
        }
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
        PyBufferProcs* procs = Py_TYPE(o)->tp_as_buffer;
        bool plain = procs && procs->bf_getbuffer == PyArray_Type.tp_as_buffer->bf_getbuffer;
        if (plain && PyArray_NDIM(a) == 1 && dtype_matches(PyArray_DESCR(a), type) &&
            (!writable || PyArray_ISWRITEABLE(a))) {
            view_ = View1D<T>{static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0),
                              PyArray_STRIDE(a, 0)};
            return true;
        }
        if (!buffer_.acquire(o, writable ? PyBUF_WRITABLE : 0, 1, type)) return false;
        view_ = buffer_.view1d<T>();
        return true;
    }

    Ref owner_;
    Buffer buffer_;
    View1D<T> view_;
    const ElemType* type_ = &kInt;
    bool writable_ = false;
};

}  // namespace
}  // namespace pyext
