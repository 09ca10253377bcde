#include "elapsed_time.hpp"

#include <algorithm>
#include <cstdint>

namespace wordloom {

std::string elapsed_time_text(std::chrono::nanoseconds elapsed) {
  struct Unit {
    std::uint64_t nanos;
    std::size_t digits;
    const char* suffix;
  };
  static constexpr Unit kUnits[] = {{1'000'000'000, 9, "s"}, {1'000'000, 6, "ms"}, {1'000, 3, "\u00b5s"}};
  const auto nanos = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0));
  for (const Unit& unit : kUnits) {
    if (nanos < unit.nanos) continue;
    std::string text = std::to_string(nanos / unit.nanos);
    if (const std::uint64_t rest = nanos % unit.nanos; rest != 0) {
      std::string fraction = std::to_string(rest);
      fraction.insert(0, unit.digits - fraction.size(), '0');
      fraction.erase(fraction.find_last_not_of('0') + 1);
      text += '.' + fraction;
    }
    return text + unit.suffix;
  }
  return std::to_string(nanos) + "ns";
}

std::chrono::nanoseconds PhaseClock::elapsed() const {
  const auto now = std::chrono::steady_clock::now();
  if (now <= start_) return std::chrono::nanoseconds::zero();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_);
}

}  // namespace wordloom
