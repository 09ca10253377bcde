// The multi-pattern matcher against a naive scan on random patterns over tiny
// alphabets, where overlaps, shared prefixes and shared suffixes are common.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "special_tokens.hpp"

namespace wordloom {
namespace {

using Patterns = std::vector<std::string>;

// The first match at or after `from`: the one ending first, and of those
// ending at the same place the longest.
std::optional<AhoCorasick::Match> naive_find(const Patterns& patterns, std::string_view text, std::size_t from) {
  for (std::size_t end = from; end <= text.size(); ++end) {
    std::optional<std::size_t> longest;
    for (const std::string& pattern : patterns) {
      if (pattern.size() > end - from || text.substr(end - pattern.size(), pattern.size()) != pattern) continue;
      if (!longest || pattern.size() > *longest) longest = pattern.size();
    }
    if (longest) return AhoCorasick::Match{end - *longest, end};
  }
  return std::nullopt;
}

std::string naive_remove_all(const Patterns& patterns, std::string_view text) {
  std::string cleaned;
  std::size_t copied = 0;
  while (std::optional<AhoCorasick::Match> match = naive_find(patterns, text, copied)) {
    if (match->end == match->begin) return std::string(text);  // the empty pattern matches first, everywhere
    cleaned.append(text, copied, match->begin - copied);
    copied = match->end;
  }
  cleaned.append(text, copied);
  return cleaned;
}

std::string random_string(std::mt19937& random, std::string_view alphabet, std::size_t max_length) {
  std::string text(std::uniform_int_distribution<std::size_t>(0, max_length)(random), '\0');
  for (char& c : text) c = alphabet[random() % alphabet.size()];
  return text;
}

// Fresh strings, prefixes and suffixes of earlier patterns, repeats, and now
// and then the empty pattern.
Patterns random_patterns(std::mt19937& random, std::string_view alphabet) {
  Patterns patterns;
  const int count = std::uniform_int_distribution<int>(1, 8)(random);
  while (static_cast<int>(patterns.size()) < count) {
    const unsigned kind = random() % 8;
    if (patterns.empty() || kind < 4) {
      std::string fresh = random_string(random, alphabet, 6);
      if (!fresh.empty() || random() % 10 == 0) patterns.push_back(std::move(fresh));
      continue;
    }
    const std::string& earlier = patterns[random() % patterns.size()];
    const std::size_t cut = earlier.empty() ? 0 : random() % earlier.size();
    if (kind == 4) patterns.push_back(earlier.substr(0, cut + 1));
    else if (kind == 5) patterns.push_back(earlier.substr(cut));
    else if (kind == 6) patterns.push_back(earlier.substr(cut / 2, cut / 2 + 1));
    else patterns.push_back(earlier);
  }
  return patterns;
}

// A text with planted patterns between random filler, so matches are dense.
std::string random_text(std::mt19937& random, std::string_view alphabet, const Patterns& patterns) {
  std::string text;
  const int pieces = std::uniform_int_distribution<int>(0, 8)(random);
  for (int i = 0; i < pieces; ++i) {
    text += random() % 2 == 0 ? patterns[random() % patterns.size()] : random_string(random, alphabet, 4);
  }
  return text;
}

std::string describe(const Patterns& patterns, const std::string& text) {
  std::string out = "patterns:";
  for (const std::string& pattern : patterns) out += " \"" + pattern + "\"";
  return out + " text: \"" + text + "\"";
}

TEST(AhoCorasick, RemovesWhatANaiveScanRemoves) {
  std::mt19937 random(2024);
  const std::string alphabets[] = {"a", "ab", "abc", std::string("a\0\xff", 3)};
  for (int trial = 0; trial < 6000; ++trial) {
    const std::string& alphabet = alphabets[trial % std::size(alphabets)];
    const Patterns patterns = random_patterns(random, alphabet);
    const std::string text = random_text(random, alphabet, patterns);
    ASSERT_EQ(AhoCorasick(patterns).remove_all(text), naive_remove_all(patterns, text)) << describe(patterns, text);
  }
}

TEST(AhoCorasick, FindsWhatANaiveScanFindsFromEveryStart) {
  std::mt19937 random(77);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::string alphabet = trial % 2 == 0 ? "ab" : "abc";
    const Patterns patterns = random_patterns(random, alphabet);
    const std::string text = random_text(random, alphabet, patterns);
    const AhoCorasick matcher(patterns);
    const InterruptCheck no_interrupts;
    InterruptCadence cadence(no_interrupts);
    for (std::size_t from = 0; from <= text.size(); ++from) {
      const std::optional<AhoCorasick::Match> found = matcher.find(text, from, cadence);
      const std::optional<AhoCorasick::Match> expected = naive_find(patterns, text, from);
      ASSERT_EQ(found.has_value(), expected.has_value()) << describe(patterns, text) << " from " << from;
      if (!found) continue;
      ASSERT_EQ(found->begin, expected->begin) << describe(patterns, text) << " from " << from;
      ASSERT_EQ(found->end, expected->end) << describe(patterns, text) << " from " << from;
    }
  }
}

TEST(AhoCorasick, EmptyInputAndNoPatterns) {
  EXPECT_EQ(AhoCorasick(Patterns{"ab", "b"}).remove_all(""), "");
  EXPECT_EQ(AhoCorasick(Patterns{""}).remove_all(""), "");
  EXPECT_EQ(AhoCorasick(Patterns{}).remove_all("abc"), "abc");
  const InterruptCheck no_interrupts;
  InterruptCadence cadence(no_interrupts);
  EXPECT_FALSE(AhoCorasick(Patterns{}).find("abc", 0, cadence).has_value());
}

}  // namespace
}  // namespace wordloom
