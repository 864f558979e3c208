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
    static constexpr int kMaxDims = 2;

    Buffer() { clear(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    void release() {
        if (held_) {
            PyBuffer_Release(&exported_);
            held_ = false;
        }
        clear();
    }

    // Requests obj's buffer with `flags` and checks that it has `ndim` (at
    // most kMaxDims) dimensions of `type` items with direct access (and C
    // order when asked). The exporter's own refusal is passed on unchanged.
    bool acquire(PyObject* obj, int flags, int ndim, const ElemType& type,
                 bool c_contiguous = false) {
        release();
        if (ndim > kMaxDims) {
            PyErr_Format(PyExc_SystemError, "a held buffer has at most %d dimensions", kMaxDims);
            return false;
        }
        if (PyObject_GetBuffer(obj, &exported_, flags | PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
            clear();
            return false;
        }
        held_ = true;
        if (validate(ndim, type, c_contiguous)) return true;
        release();
        return false;
    }

    bool held() const { return held_; }

    // The buffer as its exporter described it, except that shape and strides
    // are always there: an exporter may leave the strides of C-contiguous
    // memory out, and then they are those that C order implies.
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
    void clear() {
        std::memset(&exported_, 0, sizeof(exported_));
        std::memset(&view_, 0, sizeof(view_));
    }

    bool validate(int ndim, const ElemType& type, bool c_contiguous) {
        const Py_buffer& b = exported_;
        if (b.ndim != ndim) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)",
                         ndim, b.ndim);
            return false;
        }
        if (!check_format(b.format, type)) return false;
        if (b.itemsize != type.size) {
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         b.itemsize, b.itemsize == 1 ? "" : "s", type.name, type.size,
                         type.size == 1 ? "" : "s");
            return false;
        }
        if (b.suboffsets) {
            if (!b.strides) {
                PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
                return false;
            }
            for (int d = 0; d < ndim; ++d) {
                if (b.suboffsets[d] >= 0) {
                    PyErr_Format(PyExc_ValueError,
                                 "Buffer not compatible with direct access in dimension %d.", d);
                    return false;
                }
            }
        }
        // Every request asks for the shape; an exporter that gives none is broken.
        if (!b.shape) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes no shape");
            return false;
        }
        view_ = b;
        view_.format = b.format ? b.format : const_cast<char*>("B");
        view_.shape = shape_;
        view_.strides = strides_;
        Py_ssize_t c_stride = b.itemsize;
        for (int d = ndim - 1; d >= 0; --d) {
            shape_[d] = b.shape[d];
            strides_[d] = b.strides ? b.strides[d] : c_stride;
            if (c_contiguous && shape_[d] > 1 && strides_[d] != c_stride) {
                PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
                return false;
            }
            c_stride *= shape_[d];
        }
        return true;
    }

    Py_buffer exported_;  // as the exporter filled it in; released as it is
    Py_buffer view_;      // the same, with our shape and strides
    Py_ssize_t shape_[kMaxDims] = {};
    Py_ssize_t strides_[kMaxDims] = {};
    bool held_ = false;
};

}  // namespace
}  // namespace pyext
