#include "elapsed_time.hpp"

#include <cstdint>
#include <cstdio>

namespace wordloom {

std::string elapsed_time_text(std::chrono::nanoseconds elapsed) {
  struct Unit {
    std::uint64_t nanos;
    int digits;
    const char* suffix;
  };
  static constexpr Unit kUnits[] = {{1'000'000'000, 9, "s"}, {1'000'000, 6, "ms"}, {1'000, 3, "\u00b5s"}, {1, 0, "ns"}};
  const auto nanos = static_cast<std::uint64_t>(elapsed.count() > 0 ? elapsed.count() : 0);
  for (const Unit& unit : kUnits) {
    if (nanos < unit.nanos && unit.nanos != 1) continue;
    std::string text = std::to_string(nanos / unit.nanos);
    std::string fraction = std::to_string(nanos % unit.nanos);
    if (nanos % unit.nanos != 0) {
      fraction.insert(0, unit.digits - fraction.size(), '0');
      fraction.erase(fraction.find_last_not_of('0') + 1);
      text += '.' + fraction;
    }
    return text + unit.suffix;
  }
  return "0ns";
}

void PhaseClock::print_elapsed(std::string_view label) const {
  const auto now = std::chrono::steady_clock::now();
  const auto elapsed = now > start_ ? now - start_ : std::chrono::steady_clock::duration::zero();
  std::string line(label);
  line += elapsed_time_text(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
  line += '\n';
  write_stdout(line);
}

void write_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace wordloom
