// Thin C++ layer over the CPython and NumPy C APIs, shared by the velorn kernels.
//
// Header-only and wrapped in an anonymous namespace on purpose: every module
// compiles its own private copy, so the modules share no code or state at run
// time. Each module is a single translation unit that includes this header once.
//
// What it offers:
//   - Ref: an owned reference (one owner, released on every path);
//   - integer and double conversions with the messages callers know;
//   - Buffer: a held buffer, validated against a fixed dimension count and
//     element type, released on success and failure alike;
//   - View1D / View2D: typed strided views, with a unit-stride fast path, and
//     ArrayRow: a 1-D row read straight from a native-order ndarray when it can
//     be, through the full buffer protocol otherwise;
//   - Function: the published function object (vectorcall, argument binding,
//     __doc__, __defaults__, a code object for inspect.signature, tracebacks);
//   - module_create / module_exec: multi-phase module initialisation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace pyext {
namespace {

// ---------------------------------------------------------------------------
// Owned references

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

// ---------------------------------------------------------------------------
// Errors

inline const char* ndarray_type_name() { return PyArray_Type.tp_name; }

// A value that had to be an ndarray but is not.
inline void raise_cannot_convert(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 Py_TYPE(value)->tp_name, ndarray_type_name());
}

inline bool is_ndarray(PyObject* o) { return PyObject_TypeCheck(o, &PyArray_Type); }

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

// ---------------------------------------------------------------------------
// Scalar conversions

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

inline bool to_size_t(PyObject* o, uint64_t* out) {
    Ref v = as_int_object(o);
    if (!v) return false;
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

inline bool to_double(PyObject* o, double* out) {
    double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

// ---------------------------------------------------------------------------
// Element types and buffer format checking

// An element type as buffers are matched against it: by kind ('I' signed
// integer, 'U' unsigned integer or bool, 'R' real floating point) and size.
struct ElemType {
    const char* name;
    char group;
    Py_ssize_t size;
};

constexpr ElemType kInt{"int", 'I', 4};
constexpr ElemType kInt64{"int64_t", 'I', 8};
constexpr ElemType kUInt8{"uint8_t", 'U', 1};
constexpr ElemType kFloat32{"float32_t", 'R', 4};
constexpr ElemType kDouble{"double", 'R', 8};

inline const char* describe_type_char(char c, bool is_complex) {
    switch (c) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return is_complex ? "'complex float'" : "'float'";
    case 'd': return is_complex ? "'complex double'" : "'double'";
    case 'g': return is_complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
    }
}

// Kind group of a format character, or 0 for one we cannot read.
inline char type_char_group(char c, bool is_complex) {
    switch (c) {
    case 'c': return 'H';
    case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return is_complex ? 'C' : 'R';
    case 'O': return 'O';
    case 'P': return 'P';
    case 'T': return 'S';
    default: return 0;
    }
}

inline Py_ssize_t type_char_size(char c, bool standard) {
    switch (c) {
    case 'c': case 'b': case 'B': case '?': case 's': case 'p': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return standard ? 4 : static_cast<Py_ssize_t>(sizeof(long));
    case 'q': case 'Q': return 8;
    case 'f': return 4;
    case 'd': return 8;
    case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
    case 'O': case 'P': return static_cast<Py_ssize_t>(sizeof(void*));
    default: return 0;
    }
}

inline void raise_dtype_mismatch(const char* quote, const char* expected, const char* found) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                 quote, expected, quote, found);
}

// True when `format` describes exactly one item of `type`; sets the error otherwise.
inline bool check_format(const char* format, const ElemType& type) {
    const char* s = format ? format : "B";
    bool standard = false;
    bool matched = false;
    while (*s) {
        char c = *s;
        if (c == '@' || c == '^') { standard = false; ++s; continue; }
        if (c == '=' || c == '<') { standard = true; ++s; continue; }
        if (c == '>' || c == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') { ++s; continue; }
        long count = 1;
        if (c >= '0' && c <= '9') {
            count = 0;
            while (*s >= '0' && *s <= '9') { count = count * 10 + (*s - '0'); ++s; }
            c = *s;
        }
        bool is_complex = false;
        if (c == 'Z') { is_complex = true; c = *++s; }
        char group = type_char_group(c, is_complex);
        if (!group) {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
            return false;
        }
        Py_ssize_t size = type_char_size(c, standard) * (is_complex ? 2 : 1);
        const char* found = describe_type_char(c, is_complex);
        for (long k = 0; k < count; ++k) {
            if (matched) { raise_dtype_mismatch("", "end", found); return false; }
            if (group != type.group || size != type.size) {
                raise_dtype_mismatch("'", type.name, found);
                return false;
            }
            matched = true;
        }
        if (c == 'T') {  // a struct never matches a scalar; the check above raised
            return false;
        }
        ++s;
    }
    if (!matched) {
        raise_dtype_mismatch("'", type.name, "end");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Typed strided views

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

// ---------------------------------------------------------------------------
// 1-D array rows

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

// Asks the cache for the line holding `address`: a hint that never faults.
// Written out because GCC drops __builtin_prefetch in these modules.
inline void cache_hint(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
    if (address) asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

// Asks for every cache line of [first, last], both bytes included, when the
// range is short (a few lines), else for the lines of its two ends.
inline void cache_hint_range(const void* first, const void* last) {
    constexpr uintptr_t kLine = 64;
    uintptr_t from = reinterpret_cast<uintptr_t>(first) & ~(kLine - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(last) & ~(kLine - 1);
    if (from > to) std::swap(from, to);
    if (to - from > 4 * kLine) {
        cache_hint(reinterpret_cast<const void*>(from));
        cache_hint(reinterpret_cast<const void*>(to));
        return;
    }
    for (uintptr_t line = from; line <= to; line += kLine) cache_hint(reinterpret_cast<const void*>(line));
}

// ---------------------------------------------------------------------------
// Calls out

template <class... A>
inline Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* stack[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(A), nullptr));
}

// ---------------------------------------------------------------------------
// Tracebacks

// Adds a traceback entry named `funcname` for the pending exception.
inline void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// The published function object

constexpr int kMaxParams = 8;

struct Call {
    PyObject* globals;       // the module namespace, for names looked up at use
    bool traceback = true;   // argument type errors carry no traceback entry
};

struct FunctionSpec {
    const char* name;
    const char* module;       // full dotted import name of the module
    const char* doc;
    const char* source_file;  // named in traceback entries
    int source_line;
    const char* const* params;
    int n_params;
    int n_required;
    PyObject* (*impl)(Call& call, PyObject* const* values);  // values[k] null when not given
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* params[kMaxParams];  // interned parameter names
    std::string* full_name;        // module + '.' + name, for traceback entries
};

// "f() takes at least N positional arguments (M given)" and its variants.
inline void raise_argtuple_invalid(const FunctionSpec& spec, Py_ssize_t given) {
    bool exact = spec.n_required == spec.n_params;
    Py_ssize_t expected = given < spec.n_required ? spec.n_required : spec.n_params;
    const char* more_or_less = exact ? "exactly" : (given < spec.n_required ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

inline int find_param(Function* f, PyObject* key) {
    for (int k = 0; k < f->spec->n_params; ++k)
        if (f->params[k] == key) return k;
    for (int k = 0; k < f->spec->n_params; ++k)
        if (PyUnicode_Compare(f->params[k], key) == 0) return k;
    return -1;
}

// Fills values[] (borrowed) from the call's positional and keyword arguments.
inline bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** values) {
    const FunctionSpec& spec = *f->spec;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > spec.n_params || (nkw == 0 && nargs < spec.n_required)) {
        raise_argtuple_invalid(spec, nargs);
        return false;
    }
    for (Py_ssize_t k = 0; k < nargs; ++k) values[k] = args[k];
    if (nkw == 0) return true;

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = nkw;
    for (int k = static_cast<int>(nargs); k < spec.n_params; ++k) {
        for (Py_ssize_t j = 0; j < nkw && !values[k]; ++j)
            if (PyTuple_GET_ITEM(kwnames, j) == f->params[k]) values[k] = kwvalues[j];
        for (Py_ssize_t j = 0; j < nkw && !values[k]; ++j)
            if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, j), f->params[k]) == 0)
                values[k] = kwvalues[j];
        if (values[k]) {
            --unused;
        } else if (k < spec.n_required) {
            raise_argtuple_invalid(spec, k);
            return false;
        }
    }
    if (unused == 0) return true;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        int k = find_param(f, key);
        if (k >= nargs) continue;
        if (k >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
        return false;
    }
    return true;
}

// "Argument 'x' has incorrect type (expected T, got U)"; such errors carry no
// traceback entry of ours.
inline bool check_arg_type(Call& call, PyObject* value, PyTypeObject* type, bool exact,
                           const char* param, const char* expected_name = nullptr) {
    if (value == Py_None) return true;
    if (exact ? Py_IS_TYPE(value, type) : PyObject_TypeCheck(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected_name ? expected_name : type->tp_name, Py_TYPE(value)->tp_name);
    call.traceback = false;
    return false;
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(self);
    PyObject* values[kMaxParams] = {};
    Call call{f->globals};
    PyObject* result = nullptr;
    if (bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
        try {
            result = f->spec->impl(call, values);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    }
    if (!result && call.traceback)
        add_traceback(f->full_name->c_str(), f->spec->source_file, f->spec->source_line, f->globals);
    return result;
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    return 0;
}

inline int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    for (PyObject*& p : f->params) Py_CLEAR(p);
    delete f->full_name;
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Bound like a Python function when stored on a class.
inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* function_get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
inline PyObject* function_get_annotations(PyObject*, void*) { return PyDict_New(); }

inline PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

inline PyType_Spec function_type_spec = {
    "velorn_function", sizeof(Function), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// A code object whose parameters make inspect.signature report the function's
// positional-or-keyword parameters.
inline Ref make_code(const FunctionSpec& spec, PyObject* param_names) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(spec.source_file, spec.name, spec.source_line)));
    if (!code) return {};
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", spec.n_params,
                                          "co_nlocals", spec.n_params, "co_varnames", param_names));
    if (!replace || !empty || !kwargs) return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

// Creates the function object; `defaults` is the tuple of the trailing
// optional parameters' defaults.
inline Ref make_function(const FunctionSpec& spec, PyObject* module, PyObject* defaults) {
    Ref type = Ref::steal(PyType_FromSpec(&function_type_spec));
    if (!type) return {};
    Function* f = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(type.get()));
    if (!f) return {};
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->code = f->globals = f->dict = nullptr;
    for (PyObject*& p : f->params) p = nullptr;
    f->full_name = nullptr;
    PyObject_GC_Track(self.get());
    // The instance owns a reference to its heap type.
    type.release();

    try {
        f->full_name = new std::string(std::string(spec.module) + "." + spec.name);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    Ref names = Ref::steal(PyTuple_New(spec.n_params));
    if (!names) return {};
    for (int k = 0; k < spec.n_params; ++k) {
        f->params[k] = intern(spec.params[k]);
        if (!f->params[k]) return {};
        PyTuple_SET_ITEM(names.get(), k, Py_NewRef(f->params[k]));
    }
    f->name = PyUnicode_FromString(spec.name);
    f->qualname = Py_XNewRef(f->name);
    f->module = PyUnicode_FromString(spec.module);
    f->doc = PyUnicode_FromString(spec.doc);
    f->defaults = Py_NewRef(defaults);
    f->globals = Py_NewRef(PyModule_GetDict(module));
    Ref code = make_code(spec, names.get());
    f->code = code.release();
    if (!f->name || !f->module || !f->doc || !f->code) return {};
    return self;
}

// ---------------------------------------------------------------------------
// Module initialisation

struct ModuleSpec {
    const char* short_name;  // "tolmar_lp"
    const char* full_name;   // "velorn.algorithms.src.tolmar.binaries.tolmar_lp"
    const char* source_file;
    const FunctionSpec* function;
    // The module's own set-up once `np` is bound (interned names, further
    // imports into the namespace); -1 on error.
    int (*prepare)(PyObject* dict);
    // The function's defaults as a new tuple, or None when it has none.
    PyObject* (*make_defaults)();
};

struct ModuleState {
    PyObject* module = nullptr;
    int64_t interpreter_id = -1;
};
inline ModuleState module_state;

inline int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                               bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (module_state.interpreter_id == -1) {
        module_state.interpreter_id = id;
    } else if (module_state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_state.module) return Py_NewRef(module_state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// Binds NumPy's C API; any failure becomes the ImportError callers expect,
// with the underlying error as its cause.
inline int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    if (cause) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetContext(exc, Py_NewRef(cause));
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    return -1;
}

// Checks that NumPy's types are at least as large as the layouts compiled in.
inline int bind_numpy_types() {
    struct Expected {
        const char* name;
        size_t size;
    };
    static const Expected expected[] = {
        {"dtype", sizeof(PyArray_Descr)},
        {"flatiter", sizeof(PyArrayIterObject)},
        {"broadcast", sizeof(PyArrayMultiIterObject)},
        {"ndarray", sizeof(PyArrayObject)},
        {"generic", sizeof(PyObject)},
        {"number", sizeof(PyObject)},
        {"integer", sizeof(PyObject)},
        {"signedinteger", sizeof(PyObject)},
        {"unsignedinteger", sizeof(PyObject)},
        {"inexact", sizeof(PyObject)},
        {"floating", sizeof(PyObject)},
        {"complexfloating", sizeof(PyObject)},
        {"flexible", sizeof(PyObject)},
        {"character", sizeof(PyObject)},
        {"ufunc", sizeof(PyUFuncObject)},
    };
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const Expected& e : expected) {
        Ref type = Ref::steal(PyObject_GetAttrString(numpy.get(), e.name));
        if (!type) return -1;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", e.name);
            return -1;
        }
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
        Py_ssize_t size = t->tp_basicsize + t->tp_itemsize;
        if (static_cast<size_t>(size) < e.size) {
            PyErr_Format(PyExc_ValueError,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         "numpy", e.name, static_cast<Py_ssize_t>(e.size), size);
            return -1;
        }
    }
    return 0;
}

inline int module_exec_steps(PyObject* module, const ModuleSpec& spec) {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, spec.full_name, "does not match",
                             major, minor) < 0)
            return -1;
    }
    if (import_numpy_api() < 0) return -1;

    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(spec.full_name));
    if (!key) return -1;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return -1;
    if (!present && PyDict_SetItem(modules, key.get(), module) < 0) return -1;

    if (bind_numpy_types() < 0) return -1;

    PyObject* dict = PyModule_GetDict(module);
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(dict, "np", np.get()) < 0) return -1;
    if (spec.prepare(dict) < 0) return -1;
    Ref defaults = Ref::steal(spec.make_defaults());
    if (!defaults) return -1;
    Ref function = make_function(*spec.function, module, defaults.get());
    if (!function || PyDict_SetItemString(dict, spec.function->name, function.get()) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    return test ? PyDict_SetItemString(dict, "__test__", test.get()) : -1;
}

inline int module_exec(PyObject* module, const ModuleSpec& spec) {
    if (module_state.module) {
        if (module_state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     spec.short_name);
        return -1;
    }
    module_state.module = Py_NewRef(module);
    if (module_exec_steps(module, spec) == 0) return 0;

    std::string init_name = std::string("init ") + spec.full_name;
    if (PyErr_Occurred())
        add_traceback(init_name.c_str(), spec.source_file, 1, PyModule_GetDict(module));
    else
        PyErr_SetString(PyExc_ImportError, init_name.c_str());
    Py_CLEAR(module_state.module);
    return -1;
}

inline PyObject* no_defaults() { return Py_NewRef(Py_None); }

// The module definition for multi-phase initialisation of the module that
// `spec` describes: PyInit_<name> returns PyModuleDef_Init(&ModuleDefinition<spec>::def).
template <const ModuleSpec& spec>
struct ModuleDefinition {
    static PyObject* create(PyObject* import_spec, PyModuleDef* def) { return module_create(import_spec, def); }
    static int exec(PyObject* module) { return module_exec(module, spec); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, spec.short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

}  // namespace
}  // namespace pyext
