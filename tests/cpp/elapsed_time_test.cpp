#include "elapsed_time.hpp"

#include <gtest/gtest.h>

namespace wordloom {
namespace {

using std::chrono::nanoseconds;

TEST(ElapsedTimeText, LargestUnitWithExactDigitsAndNoTrailingZeros) {
  EXPECT_EQ(elapsed_time_text(nanoseconds(1'500'000'000)), "1.5s");
  EXPECT_EQ(elapsed_time_text(nanoseconds(12'300'000)), "12.3ms");
  EXPECT_EQ(elapsed_time_text(nanoseconds(7'000)), "7\u00b5s");
  EXPECT_EQ(elapsed_time_text(nanoseconds(9)), "9ns");
  EXPECT_EQ(elapsed_time_text(nanoseconds(1'234'567)), "1.234567ms");
  EXPECT_EQ(elapsed_time_text(nanoseconds(61'000'000'001)), "61.000000001s");
  EXPECT_EQ(elapsed_time_text(nanoseconds(1'000)), "1\u00b5s");
  EXPECT_EQ(elapsed_time_text(nanoseconds(0)), "0ns");
  EXPECT_EQ(elapsed_time_text(nanoseconds(-5)), "0ns");
}

}  // namespace
}  // namespace wordloom
