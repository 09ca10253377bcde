// Native work with the interpreter lock released, so that other Python
// threads run meanwhile.
#pragma once

#include <Python.h>

#include "errors.hpp"

namespace wordloom::python {

// Releases the interpreter lock for its lifetime; check_signals takes it back
// briefly to run the Python signal handlers.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

  // Throws PythonError (with the lock released again) when a handler raised.
  void check_signals() {
    PyEval_RestoreThread(state_);
    const int raised = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (raised != 0) throw PythonError{};
  }

 private:
  PyThreadState* state_;
};

}  // namespace wordloom::python
