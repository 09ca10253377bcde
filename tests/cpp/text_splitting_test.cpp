// Pre-tokenization, special-token removal and the special-token split.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "pretokenizer.hpp"
#include "special_tokens.hpp"
#include "utf8.hpp"

namespace wordloom {
namespace {

using Words = std::vector<std::string>;

const Words kWhiteSpace = {"\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
                           "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
                           "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};

// Cuts at the white-space characters one character at a time.
Words split_by_character(std::string_view text) {
  Words words(1);
  for_each_char(text, [&](std::string_view character) {
    if (std::find(kWhiteSpace.begin(), kWhiteSpace.end(), character) == kWhiteSpace.end()) words.back() += character;
    else if (!words.back().empty()) words.emplace_back();
  });
  if (words.back().empty()) words.pop_back();
  return words;
}

TEST(PreTokenizer, CutsLikeACharacterByCharacterSplitAtAnyAlignment) {
  // Every white-space character, and characters near them or like them that are none.
  Words pieces{"a",      "bcdefghijk", "lmnopqrstuvwxyz0123", std::string(1, '\0'), "\x1c",   "\x1f",  "\u200b",
               "\u2030", "\u3001",     "\u1681",              "\u00e9",             "\u4e2d", "\ufeff", "\u2010",
               "\u00a1", "\U0001F600", "!\"#",                 "~\x7f"};
  pieces.insert(pieces.end(), kWhiteSpace.begin(), kWhiteSpace.end());
  std::mt19937 random(3);
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    for (int n = std::uniform_int_distribution<int>(0, 30)(random); n > 0; --n) {
      text += pieces[random() % pieces.size()];
    }
    EXPECT_EQ(pre_tokenize(PreTokenization::Whitespace, text), split_by_character(text)) << text;
  }
}

TEST(PreTokenizer, AsciiPunctuationBecomesWordsOfItsOwn) {
  EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, "don't ... ¿qué?\u2010x\u3000y"),
            (Words{"don", "'", "t", ".", ".", ".", "¿qué", "?", "\u2010x", "y"}));
  const std::string all_punctuation = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, all_punctuation).size(), 32u);
}

TEST(SpecialTokenRemoval, OnePassPerTokenKeepsOccurrencesFormedByDeletionAndSkipsEmptyTokens) {
  EXPECT_EQ(remove_one_token_at_a_time("[[S]S]", std::vector<std::string>{"[S]"}), "[S]");
  EXPECT_EQ(remove_one_token_at_a_time("a[S]b[E]c<s>", std::vector<std::string>{"[S]", "", "[E]", "<s>"}), "abc");
}

std::vector<std::string> split(const std::vector<std::string>& tokens, std::string_view text) {
  std::vector<std::string> parts;
  SpecialTokenSplitter(tokens).split(
      text, [&](std::string_view piece) { parts.push_back("piece:" + std::string(piece)); },
      [&](const std::string& token) { parts.push_back("token:" + token); });
  return parts;
}

TEST(SpecialTokenSplit, ListOrderDecidesAndEmptyPiecesPrecedeTokens) {
  EXPECT_EQ(split({"ab", "abc"}, "abc"), (Words{"piece:", "token:ab", "piece:c"}));
  EXPECT_EQ(split({"<a>", "<b>"}, "<a><b>x<b>"),
            (Words{"piece:", "token:<a>", "piece:", "token:<b>", "piece:x", "token:<b>"}));
  EXPECT_EQ(split({"", "é"}, "aéb"), (Words{"piece:a", "token:é", "piece:b"}));
  EXPECT_EQ(split({"\xa9"}, "\xc3\xa9"), (Words{"piece:\xc3\xa9"}));  // never inside a character
}

}  // namespace
}  // namespace wordloom
