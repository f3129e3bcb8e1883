// Detaching from the interpreter around a long call, and asking it about signals meanwhile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernels/pool/pool.hpp"

namespace quorix {

// Detached from the interpreter for the lifetime of the guard.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

  // The pool asks this while the call runs: it re-attaches to run the signal handlers (only the
  // main thread has any), and answers true when one raised, leaving its exception set for when
  // the call returns.
  pool::Interrupt interrupt() { return {&signalled, this}; }

 private:
  static bool signalled(void* self) {
    auto* detached = static_cast<Detached*>(self);
    PyEval_RestoreThread(detached->state_);
    const bool raised = PyErr_CheckSignals() != 0;
    detached->state_ = PyEval_SaveThread();
    return raised;
  }

  PyThreadState* state_;
};

}  // namespace quorix
