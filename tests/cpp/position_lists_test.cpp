// Position lists give back exactly the positions put in, in order, however
// they were written: appended in batches, one at a time, or placed by parts.
#include <gtest/gtest.h>

#include <random>

#include "position_lists.hpp"

namespace wordloom {
namespace {

std::vector<std::uint32_t> taken(PositionLists& lists, PositionLists::List& list) {
  std::vector<std::uint32_t> out;
  lists.take(list, out, {});
  return out;
}

// Ascending runs, each starting lower than the last ended, with distances of
// one to five bytes.
std::vector<std::uint32_t> runs_of_positions(std::mt19937& random, std::size_t count) {
  std::vector<std::uint32_t> positions;
  std::uint32_t position = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned bits = std::uniform_int_distribution<unsigned>(0, 31)(random);
    const std::uint32_t step = static_cast<std::uint32_t>(random()) >> (31 - bits % 31);
    position = i % 50 == 49 ? position / 3 : position + step % (0xFFFFFFFEu - position);
    positions.push_back(position);
  }
  return positions;
}

TEST(PositionLists, AppendedBatchesComeBackInOrder) {
  std::mt19937 random(5);
  PositionLists lists;
  PositionLists::List first, second;
  const std::vector<std::uint32_t> positions = runs_of_positions(random, 2000);
  std::vector<std::uint32_t> other;
  for (std::size_t begin = 0; begin < positions.size();) {
    const std::size_t size = std::min<std::size_t>(positions.size() - begin, random() % 4 + 1);
    lists.append(first, std::span(positions).subspan(begin, size));
    other.push_back(static_cast<std::uint32_t>(begin));
    lists.append(second, std::span(other).last(1));
    begin += size;
  }
  EXPECT_EQ(taken(lists, first), positions);
  EXPECT_EQ(taken(lists, second), other);
  // The freed chunks serve the next lists.
  lists.append(first, std::span(positions).first(300));
  EXPECT_EQ(taken(lists, first), std::vector(positions.begin(), positions.begin() + 300));
  EXPECT_TRUE(taken(lists, first).empty());
}

TEST(PositionLists, AListOfOneGrowsWithoutLosingIt) {
  PositionLists lists;
  PositionLists::List list;
  const std::vector<std::uint32_t> positions = {7, 4000000000u, 8, 9};
  lists.append(list, std::span(positions).first(1));
  lists.append(list, std::span(positions).subspan(1));
  EXPECT_EQ(taken(lists, list), positions);
}

TEST(PositionLists, PartsPlacedSeparatelyJoinUp) {
  std::mt19937 random(11);
  const std::vector<std::uint32_t> positions = runs_of_positions(random, 500);
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    bytes += PositionLists::encoded_size(i == 0 ? 0 : positions[i - 1], positions[i]);
  }
  PositionLists lists;
  const InterruptCheck no_check;
  InterruptCadence cadence(no_check);
  PositionLists::List list = lists.sized(bytes, positions.back(), cadence);
  // The second half first, as another thread might.
  std::uint64_t middle = 0;
  for (std::size_t i = 0; i < 250; ++i) {
    middle += PositionLists::encoded_size(i == 0 ? 0 : positions[i - 1], positions[i]);
  }
  std::uint64_t offset = middle;
  for (std::size_t i = 250; i < positions.size(); ++i) offset = lists.place(list, offset, positions[i - 1], positions[i]);
  EXPECT_EQ(offset, bytes);
  offset = 0;
  for (std::size_t i = 0; i < 250; ++i) offset = lists.place(list, offset, i == 0 ? 0 : positions[i - 1], positions[i]);
  EXPECT_EQ(offset, middle);
  const std::vector<std::uint32_t> more = {positions.back() + 1, 3};
  lists.append(list, more);
  std::vector<std::uint32_t> expected = positions;
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(taken(lists, list), expected);
}

}  // namespace
}  // namespace wordloom
