// Multi-phase module initialisation: the create and exec steps shared by the
// modules (one interpreter per process, no re-initialisation, the Python
// version warning, NumPy's C API and type sizes bound and checked, `np`, the
// function or type and `__test__` in the namespace). A module describes itself with
// a ModuleSpec and returns PyModuleDef_Init(&ModuleDefinition<spec>::def).
//
// Relies on function.hpp, and on NumPy's C API headers; this is where the
// module binds that API (import_array), so every module includes it.
#pragma once

#include "function.hpp"

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <string>

namespace pyext {
namespace {

struct ModuleSpec {
    const char* short_name;  // "tolmar_lp"
    const char* full_name;   // "velorn.algorithms.src.tolmar.binaries.tolmar_lp"
    const char* source_file;
    // The published function, or null for a module that publishes a type
    // (its prepare step adds it).
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
    if (spec.function) {
        Ref defaults = Ref::steal(spec.make_defaults());
        if (!defaults) return -1;
        Ref function = make_function(*spec.function, module, defaults.get());
        if (!function || PyDict_SetItemString(dict, spec.function->name, function.get()) < 0) return -1;
    }
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
