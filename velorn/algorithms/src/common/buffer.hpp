// Held buffers and typed views: Buffer requests an object's buffer, checks
// its dimensions and element type, and keeps it held until released (on
// success and failure alike); View1D / View2D read and write its elements
// by index and stride, correct at any alignment, with a unit-stride fast path;
// HeldExport hands a held buffer on to Python code as an object that exports
// that very memory.
//
// Relies on buffer_format.hpp for the element type checks, and on ref.hpp.
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

// A 2-D table of T, read by index at any stride and alignment. With
// kUnitColumns the entries of a row are known to lie side by side, which lets
// the compiler keep a row in registers (see has_unit_columns in ndarray.hpp).
template <class T, bool kUnitColumns = false>
struct View2D {
    char* data = nullptr;
    Py_ssize_t rows = 0, cols = 0;
    Py_ssize_t row_stride = 0, col_stride = static_cast<Py_ssize_t>(sizeof(T));

    View1D<T> row(Py_ssize_t i) const {
        return View1D<T>{data + i * row_stride, cols, col_stride};
    }
    const char* row_data(Py_ssize_t i) const { return data + i * row_stride; }
    T in_row(const char* row, Py_ssize_t j) const {
        T v;
        const Py_ssize_t step = kUnitColumns ? static_cast<Py_ssize_t>(sizeof(T)) : col_stride;
        std::memcpy(&v, row + j * step, sizeof(T));
        return v;
    }
    T at(Py_ssize_t i, Py_ssize_t j) const { return in_row(row_data(i), j); }
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

    // Hands the held buffer over to a new object that exports exactly this
    // memory and releases the buffer when it dies (HeldExport below). This
    // Buffer holds nothing afterwards. Null with the error set on failure,
    // and then the buffer is still held here.
    Ref hand_over();

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
        view_.suboffsets = nullptr;  // none, or all negative: direct access
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

// ---------------------------------------------------------------------------
// A held buffer handed on to Python

// An object that exports the memory of a buffer taken over from a Buffer,
// with its shape, strides and format, and releases that buffer, once, when
// it dies. An array made over it (np.asarray) keeps it alive, so the array
// shows what was written through the buffer however the original exporter
// would answer another request, and no second request is made of it.
struct HeldExport {
    PyObject_HEAD
    Py_buffer exported;  // the exporter's record, released in dealloc
    Py_buffer view;      // what this object exports
    Py_ssize_t shape[Buffer::kMaxDims];
    Py_ssize_t strides[Buffer::kMaxDims];
};

inline int held_export_getbuffer(PyObject* self, Py_buffer* out, int flags) {
    const Py_buffer& view = reinterpret_cast<HeldExport*>(self)->view;
    if ((flags & PyBUF_WRITABLE) && view.readonly) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return -1;
    }
    // A consumer that asks for no strides reads the memory in C order.
    const bool c_order = PyBuffer_IsContiguous(&view, 'C');
    const bool wants_strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    if ((!wants_strides && !c_order) ||
        ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c_order) ||
        ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(&view, 'F')) ||
        ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !PyBuffer_IsContiguous(&view, 'A'))) {
        PyErr_SetString(PyExc_BufferError, "the held buffer does not have the requested contiguity");
        return -1;
    }
    *out = view;
    out->obj = Py_NewRef(self);
    out->format = (flags & PyBUF_FORMAT) ? view.format : nullptr;
    out->strides = wants_strides ? view.strides : nullptr;
    if ((flags & PyBUF_ND) != PyBUF_ND) {  // plain bytes, as PyBuffer_FillInfo gives them
        out->ndim = 1;
        out->itemsize = 1;
        out->shape = nullptr;
    }
    out->suboffsets = nullptr;
    out->internal = nullptr;
    return 0;
}

inline void held_export_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyBuffer_Release(&reinterpret_cast<HeldExport*>(self)->exported);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyType_Slot held_export_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(held_export_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(held_export_getbuffer)},
    {0, nullptr},
};

inline PyType_Spec held_export_type_spec = {
    nullptr, sizeof(HeldExport), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    held_export_slots,
};

inline PyTypeObject* held_export_type = nullptr;

// Creates the HeldExport type, once, at the import of a module that hands
// buffers over; -1 on error. `dotted_name` (a string that lives as long as
// the process) is the module's import name followed by the type's: a type
// without a module in its name makes Python warn whenever it is inspected.
inline int ready_held_exports(const char* dotted_name) {
    if (held_export_type) return 0;
    held_export_type_spec.name = dotted_name;
    held_export_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&held_export_type_spec));
    return held_export_type ? 0 : -1;
}

inline Ref Buffer::hand_over() {
    if (!held_ || !held_export_type) {
        PyErr_SetString(PyExc_SystemError, "no buffer to hand over, or no type to hand it to");
        return {};
    }
    HeldExport* e = PyObject_New(HeldExport, held_export_type);  // holds a reference to its type
    if (!e) return {};
    e->exported = exported_;
    e->view = view_;
    for (int d = 0; d < view_.ndim; ++d) {
        e->shape[d] = shape_[d];
        e->strides[d] = strides_[d];
    }
    e->view.shape = e->shape;
    e->view.strides = e->strides;
    held_ = false;  // released by the new object now
    clear();
    return Ref::steal(reinterpret_cast<PyObject*>(e));
}

}  // namespace
}  // namespace pyext
