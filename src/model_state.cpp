#include "model_state.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "state_bytes.hpp"

namespace wordloom {
namespace {

// "WLM" and a format version.
constexpr std::string_view kMagic = "WLM\x01";
// The tokenizer envelope: "WLT" and a format version.
constexpr std::string_view kTokenizerMagic = "WLT\x01";

// The members that for_each_member(visit) visits, written sorted, so that
// equal models give equal bytes.
template <typename V, typename ForEachMember>
void write_pair_map(StateWriter& out, ForEachMember&& for_each_member, void (StateWriter::*value)(V)) {
  std::vector<std::pair<TokenPair, V>> sorted;
  for_each_member([&](TokenPair pair, V v) { sorted.emplace_back(pair, v); });
  std::sort(sorted.begin(), sorted.end());
  out.u64(sorted.size());
  for (const auto& [pair, v] : sorted) {
    out.u32(pair.left);
    out.u32(pair.right);
    (out.*value)(v);
  }
}

template <typename V>
PairMap<V> read_pair_map(StateReader& in, V (StateReader::*value)()) {
  const std::size_t n = in.count(8 + sizeof(V));
  PairMap<V> pairs;
  pairs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const TokenPair pair{in.u32(), in.u32()};
    pairs.insert_or_assign(pair, (in.*value)());
  }
  return pairs;
}

// The settings shared by a model's Config and a tokenizer record.
void write_settings(StateWriter& out, std::uint64_t target_vocab_size, PreTokenization pre_tokenizer,
                    SpecialTokenRemovalMethod removal_method, const std::vector<std::string>& special_tokens) {
  out.u64(target_vocab_size);
  out.u8(static_cast<std::uint8_t>(pre_tokenizer));
  out.u8(static_cast<std::uint8_t>(removal_method));
  out.u64(special_tokens.size());
  for (const std::string& token : special_tokens) out.text(token);
}

Config read_settings(StateReader& in) {
  Config config;
  config.target_vocab_size = in.u64();
  const std::uint8_t pre_tokenizer = in.u8();
  const std::uint8_t removal_method = in.u8();
  if (pre_tokenizer > 1 || removal_method > 1) throw Truncated{};
  config.pre_tokenizer = static_cast<PreTokenization>(pre_tokenizer);
  config.special_token_removal_method = static_cast<SpecialTokenRemovalMethod>(removal_method);
  config.special_tokens.resize(in.count(8));
  for (std::string& token : config.special_tokens) token = in.text();
  return config;
}

std::shared_ptr<const Model> read_model(StateReader& in) {
  Config config = read_settings(in);

  TokenTable table;
  table.id_to_token.resize(in.count(8));
  for (std::string& token : table.id_to_token) token = in.text();
  const std::size_t entries = in.count(12);
  table.token_to_id.reserve(entries);
  for (std::size_t i = 0; i < entries; ++i) {
    std::string token = in.text();
    table.token_to_id.insert_or_assign(std::move(token), in.u32());
  }
  std::vector<TokenPair> merge_rules(in.count(8));
  for (TokenPair& pair : merge_rules) pair = {in.u32(), in.u32()};
  PairMap<std::uint64_t> ranks = read_pair_map(in, &StateReader::u64);
  PairMap<TokenId> results = read_pair_map(in, &StateReader::u32);
  return std::make_shared<const Model>(std::move(config), std::move(table), std::move(merge_rules),
                                       std::move(ranks), std::move(results));
}

}  // namespace

std::string encode_model_state(const Model& model) {
  StateWriter out;
  out.raw(kMagic);
  const Config& config = model.config;
  write_settings(out, config.target_vocab_size, config.pre_tokenizer, config.special_token_removal_method,
                 config.special_tokens);

  out.u64(model.token_table.id_to_token.size());
  for (const std::string& token : model.token_table.id_to_token) out.text(token);
  std::vector<std::pair<std::string_view, TokenId>> entries(model.token_table.token_to_id.begin(),
                                                            model.token_table.token_to_id.end());
  std::sort(entries.begin(), entries.end());
  out.u64(entries.size());
  for (const auto& [token, id] : entries) {
    out.text(token);
    out.u32(id);
  }
  out.u64(model.merge_rules.size());
  for (const TokenPair& pair : model.merge_rules) {
    out.u32(pair.left);
    out.u32(pair.right);
  }
  const MergePairs& pairs = model.merge_pairs;
  write_pair_map(out, [&](auto visit) { pairs.for_each_rank(visit); }, &StateWriter::u64);
  write_pair_map(out, [&](auto visit) { pairs.for_each_result(visit); }, &StateWriter::u32);
  return out.take();
}

expected<std::shared_ptr<const Model>, std::string> decode_model_state(std::string_view state) {
  using Failure = unexpected<std::string>;
  if (!state.starts_with(kMagic)) return Failure("not a wordloom model state");
  StateReader in(state.substr(kMagic.size()));
  try {
    std::shared_ptr<const Model> model = read_model(in);
    if (!in.at_end()) return Failure("a wordloom model state with trailing bytes");
    return model;
  } catch (const Truncated&) {
    return Failure("a truncated or corrupt wordloom model state");
  }
}

std::string encode_tokenizer_state(const BpeTokenizer& tokenizer) {
  StateWriter out;
  out.raw(kTokenizerMagic);
  write_settings(out, tokenizer.target_vocab_size, tokenizer.pre_tokenizer, tokenizer.special_token_removal_method,
                 tokenizer.special_tokens);
  out.text(tokenizer.input_path);
  out.u8(tokenizer.save_model);
  out.u8(tokenizer.output_dir.has_value());
  if (tokenizer.output_dir) out.text(*tokenizer.output_dir);
  out.text(tokenizer.trained() ? encode_model_state(*tokenizer.model) : "");  // empty: untrained
  return out.take();
}

expected<BpeTokenizer, std::string> decode_tokenizer_state(std::string_view state) {
  using Failure = unexpected<std::string>;
  if (!state.starts_with(kTokenizerMagic)) return Failure("not a wordloom tokenizer state");
  StateReader in(state.substr(kTokenizerMagic.size()));
  BpeTokenizer tokenizer;
  std::string_view model_state;
  try {
    Config settings = read_settings(in);
    tokenizer.target_vocab_size = settings.target_vocab_size;
    tokenizer.pre_tokenizer = settings.pre_tokenizer;
    tokenizer.special_token_removal_method = settings.special_token_removal_method;
    tokenizer.special_tokens = std::move(settings.special_tokens);
    tokenizer.input_path = in.text();
    tokenizer.save_model = in.flag();
    if (in.flag()) tokenizer.output_dir = in.text();
    model_state = in.text_view();
    if (!in.at_end()) throw Truncated{};
  } catch (const Truncated&) {
    return Failure("a truncated or corrupt wordloom tokenizer state");
  }
  if (model_state.empty()) return tokenizer;
  auto model = decode_model_state(model_state);
  if (!model) return Failure(std::move(model).error());
  tokenizer.model = std::move(model).value();
  return tokenizer;
}

}  // namespace wordloom
