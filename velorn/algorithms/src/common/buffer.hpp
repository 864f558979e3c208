// Held buffers and typed views: Buffer requests an object's buffer, checks
// its dimensions and element type, and keeps it held until released (on
// success and failure alike); View1D / View2D read and write its elements
// by index and stride, correct at any alignment, with a unit-stride fast path.
//
// Relies on buffer_format.hpp for the element type checks.
#pragma once

#include "buffer_format.hpp"

#include <cstring>

namespace pyext {
namespace {

template <class T>
struct View1D {
    char* data = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(T));

    // memcpy keeps unaligned buffers well defined; it compiles to a plain load.
    T operator[](Py_ssize_t i) const {
        T v;
        std::memcpy(&v, data + i * stride, sizeof(T));
        return v;
    }
    void set(Py_ssize_t i, T v) const { std::memcpy(data + i * stride, &v, sizeof(T)); }
    bool unit_stride() const { return stride == static_cast<Py_ssize_t>(sizeof(T)); }

    // Calls f(i, value) for every element, with the stride fixed at compile
    // time when the data is contiguous.
    template <class F>
    void for_each(F&& f) const {
        if (unit_stride()) {
            for (Py_ssize_t i = 0; i < size; ++i) {
                T v;
                std::memcpy(&v, data + i * static_cast<Py_ssize_t>(sizeof(T)), sizeof(T));
                f(i, v);
            }
        } else {
            for (Py_ssize_t i = 0; i < size; ++i) f(i, (*this)[i]);
        }
    }
};

template <class T>
struct View2D {
    char* data = nullptr;
    Py_ssize_t rows = 0, cols = 0;
    Py_ssize_t row_stride = 0, col_stride = static_cast<Py_ssize_t>(sizeof(T));

    View1D<T> row(Py_ssize_t i) const {
        return View1D<T>{data + i * row_stride, cols, col_stride};
    }
};

// ---------------------------------------------------------------------------
// Held buffers

class Buffer {
public:
    Buffer() { std::memset(&view_, 0, sizeof(view_)); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
        std::memset(&view_, 0, sizeof(view_));
    }

    // Requests obj's buffer with `flags` and checks that it has `ndim`
    // dimensions of `type` items with direct access (and C order when asked).
    // The exporter's own refusal is passed on unchanged.
    bool acquire(PyObject* obj, int flags, int ndim, const ElemType& type,
                 bool c_contiguous = false) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags | PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
            std::memset(&view_, 0, sizeof(view_));
            return false;
        }
        held_ = true;
        if (validate(ndim, type, c_contiguous)) return true;
        release();
        return false;
    }

    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

    template <class T>
    View1D<T> view1d() const {
        if (!held_) return {};
        return View1D<T>{static_cast<char*>(view_.buf), view_.shape[0], view_.strides[0]};
    }
    template <class T>
    View2D<T> view2d() const {
        if (!held_) return {};
        return View2D<T>{static_cast<char*>(view_.buf), view_.shape[0], view_.shape[1],
                         view_.strides[0], view_.strides[1]};
    }

private:
    bool validate(int ndim, const ElemType& type, bool c_contiguous) {
        if (view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)",
                         ndim, view_.ndim);
            return false;
        }
        if (!check_format(view_.format, type)) return false;
        if (view_.itemsize != type.size) {
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         view_.itemsize, view_.itemsize == 1 ? "" : "s", type.name, type.size,
                         type.size == 1 ? "" : "s");
            return false;
        }
        if (view_.suboffsets) {
            if (!view_.strides) {
                PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
                return false;
            }
            for (int d = 0; d < ndim; ++d) {
                if (view_.suboffsets[d] >= 0) {
                    PyErr_Format(PyExc_ValueError,
                                 "Buffer not compatible with direct access in dimension %d.", d);
                    return false;
                }
            }
        }
        if (!view_.strides) {
            PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
            return false;
        }
        if (c_contiguous) {
            Py_ssize_t expected = view_.itemsize;
            for (int d = ndim - 1; d >= 0; --d) {
                if (view_.shape[d] > 1 && view_.strides[d] != expected) {
                    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
                    return false;
                }
                expected *= view_.shape[d];
            }
        }
        return true;
    }

    Py_buffer view_;
    bool held_ = false;
};

}  // namespace
}  // namespace pyext
