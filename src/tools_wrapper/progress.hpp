// Training's progress handed to a Python callable, as progress(phase, done,
// total), on the calling thread with the interpreter lock held.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "bpe_tokenizer.hpp"

namespace wordloom::python {

// Calls at most ten times a second, the first report at once, and never
// twice with the same figures. A callable
// that raises abandons the counting or training it watches.
class ProgressReporter final : public TrainingObserver {
 public:
  // `callable` (borrowed, may be null for no reports) must outlive the
  // reporter; `phase` names what is counted: "read" bytes or "merge" tokens.
  ProgressReporter(PyObject* callable, const char* phase, std::uint64_t total_bytes = 0)
      : callable_(callable), phase_(phase), total_bytes_(total_bytes) {}

  void phase_finished(TrainingPhase, std::chrono::nanoseconds) override {}
  void pairs_exhausted() override {}
  void corpus_counted(std::uint64_t bytes) override { report(bytes, total_bytes_); }
  void merges_done(std::uint64_t added, std::uint64_t wanted) override { report(added, wanted); }

  // Makes the last report that was held back, if any.
  void finish();

 private:
  void report(std::uint64_t done, std::uint64_t total);
  void call();

  PyObject* callable_;
  const char* phase_;
  std::uint64_t total_bytes_;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  bool called_ = false;
  bool held_back_ = false;
  std::chrono::steady_clock::time_point last_call_{};
};

}  // namespace wordloom::python
