#include "special_tokens.hpp"

#include <deque>

namespace wordloom {

std::string remove_one_token_at_a_time(std::string_view text, std::span<const std::string> tokens,
                                       const InterruptCheck& check_interrupt) {
  InterruptCadence cadence(check_interrupt);
  std::string current(text);
  std::string cleaned;
  for (const std::string& token : tokens) {
    cadence.step(current.size());  // one pass over the text
    if (token.empty()) continue;
    std::size_t found = current.find(token);
    if (found == std::string::npos) continue;
    cleaned.clear();
    cleaned.reserve(current.size());
    std::size_t copied = 0;
    for (; found != std::string::npos; found = current.find(token, copied)) {
      cleaned.append(current, copied, found - copied);
      copied = found + token.size();
    }
    cleaned.append(current, copied);
    current.swap(cleaned);
  }
  return current;
}

// ---- AhoCorasick ----

namespace {
std::uint64_t edge_key(std::uint32_t state, unsigned char byte) {
  return (static_cast<std::uint64_t>(state) << 8) | byte;
}
}  // namespace

AhoCorasick::AhoCorasick(std::span<const std::string> patterns) {
  std::vector<std::uint32_t> depth{0};
  std::vector<std::uint32_t> pattern_end{0};  // depth when a pattern ends here, else 0
  auto child_of = [&](std::uint32_t state, unsigned char byte) -> std::uint32_t {
    if (state == kRoot) return root_next_[byte];
    auto found = edges_.find(edge_key(state, byte));
    return found == edges_.end() ? kRoot : found->second;
  };
  for (const std::string& pattern : patterns) {
    if (pattern.empty()) has_empty_pattern_ = true;
    std::uint32_t state = kRoot;
    for (char c : pattern) {
      const auto byte = static_cast<unsigned char>(c);
      std::uint32_t child = child_of(state, byte);
      if (child == kRoot) {
        child = static_cast<std::uint32_t>(depth.size());
        depth.push_back(depth[state] + 1);
        pattern_end.push_back(0);
        if (state == kRoot) root_next_[byte] = child;
        else edges_.emplace(edge_key(state, byte), child);
      }
      state = child;
    }
    pattern_end[state] = depth[state];
  }

  // Breadth-first: failure links and the longest pattern that ends at each state.
  failure_.assign(depth.size(), kRoot);
  longest_match_.assign(depth.size(), 0);
  std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(depth.size());
  for (unsigned byte = 0; byte < 256; ++byte) {
    if (root_next_[byte] != kRoot) children[kRoot].emplace_back(byte, root_next_[byte]);
  }
  for (const auto& [key, child] : edges_) children[key >> 8].emplace_back(key & 0xFF, child);
  std::deque<std::uint32_t> queue{kRoot};
  while (!queue.empty()) {
    const std::uint32_t state = queue.front();
    queue.pop_front();
    longest_match_[state] = pattern_end[state] != 0 ? pattern_end[state] : longest_match_[failure_[state]];
    for (const auto& [byte, child] : children[state]) {
      failure_[child] = state == kRoot ? kRoot : next_state(failure_[state], byte);
      queue.push_back(child);
    }
  }
}

std::uint32_t AhoCorasick::next_state(std::uint32_t state, unsigned char byte) const {
  while (state != kRoot) {
    auto found = edges_.find(edge_key(state, byte));
    if (found != edges_.end()) return found->second;
    state = failure_[state];
  }
  return root_next_[byte];
}

std::optional<AhoCorasick::Match> AhoCorasick::find(std::string_view text, std::size_t from,
                                                    InterruptCadence& cadence) const {
  if (has_empty_pattern_) return Match{from, from};
  std::uint32_t state = kRoot;
  for (std::size_t pos = from; pos < text.size(); ++pos) {
    cadence.step();
    state = next_state(state, static_cast<unsigned char>(text[pos]));
    if (const std::uint32_t length = longest_match_[state]; length != 0) {
      return Match{pos + 1 - length, pos + 1};
    }
  }
  return std::nullopt;
}

std::string AhoCorasick::remove_all(std::string_view text, const InterruptCheck& check_interrupt) const {
  // An empty pattern matches before anything else can end: nothing is removed.
  if (has_empty_pattern_) return std::string(text);
  std::string cleaned;
  cleaned.reserve(text.size());
  InterruptCadence cadence(check_interrupt);
  std::size_t copied = 0;
  while (std::optional<Match> match = find(text, copied, cadence)) {
    cleaned.append(text, copied, match->begin - copied);
    copied = match->end;
  }
  cleaned.append(text, copied);
  return cleaned;
}

// ---- SpecialTokenSplitter ----

SpecialTokenSplitter::SpecialTokenSplitter(std::span<const std::string> tokens) : tokens_(tokens) {
  for (std::size_t index = 0; index < tokens.size(); ++index) {
    if (tokens[index].empty()) continue;
    by_first_byte_[static_cast<unsigned char>(tokens[index][0])].push_back(static_cast<std::uint32_t>(index));
  }
}

const std::string* SpecialTokenSplitter::token_at(std::string_view text, std::size_t pos) const {
  for (std::uint32_t index : by_first_byte_[static_cast<unsigned char>(text[pos])]) {
    if (text.substr(pos).starts_with(tokens_[index])) return &tokens_[index];
  }
  return nullptr;
}

}  // namespace wordloom
