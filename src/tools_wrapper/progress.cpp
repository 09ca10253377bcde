#include "progress.hpp"

#include "errors.hpp"

namespace wordloom::python {

constexpr std::chrono::milliseconds kLeastInterval{100};

void ProgressReporter::report(std::uint64_t done, std::uint64_t total) {
  if (callable_ == nullptr || (called_ && done == done_ && total == total_)) return;
  done_ = done;
  total_ = total;
  held_back_ = std::chrono::steady_clock::now() - last_call_ < kLeastInterval;
  if (!held_back_) call();
}

void ProgressReporter::finish() {
  if (held_back_) call();
}

void ProgressReporter::call() {
  held_back_ = false;
  called_ = true;
  last_call_ = std::chrono::steady_clock::now();
  checked(PyObject_CallFunction(callable_, "sKK", phase_, static_cast<unsigned long long>(done_),
                                static_cast<unsigned long long>(total_)));
}

}  // namespace wordloom::python
