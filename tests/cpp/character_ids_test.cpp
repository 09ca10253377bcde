// The direct table of one-character tokens against the token table it is
// derived from.
#include <gtest/gtest.h>

#include "character_ids.hpp"

namespace wordloom {
namespace {

TEST(CharacterIds, FindsEveryOneCharacterTokenByCodePoint) {
  StringMap<TokenId> token_to_id{{"a", 7},          {"\x7F", 8},       {"\u00e9", 9},        {"\u00ff", 10},
                                 {"\u4e2d", 11},    {"\u4e2e", 12},    {"\U0001F600", 13},   {"\U0010FFFF", 14},
                                 {"ab", 15},        {"</w>", 16},      {"\xC3", 17},         {"\xED\xA0\x80", 18},
                                 {std::string("\0", 1), 4294967295u}};
  const CharacterIds ids(token_to_id);
  EXPECT_EQ(ids.find(U'a'), 7u);
  EXPECT_EQ(ids.find(0x7F), 8u);
  EXPECT_EQ(ids.find(0xE9), 9u);
  EXPECT_EQ(ids.find(0xFF), 10u);
  EXPECT_EQ(ids.find(0x4E2D), 11u);
  EXPECT_EQ(ids.find(0x4E2E), 12u);
  EXPECT_EQ(ids.find(0x1F600), 13u);
  EXPECT_EQ(ids.find(0x10FFFF), 14u);
  EXPECT_EQ(ids.find(0), 4294967295u);
  // Longer tokens, a truncated character and an encoded surrogate are no characters.
  EXPECT_FALSE(ids.find(U'b'));
  EXPECT_FALSE(ids.find(0xC3));
  EXPECT_FALSE(ids.find(0xD800));
  // Neighbours of known characters, in the same page and in pages never filled.
  EXPECT_FALSE(ids.find(U'c'));
  EXPECT_FALSE(ids.find(0x4E2C));
  EXPECT_FALSE(ids.find(0x3042));
  EXPECT_FALSE(ids.find(0x10FFFE));
}

TEST(CharacterIds, AnEmptyTableFindsNothing) {
  const CharacterIds ids(StringMap<TokenId>{});
  EXPECT_FALSE(ids.find(0) || ids.find(U'a') || ids.find(0x10FFFF));
}

}  // namespace
}  // namespace wordloom
