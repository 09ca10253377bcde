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

  // Runs `work` with the lock taken back, and releases it again however
  // `work` ends.
  template <typename Work>
  void with_lock(Work&& work) {
    PyEval_RestoreThread(state_);
    try {
      work();
    } catch (...) {
      state_ = PyEval_SaveThread();
      throw;
    }
    state_ = PyEval_SaveThread();
  }

  // Throws PythonError (with the lock released again) when a handler raised.
  void check_signals() {
    with_lock([] {
      if (PyErr_CheckSignals() != 0) throw PythonError{};
    });
  }

 private:
  PyThreadState* state_;
};

}  // namespace wordloom::python
