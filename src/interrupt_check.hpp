// How long operations let their caller abandon them (Ctrl-C in Python).
#pragma once

#include <cstddef>
#include <functional>

namespace wordloom {

// Called now and then during long operations, always on the calling thread.
// It may throw to abandon the operation; the record is then left as it was.
using InterruptCheck = std::function<void()>;

inline void check_for_interrupt(const InterruptCheck& check_interrupt) {
  if (check_interrupt) check_interrupt();
}

// Runs the check once per kStepsPerCheck steps, so that a hot loop pays only
// for a counter. A step is the loop's cheapest unit of work (a symbol, a
// position, a byte compared), and the period a few milliseconds of them.
class InterruptCadence {
 public:
  static constexpr std::size_t kStepsPerCheck = 1 << 16;

  explicit InterruptCadence(const InterruptCheck& check_interrupt) : check_interrupt_(&check_interrupt) {}

  void step(std::size_t steps = 1) {
    steps_ += steps;
    if (steps_ < kStepsPerCheck) return;
    steps_ = 0;
    check_for_interrupt(*check_interrupt_);
  }

 private:
  const InterruptCheck* check_interrupt_;
  std::size_t steps_ = 0;
};

}  // namespace wordloom
