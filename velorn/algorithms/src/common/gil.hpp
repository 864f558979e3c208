// The interpreter lock let go for a scope, so that the process's other
// threads run while a long loop that touches no Python object does. It is
// taken back when the scope ends, by an exception too (std::bad_alloc from a
// growing vector), before any handler calls into Python again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyext {
namespace {

class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // PyErr_CheckSignals with the lock taken back for the moment: false with
    // the handler's exception set, which the thread state keeps meanwhile.
    // A handler may run any Python code: what the loop reads must not be
    // the caller's (copies, or arrays held in place by a ResizeGuard).
    bool signals_checked() {
        PyEval_RestoreThread(state_);
        const bool ok = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return ok;
    }

private:
    PyThreadState* state_;
};

}  // namespace
}  // namespace pyext
