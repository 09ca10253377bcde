// Model persistence: the model directory of five JSON files, written after
// training and read back into a trained record.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "bpe_tokenizer.hpp"
#include "json_plain_scanner.hpp"
#include "json_reader.hpp"
#include "json_writer.hpp"
#include "model_directory.hpp"

namespace wordloom {
namespace {

// Variant i of each enumeration is written as names[i].
constexpr std::string_view kPreTokenizationNames[] = {"Whitespace", "Punctuation"};
constexpr std::string_view kRemovalMethodNames[] = {"Simple", "AhoCorasick"};

// The presence checks of a load run in name order; the first missing file is
// the one reported.
constexpr auto kPresenceCheckOrder = [] {
  auto names = kModelFileNames;
  std::ranges::sort(names);
  return names;
}();

constexpr std::size_t kMaxIdDigits = 10;  // 4294967295
// Room for two ids in decimal and the "_" between them.
using PairKeyBuffer = char[2 * kMaxIdDigits + 1];

// ---------------------------------------------------------------- writing

// "{left}_{right}", the text form of a pair in the pair-keyed files.
std::string_view format_pair_key(TokenPair pair, PairKeyBuffer& buffer) {
  char* end = std::to_chars(buffer, buffer + kMaxIdDigits, pair.left).ptr;
  *end++ = '_';
  end = std::to_chars(end, std::end(buffer), pair.right).ptr;
  return {buffer, static_cast<std::size_t>(end - buffer)};
}

void write_strings(JsonFileWriter& json, const std::vector<std::string>& strings) {
  json.begin_array();
  for (const std::string& text : strings) json.value(text);
  json.end_array();
}

void write_config(JsonFileWriter& json, const Config& config) {
  json.begin_object();
  json.key("target_vocab_size");
  json.value(config.target_vocab_size);
  json.key("pre_tokenizer");
  json.value(kPreTokenizationNames[static_cast<std::size_t>(config.pre_tokenizer)]);
  json.key("special_tokens");
  write_strings(json, config.special_tokens);
  json.key("special_token_removal_method");
  json.value(kRemovalMethodNames[static_cast<std::size_t>(config.special_token_removal_method)]);
  json.end_object();
}

void write_token_table(JsonFileWriter& json, const TokenTable& table) {
  json.begin_object();
  json.key("id_to_token");
  write_strings(json, table.id_to_token);
  json.key("token_to_id");
  json.begin_object();
  for (const auto& [token, id] : table.token_to_id) {
    json.key(token);
    json.value(id);
  }
  json.end_object();
  json.end_object();
}

void write_merge_rules(JsonFileWriter& json, const std::vector<TokenPair>& merge_rules) {
  json.begin_array();
  for (const TokenPair& pair : merge_rules) {
    json.begin_array();
    json.value(pair.left);
    json.value(pair.right);
    json.end_array();
  }
  json.end_array();
}

// The members of a pair map, which for_each(visit) visits. Their order is
// the one they were read or made in, which nothing may rely on.
template <typename ForEach>
void write_pair_keyed(JsonFileWriter& json, ForEach&& for_each) {
  json.begin_object();
  PairKeyBuffer key;
  for_each([&](TokenPair pair, auto value) {
    json.key(format_pair_key(pair, key));
    json.value(value);
  });
  json.end_object();
}

// ---------------------------------------------------------------- reading

// 0 when `path` exists, else why not (errno).
int existence_error(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? 0 : errno;
}

// 0 for a directory, else why `path` is not one (errno).
int directory_error(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

Result<void> read_config(const std::string& path, Config& config) {
  json::UnsignedValue<std::uint64_t> target_vocab_size(&config.target_vocab_size);
  json::EnumValue<PreTokenization> pre_tokenizer("PreTokenization", kPreTokenizationNames, &config.pre_tokenizer);
  json::StringList special_tokens(&config.special_tokens);
  json::EnumValue<SpecialTokenRemovalMethod> removal_method("SpecialTokenRemovalMethod", kRemovalMethodNames,
                                                            &config.special_token_removal_method);
  json::StructShape shape("Config", {{"target_vocab_size", &target_vocab_size},
                                     {"pre_tokenizer", &pre_tokenizer},
                                     {"special_tokens", &special_tokens},
                                     {"special_token_removal_method", &removal_method}});
  return json::read_json_file(path, shape);
}

Result<void> read_token_table(std::string_view text, TokenTable& table) {
  json::StringList id_to_token(&table.id_to_token);
  json::UnsignedMap<TokenId> token_to_id(&table.token_to_id);
  json::StructShape shape("TokenTable", {{"id_to_token", &id_to_token}, {"token_to_id", &token_to_id}});
  return json::read_json_text(text, shape);
}

// Takes a u32 in decimal digits, with at most one leading "+", from the
// front of `text`. (Results go out through references: an optional built
// field by field stalls the reads that follow, and keys come by the ten
// thousand.)
bool take_pair_id(std::string_view& text, TokenId& id) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    if (value > std::numeric_limits<TokenId>::max()) return false;
  }
  if (digits == 0) return false;
  id = static_cast<TokenId>(value);
  text.remove_prefix(digits);
  return true;
}

// "12_7" and "+12_7" are the pair (12, 7); parts after a second "_" are ignored.
bool parse_pair_key(std::string_view key, TokenPair& pair) {
  if (!take_pair_id(key, pair.left) || !key.starts_with('_')) return false;
  key.remove_prefix(1);
  return take_pair_id(key, pair.right) && (key.empty() || key.starts_with('_'));
}

// An object from pair keys to values, read straight into a pair map; keys
// naming the same pair leave the value met last. A malformed key is only
// remembered: keys are judged once every model file has been read, so that a
// JSON error in a later file comes first.
template <typename V>
class PairKeyedMap final : public json::Shape, public json::ObjectContents {
 public:
  explicit PairKeyedMap(PairMap<V>* target) : target_(target) {}

  std::string expected() const override { return "a map"; }
  bool begin_object(json::Reader& reader) override {
    reader.push(*this);
    return true;
  }
  json::Shape* member(json::Reader&, std::string_view key) override {
    TokenPair pair;
    const bool parsed = parse_pair_key(key, pair);
    if (!parsed && !malformed_key_) malformed_key_ = std::string(key);
    value_.bind(parsed ? &(*target_)[pair] : &discarded_);
    return &value_;
  }
  bool end_object(json::Reader&) override { return true; }

  // The writer never makes a key that does not read as a pair, hence an
  // internal failure rather than an error.
  void check_keys(std::string_view file_name) const {
    if (malformed_key_) {
      internal_failure("malformed pair key \"" + *malformed_key_ + "\" in " + std::string(file_name));
    }
  }

 private:
  PairMap<V>* target_;
  json::UnsignedValue<V> value_;
  V discarded_ = 0;
  std::optional<std::string> malformed_key_;
};

// ---------------------------------------------------------------- plain files

// The files as the writer makes them are read by json::PlainScanner; these
// return false for anything else, leaving the target to be read afresh by
// the shapes above, which accept or reject the text with their exact message.

// Sizes `target` for the entries that `text` is expected to hold, so that it
// never grows: `expected` of them, or fewer when `text` is too short for so
// many of at least `min_bytes` each.
template <typename T>
void reserve_for(T& target, std::uint64_t expected, std::string_view text, std::size_t min_bytes) {
  target.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected, text.size() / min_bytes)));
}

// A model has about as many tokens as its target size; each takes a list
// entry and a map member, at least eight bytes.
bool scan_token_table(std::string_view text, TokenTable& table, std::uint64_t target_vocab_size) {
  json::PlainScanner scan(text);
  reserve_for(table.id_to_token, target_vocab_size, text, 8);
  bool list_seen = false;
  bool map_seen = false;
  std::string decoded;
  const auto read_token = [&] {
    std::string_view token;
    if (!scan.string(token, decoded)) return false;
    table.id_to_token.emplace_back(token);
    return true;
  };
  const auto read_id = [&](std::string_view token) {
    std::uint64_t id;
    if (!scan.unsigned_integer(std::numeric_limits<TokenId>::max(), id)) return false;
    // A repeated token keeps its last id.
    const auto [entry, inserted] = table.token_to_id.try_emplace(token, static_cast<TokenId>(id));
    if (!inserted) entry->second = static_cast<TokenId>(id);
    return true;
  };
  const auto read_member = [&](std::string_view name) {
    if (name == "id_to_token" && !std::exchange(list_seen, true)) return scan.array(read_token);
    if (name == "token_to_id" && !std::exchange(map_seen, true)) {
      table.token_to_id.reserve(table.id_to_token.size());
      return scan.object(read_id);
    }
    return false;  // another member, or one seen before
  };
  return scan.object(read_member) && list_seen && map_seen && scan.at_end();
}

// Each merge adds a token: there are fewer rules than tokens, each of at least
// six bytes.
bool scan_merge_rules(std::string_view text, std::vector<TokenPair>& merge_rules, std::size_t tokens) {
  json::PlainScanner scan(text);
  reserve_for(merge_rules, tokens, text, 6);
  constexpr std::uint64_t kMaxId = std::numeric_limits<TokenId>::max();
  const auto read_rule = [&] {
    std::uint64_t left, right;
    if (!scan.consume('[') || !scan.unsigned_integer(kMaxId, left) || !scan.consume(',') ||
        !scan.unsigned_integer(kMaxId, right) || !scan.consume(']')) {
      return false;
    }
    merge_rules.push_back({static_cast<TokenId>(left), static_cast<TokenId>(right)});
    return true;
  };
  return scan.array(read_rule) && scan.at_end();
}

// Hands each member to add(pair, value), which may refuse it. A malformed
// key is unusual too: the shapes remember it for later.
template <typename V, typename Add>
bool scan_pair_keyed(std::string_view text, Add&& add) {
  json::PlainScanner scan(text);
  std::uint64_t left, right;
  const auto read_key = [&] { return scan.integer_pair_string('_', std::numeric_limits<TokenId>::max(), left, right); };
  const auto read_value = [&] {
    std::uint64_t value;
    return scan.unsigned_integer(std::numeric_limits<V>::max(), value) &&
           add(TokenPair{static_cast<TokenId>(left), static_cast<TokenId>(right)}, static_cast<V>(value));
  };
  return scan.object(read_key, read_value) && scan.at_end();
}

// Into a map, where a pair named again keeps its last value.
template <typename V>
bool scan_pair_map(std::string_view text, PairMap<V>& pairs, std::size_t expected_size) {
  pairs.reserve(expected_size);
  return scan_pair_keyed<V>(text, [&](TokenPair pair, V value) {
    pairs.insert_or_assign(pair, value);
    return true;
  });
}

// Reads the model file at `path` into `target`, through `text`: by `scan`
// when the file is plain, else afresh by `read_exact`.
template <typename T, typename Scan, typename ReadExact>
Result<void> read_model_file(const std::string& path, std::string& text, T& target, Scan&& scan,
                             ReadExact&& read_exact) {
  if (Result<void> read = json::read_json_file_text(path, text); !read) return read;
  if (scan(text, target)) return {};
  target = T{};
  Result<void> read = read_exact(text, target);
  if (!read) return fail(std::move(read).error().with_path(path));
  return read;
}

}  // namespace

Result<void> save_model_files(const Model& model, const std::string& output_dir) {
  std::error_code directory_error;
  std::filesystem::create_directories(output_dir, directory_error);
  if (directory_error) return fail(TokenizerError::file_error(directory_error.value()).with_path(output_dir));

  // Written in this order, each file closed before the next one is created.
  const std::pair<ModelFile, std::function<void(JsonFileWriter&)>> files[] = {
      {ModelFile::Config, [&](JsonFileWriter& json) { write_config(json, model.config); }},
      {ModelFile::TokenTable, [&](JsonFileWriter& json) { write_token_table(json, model.token_table); }},
      {ModelFile::MergeRules, [&](JsonFileWriter& json) { write_merge_rules(json, model.merge_rules); }},
      {ModelFile::SaveRanks,
       [&](JsonFileWriter& json) {
         write_pair_keyed(json, [&](auto visit) { model.merge_pairs.for_each_rank(visit); });
       }},
      {ModelFile::PairsToMerge,
       [&](JsonFileWriter& json) {
         write_pair_keyed(json, [&](auto visit) { model.merge_pairs.for_each_result(visit); });
       }},
  };
  for (const auto& [file, write_content] : files) {
    const std::string path = output_dir + "/" + std::string(file_name(file));
    Result<JsonFileWriter> json = JsonFileWriter::create(path);
    if (!json) return fail(std::move(json).error().with_path(path));
    write_content(*json);
    if (Result<void> written = json->finish(); !written) return fail(std::move(written).error().with_path(path));
  }
  return {};
}

Result<std::shared_ptr<const Model>> load_model_files(std::string_view files_path) {
  const std::string directory(files_path);
  if (const int error = directory_error(directory)) {
    return fail(TokenizerError::invalid_model_directory(files_path).with_os_error(error).with_path(directory));
  }
  for (std::string_view name : kPresenceCheckOrder) {
    const std::string path = directory + "/" + std::string(name);
    if (const int error = existence_error(path)) {
      return fail(TokenizerError::missing_model_file(name).with_os_error(error).with_path(path));
    }
  }

  Config config;
  TokenTable token_table;
  std::vector<TokenPair> merge_rules;
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> results;
  json::PairList merge_rules_shape(&merge_rules);
  PairKeyedMap<std::uint64_t> save_ranks(&ranks);
  PairKeyedMap<TokenId> pairs_to_merge(&results);
  const auto read_with = [](json::Shape& shape) {
    return [&shape](std::string_view text, auto&) { return json::read_json_text(text, shape); };
  };
  const auto scan_tokens = [&](std::string_view text, TokenTable& tokens) {
    return scan_token_table(text, tokens, config.target_vocab_size);
  };
  const auto scan_rules = [&](std::string_view text, std::vector<TokenPair>& rules) {
    return scan_merge_rules(text, rules, token_table.size());
  };
  // The pair files go straight into the merge table while it holds them
  // exactly, else into the maps.
  std::optional<MergePairsBuilder> table;
  const auto scan_ranks = [&](std::string_view text, PairMap<std::uint64_t>& pairs) {
    table.emplace(merge_rules.size());
    const auto add = [&](TokenPair pair, std::uint64_t rank) { return table->add_rank(pair, rank); };
    if (scan_pair_keyed<std::uint64_t>(text, add)) return true;
    table.reset();
    return scan_pair_map(text, pairs, merge_rules.size());
  };
  const auto scan_results = [&](std::string_view text, PairMap<TokenId>& pairs) {
    if (table) {
      const auto add = [&](TokenPair pair, TokenId result) { return table->add_result(pair, result); };
      if (scan_pair_keyed<TokenId>(text, add)) return true;
      ranks = table->save_ranks();
      table.reset();
    }
    return scan_pair_map(text, pairs, merge_rules.size());
  };
  const auto path_of = [&](ModelFile file) { return directory + "/" + std::string(file_name(file)); };
  std::string text;  // each file in turn
  Result<void> read = read_config(path_of(ModelFile::Config), config);
  if (read) {
    read = read_model_file(path_of(ModelFile::TokenTable), text, token_table, scan_tokens, read_token_table);
  }
  if (read) {
    read = read_model_file(path_of(ModelFile::MergeRules), text, merge_rules, scan_rules,
                           read_with(merge_rules_shape));
  }
  if (read) read = read_model_file(path_of(ModelFile::SaveRanks), text, ranks, scan_ranks, read_with(save_ranks));
  if (read) {
    read = read_model_file(path_of(ModelFile::PairsToMerge), text, results, scan_results, read_with(pairs_to_merge));
  }
  if (!read) return fail(std::move(read).error());
  save_ranks.check_keys(file_name(ModelFile::SaveRanks));
  pairs_to_merge.check_keys(file_name(ModelFile::PairsToMerge));
  MergePairs merge_pairs = table ? std::move(*table).finish() : MergePairs(std::move(ranks), std::move(results));
  return std::make_shared<const Model>(std::move(config), std::move(token_table), std::move(merge_rules),
                                       std::move(merge_pairs));
}

// A loaded record has no corpus path, no output directory and save_model
// false: it never writes itself again.
Result<BpeTokenizer> BpeTokenizer::new_from_pretrained(std::string_view files_path) {
  Result<std::shared_ptr<const Model>> loaded = load_model_files(files_path);
  if (!loaded) return fail(std::move(loaded).error());
  return holding(std::move(loaded).value());
}

}  // namespace wordloom
