// Pre-tokenization, special-token removal and the special-token split.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "pretokenizer.hpp"
#include "special_tokens.hpp"
#include "utf8.hpp"

namespace wordloom {
namespace {

using Words = std::vector<std::string>;

TEST(PreTokenizer, EveryWhiteSpaceCodePointSeparatesWords) {
  const char* spaces[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680", "\u2000", "\u2001",
                          "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009",
                          "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
  for (const char* space : spaces) {
    const std::string text = std::string("a") + space + space + "b" + space;
    EXPECT_EQ(pre_tokenize(PreTokenization::Whitespace, text), (Words{"a", "b"})) << "U+" << text;
  }
}

// Cuts at the white-space code points one character at a time.
Words split_by_code_point(std::string_view text) {
  const std::set<char32_t> spaces{0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                  0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                  0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  Words words(1);
  for_each_char(text, [&](std::string_view character) {
    if (!spaces.contains(utf8_code_point(character, 0))) words.back() += character;
    else if (!words.back().empty()) words.emplace_back();
  });
  if (words.back().empty()) words.pop_back();
  return words;
}

TEST(PreTokenizer, CutsLikeACharacterByCharacterSplitAtAnyAlignment) {
  const std::string pieces[] = {"a",      "bcdefghijk", "lmnopqrstuvwxyz0123", " ",      "\t",     "\n\r",
                                "\x0b",   "\f",         "\u0085",              "\u00a0", "\u1680", "\u2000",
                                "\u200a", "\u2028",     "\u202f",              "\u205f", "\u3000", std::string(1, '\0'),
                                "\x1f",   "\u200b",     "\u2030",              "\u3001", "\u1681", "\u00e9",
                                "\u4e2d", "\U0001F600", "!\"#",                 "~\x7f"};
  std::mt19937 random(3);
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    for (int n = std::uniform_int_distribution<int>(0, 30)(random); n > 0; --n) {
      text += pieces[random() % std::size(pieces)];
    }
    EXPECT_EQ(pre_tokenize(PreTokenization::Whitespace, text), split_by_code_point(text)) << text;
  }
}

TEST(PreTokenizer, LookalikesOfWhiteSpaceStayInsideWords) {
  for (const char* inside : {"\u200b", "\ufeff", "\x1c", "\x1f", "\u2010", "\u00a1"}) {
    const std::string word = std::string("a") + inside + "b";
    EXPECT_EQ(pre_tokenize(PreTokenization::Whitespace, word), (Words{word}));
    EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, word), (Words{word}));
  }
}

TEST(PreTokenizer, PunctuationBecomesWordsOfItsOwn) {
  EXPECT_EQ(pre_tokenize(PreTokenization::Whitespace, "Hello, world!"), (Words{"Hello,", "world!"}));
  EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, "Hello, world!"), (Words{"Hello", ",", "world", "!"}));
  EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, "don't ... ¿qué?"),
            (Words{"don", "'", "t", ".", ".", ".", "¿qué", "?"}));
  const std::string all_punctuation = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  EXPECT_EQ(pre_tokenize(PreTokenization::Punctuation, all_punctuation).size(), 32u);
}

TEST(PreTokenizer, EmptyAndBlankTextsGiveNoWords) {
  for (PreTokenization kind : {PreTokenization::Whitespace, PreTokenization::Punctuation}) {
    EXPECT_TRUE(pre_tokenize(kind, "").empty());
    EXPECT_TRUE(pre_tokenize(kind, " \t\u3000\r\n").empty());
  }
}

TEST(SpecialTokenRemoval, MethodsDifferOnNestedTokens) {
  const std::vector<std::string> tokens{"abcd", "bc"};
  EXPECT_EQ(remove_one_token_at_a_time("xabcdy", tokens), "xy");
  EXPECT_EQ(AhoCorasick(tokens).remove_all("xabcdy"), "xady");
}

TEST(SpecialTokenRemoval, OnePassPerTokenKeepsOccurrencesFormedByDeletion) {
  EXPECT_EQ(remove_one_token_at_a_time("[[S]S]", std::vector<std::string>{"[S]"}), "[S]");
  EXPECT_EQ(remove_one_token_at_a_time("a[S]b[E]c", std::vector<std::string>{"[S]", "[E]"}), "abc");
  EXPECT_EQ(AhoCorasick(std::vector<std::string>{"[S]", "[E]"}).remove_all("a[S]b[E]c"), "abc");
}

TEST(SpecialTokenRemoval, EmptyTokens) {
  EXPECT_EQ(remove_one_token_at_a_time("a<s>b", std::vector<std::string>{"", "<s>"}), "ab");
  // The empty pattern matches first everywhere, so nothing at all is removed.
  EXPECT_EQ(AhoCorasick(std::vector<std::string>{"<s>", ""}).remove_all("a<s>b"), "a<s>b");
}

TEST(SpecialTokenRemoval, AhoCorasickReportsEarliestEndThenLongest) {
  const AhoCorasick matcher(std::vector<std::string>{"b", "abc", "bcd", "c"});
  // "b" ends first; after it the scan restarts at "cd...".
  EXPECT_EQ(matcher.remove_all("abcd"), "ad");
  const AhoCorasick longest(std::vector<std::string>{"c", "abc"});
  EXPECT_EQ(longest.remove_all("xabcx"), "xx");
  const AhoCorasick shared_suffixes(std::vector<std::string>{"she", "he", "hers"});
  EXPECT_EQ(shared_suffixes.remove_all("ushers"), "urs");
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
