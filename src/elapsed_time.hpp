// Timing lines of training: a monotonic phase clock and the elapsed-time text.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace wordloom {

// The duration in the largest of s, ms, µs, ns that keeps the integer part
// non-zero, with the exact remaining digits and no trailing zeros: 1.5s,
// 12.3ms, 7µs, 9ns.
std::string elapsed_time_text(std::chrono::nanoseconds elapsed);

class PhaseClock {
 public:
  PhaseClock() : start_(std::chrono::steady_clock::now()) {}
  // Writes "{label}{elapsed}\n" to standard output.
  void print_elapsed(std::string_view label) const;

 private:
  std::chrono::steady_clock::time_point start_;
};

// Writes `text` to standard output and flushes it, so that it is ordered with
// what Python writes to the same descriptor.
void write_stdout(std::string_view text);

}  // namespace wordloom
