// The published function object: a vectorcall function type with the
// argument binding and its messages, the argument type check, __doc__,
// __defaults__, a code object for inspect.signature, and the traceback entry
// named by the function's full dotted name that its errors carry.
//
// Relies on ref.hpp. A module describes its function with a FunctionSpec;
// module.hpp creates it at import.
#pragma once

#include "ref.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <new>
#include <stdexcept>
#include <string>

namespace pyext {
namespace {

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

constexpr int kMaxParams = 10;

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
    if (spec.n_params > kMaxParams) {  // the parameter tables hold no more
        PyErr_Format(PyExc_SystemError, "%s takes more than %d parameters", spec.name, kMaxParams);
        return {};
    }
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

}  // namespace
}  // namespace pyext
