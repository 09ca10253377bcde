// Timing of training phases: a monotonic phase clock and the elapsed-time text.
#pragma once

#include <chrono>
#include <string>

namespace wordloom {

// The duration in the largest of s, ms, µs, ns that keeps the integer part
// non-zero, with the exact remaining digits and no trailing zeros: 1.5s,
// 12.3ms, 7µs, 9ns.
std::string elapsed_time_text(std::chrono::nanoseconds elapsed);

class PhaseClock {
 public:
  PhaseClock() : start_(std::chrono::steady_clock::now()) {}
  // The time since the clock started; zero if the clock went backwards.
  std::chrono::nanoseconds elapsed() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace wordloom
