// What the module itself writes to the process's standard streams: training's
// timing lines on standard output, and the one error line on standard error
// with which a failed corpus read, save or load ends the process.
#pragma once

#include <chrono>
#include <string_view>

#include "bpe_tokenizer.hpp"

namespace wordloom::python {

// Writes each training report to file descriptor 1 as it happens, flushed,
// so that it is ordered with what Python writes there.
class TrainingLinesToStdout final : public TrainingObserver {
 public:
  void phase_finished(TrainingPhase phase, std::chrono::nanoseconds elapsed) override;
  void pairs_exhausted() override;
};

// Writes `line` and a newline to standard error, flushes standard output and
// ends the process with exit status 1, without finalising the interpreter.
[[noreturn]] void exit_with_error_line(std::string_view line);

}  // namespace wordloom::python
