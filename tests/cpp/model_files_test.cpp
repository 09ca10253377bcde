// The model directory: the exact text of each file the writer makes, how its
// failures are reported, and what the loader accepts and rejects.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bpe_tokenizer.hpp"

namespace wordloom {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory per test, removed afterwards.
class ModelFilesTest : public testing::Test {
 protected:
  ModelFilesTest() {
    char name[] = "/tmp/wordloom_model_XXXXXX";
    root_ = mkdtemp(name);
  }
  ~ModelFilesTest() override { fs::remove_all(root_); }

  std::string path(std::string_view name) const { return (root_ / name).string(); }

  fs::path root_;
};

// The settings of the documented config.json example, with merges (12, 7) and (3, 3).
Model example_model(TokenTable token_table = {}, PairMap<std::uint64_t> save_ranks = {{{12, 7}, 0}},
                    PairMap<TokenId> pairs_to_merge = {{{12, 7}, 4}}) {
  return Model({500, PreTokenization::Whitespace, {"EOS", "PAD"}, SpecialTokenRemovalMethod::Simple},
               std::move(token_table), {{12, 7}, {3, 3}}, std::move(save_ranks), std::move(pairs_to_merge));
}

void expect_same_tables(const Model& model, const Model& expected) {
  EXPECT_EQ(model.token_table.id_to_token, expected.token_table.id_to_token);
  EXPECT_EQ(model.token_table.token_to_id, expected.token_table.token_to_id);
  EXPECT_EQ(model.merge_rules, expected.merge_rules);
  EXPECT_EQ(model.merge_pairs.save_ranks(), expected.merge_pairs.save_ranks());
  EXPECT_EQ(model.merge_pairs.pairs_to_merge(), expected.merge_pairs.pairs_to_merge());
}

// --------------------------------------------------------------- writing

TEST_F(ModelFilesTest, WritesEachFileInTheDocumentedLayoutOverTheOldOnes) {
  fs::create_directories(path("model"));
  write_text(path("model/config.json"), "old");
  write_text(path("model/notes.txt"), "kept");
  TokenTable table;
  table.get_or_insert_id("a");
  Model model = example_model(std::move(table), {{{12, 7}, 0}}, {{{4294967295, 4294967295}, 4294967295}});
  // Only quotes, backslashes and control characters are escaped.
  model.config.special_tokens = {"q\"b\\", std::string("\b\t\n\f\r\x01\x1f\0", 8), "\x7f/h\xc3\xa9\xe2\x9c\x93"};
  ASSERT_TRUE(save_model_files(model, path("model")));

  EXPECT_EQ(read_text(path("model/config.json")),
            "{\n  \"target_vocab_size\": 500,\n  \"pre_tokenizer\": \"Whitespace\",\n  \"special_tokens\": [\n"
            "    \"q\\\"b\\\\\",\n    \"\\b\\t\\n\\f\\r\\u0001\\u001f\\u0000\",\n    \"\x7f/h\xc3\xa9\xe2\x9c\x93\"\n"
            "  ],\n  \"special_token_removal_method\": \"Simple\"\n}");
  EXPECT_EQ(read_text(path("model/token_table.json")),
            "{\n  \"id_to_token\": [\n    \"a\"\n  ],\n  \"token_to_id\": {\n    \"a\": 0\n  }\n}");
  EXPECT_EQ(read_text(path("model/merge_rules.json")), "[\n  [\n    12,\n    7\n  ],\n  [\n    3,\n    3\n  ]\n]");
  EXPECT_EQ(read_text(path("model/save_ranks.json")), "{\n  \"12_7\": 0\n}");
  EXPECT_EQ(read_text(path("model/pairs_to_merge.json")), "{\n  \"4294967295_4294967295\": 4294967295\n}");
  EXPECT_EQ(read_text(path("model/notes.txt")), "kept");
}

TEST_F(ModelFilesTest, WritesEmptyContainersOnOneLine) {
  const Model model({0, PreTokenization::Punctuation, {}, SpecialTokenRemovalMethod::AhoCorasick}, {}, {}, {}, {});
  ASSERT_TRUE(save_model_files(model, path("empty")));

  EXPECT_EQ(read_text(path("empty/config.json")),
            "{\n  \"target_vocab_size\": 0,\n  \"pre_tokenizer\": \"Punctuation\",\n  \"special_tokens\": [],\n"
            "  \"special_token_removal_method\": \"AhoCorasick\"\n}");
  EXPECT_EQ(read_text(path("empty/token_table.json")), "{\n  \"id_to_token\": [],\n  \"token_to_id\": {}\n}");
  EXPECT_EQ(read_text(path("empty/merge_rules.json")), "[]");
  EXPECT_EQ(read_text(path("empty/save_ranks.json")), "{}");
  EXPECT_EQ(read_text(path("empty/pairs_to_merge.json")), "{}");
}

// Creating a directory or file fails with a FileError, writing with a JsonError.
TEST_F(ModelFilesTest, ReportsEachKindOfFailureWithTheSystemText) {
  write_text(path("plain"), "");
  Result<void> saved = save_model_files(example_model(), path("plain/model"));
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().kind(), TokenizerError::Kind::FileError);
  EXPECT_EQ(saved.error().display(), "File Error: Not a directory (os error 20)");

  fs::create_directories(path("model/merge_rules.json"));
  saved = save_model_files(example_model(), path("model"));
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().display(), "File Error: Is a directory (os error 21)");
  EXPECT_TRUE(fs::exists(path("model/token_table.json")));  // written before the failure

  fs::create_directories(path("full"));
  fs::create_symlink("/dev/full", path("full/token_table.json"));
  saved = save_model_files(example_model(), path("full"));
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().kind(), TokenizerError::Kind::JsonError);
  EXPECT_EQ(saved.error().display(), "Json serialization error No space left on device (os error 28)");
}

// ------------------------------------------------------------ round trip

TEST_F(ModelFilesTest, LoadsWhatItSavesUnchanged) {
  TokenTable table;
  for (const char* token : {"", "</w>", "\xc3\xa9", "a\"b", "\n"}) table.get_or_insert_id(token);
  for (int i = 0; i < 20000; ++i) table.get_or_insert_id("token" + std::to_string(i));  // > one buffer
  Model saved = example_model(std::move(table), {{{12, 7}, 0}, {{3, 3}, 18446744073709551615u}});
  saved.config.special_tokens.push_back(std::string("\"\\\t\0\x1f", 5));
  ASSERT_TRUE(save_model_files(saved, path("model")));

  Result<BpeTokenizer> loaded = BpeTokenizer::new_from_pretrained(path("model"));
  ASSERT_TRUE(loaded) << loaded.error().display();
  EXPECT_EQ(loaded->config().special_tokens, saved.config.special_tokens);
  EXPECT_EQ(loaded->target_vocab_size, 500u);
  expect_same_tables(*loaded->model, saved);
  EXPECT_TRUE(loaded->trained());

}

// --------------------------------------------------------------- loading

// A small valid model whose files the tests replace one at a time.
class LoadTest : public ModelFilesTest {
 protected:
  LoadTest() {
    write("config.json",
          R"({"target_vocab_size": 5, "pre_tokenizer": "Whitespace", "special_tokens": ["<s>"],
              "special_token_removal_method": "Simple"})");
    write("token_table.json", R"({"id_to_token": ["a", "</w>", "a</w>"], "token_to_id": {"a": 0, "</w>": 1}})");
    write("merge_rules.json", "[[0, 1]]");
    write("save_ranks.json", R"({"0_1": 0})");
    write("pairs_to_merge.json", R"({"0_1": 2})");
  }

  void write(std::string_view name, std::string_view text) const { write_text(path(name), text); }

  BpeTokenizer load() const {
    Result<BpeTokenizer> loaded = BpeTokenizer::new_from_pretrained(root_.string());
    EXPECT_TRUE(loaded) << loaded.error().display();
    return loaded ? std::move(loaded).value() : BpeTokenizer();
  }

  std::string load_error() const {
    Result<std::shared_ptr<const Model>> loaded = load_model_files(root_.string());
    return loaded ? "(loaded)" : loaded.error().display();
  }

  // The reader's message of a JsonError, without the prefix and the position.
  std::string json_message() const {
    const std::string display = load_error();
    const std::string prefix = "Json serialization error ";
    if (!display.starts_with(prefix)) return display;
    return display.substr(prefix.size(), display.rfind(" at line ") - prefix.size());
  }
};

TEST_F(LoadTest, ReportsAModelFileThatCannotBeReadAsAJsonError) {
  fs::remove(path("pairs_to_merge.json"));
  fs::create_directory(path("pairs_to_merge.json"));
  EXPECT_EQ(load_error(), "Json serialization error Is a directory (os error 21)");
}

TEST_F(LoadTest, AcceptsTheArrayFormsRepeatedKeysAndTrailingWhiteSpace) {
  write("config.json", R"([18446744073709551615, {"Punctuation": null}, ["x", "x"], {"AhoCorasick": null}])"
                       "\n\t\r ");
  write("token_table.json", R"([["a"], {"a": 0, "b": 7, "a": 3}])");
  BpeTokenizer tokenizer = load();
  EXPECT_EQ(tokenizer.target_vocab_size, 18446744073709551615u);
  EXPECT_EQ(tokenizer.pre_tokenizer, PreTokenization::Punctuation);
  EXPECT_EQ(tokenizer.special_tokens, (std::vector<std::string>{"x", "x"}));
  EXPECT_EQ(tokenizer.special_token_removal_method, SpecialTokenRemovalMethod::AhoCorasick);
  EXPECT_EQ(tokenizer.model->token_table.token_to_id.at("a"), 3u);  // a repeated key keeps its last value
  EXPECT_EQ(tokenizer.model->token_table.token_to_id.at("b"), 7u);  // ids are trusted, not checked
}

TEST_F(LoadTest, RejectsValuesOfTheWrongShape) {
  struct Case {
    const char* file;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"config.json", R"({"special_tokens": []})", "missing field `target_vocab_size`"},
      {"config.json", R"({"target_vocab_size": 5, "x": 1, "target_vocab_size": 5})",
       "duplicate field `target_vocab_size`"},
      {"config.json", R"([5, "Whitespace", [], {"Simple": null, "Simple": null}])",
       "invalid type: map with more than one member, expected enum SpecialTokenRemovalMethod"},
      {"config.json", R"([5, "Whitespace", []])", "invalid length 3, expected struct Config with 4 elements"},
      {"config.json", R"([5, "Whitespace", [], "Simple", 0])",
       "too many elements, expected struct Config with 4 elements"},
      {"config.json", R"([5, "whitespace", [], "Simple"])",
       "unknown variant `whitespace`, expected `Whitespace` or `Punctuation`"},
      {"config.json", R"([5, "Whitespace", [], {"Simple": 0}])", "invalid type: integer `0`, expected null"},
      {"config.json", R"([5, "Whitespace", [], {}])",
       "invalid type: empty map, expected enum SpecialTokenRemovalMethod"},
      {"config.json", R"([5, "Whitespace", [1], "Simple"])", "invalid type: integer `1`, expected a string"},
      {"config.json", R"([18446744073709551616, "Whitespace", [], "Simple"])",
       "invalid value: integer `18446744073709551616`, expected u64"},
      {"config.json", R"([-1, "Whitespace", [], "Simple"])", "invalid value: integer `-1`, expected u64"},
      {"config.json", R"([5e2, "Whitespace", [], "Simple"])", "invalid type: floating point `5e2`, expected u64"},
      // Quoted values keep to one line; bytes that are not UTF-8 are shown as numbers.
      {"config.json", R"(["a\u001b\n\t\r\b\u007f\"\\é", "Whitespace", [], "Simple"])",
       R"(invalid type: string "a\u001b\n\t\r\u0008\u007f"\é", expected u64)"},
      {"config.json", R"([5, "Whitespace", [], "Sim\tple\u0000"])",
       R"(unknown variant `Sim\tple\u0000`, expected `Simple` or `AhoCorasick`)"},
      {"merge_rules.json", "[\"\xC3\xA9\xFF\"]",
       "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: '\"\xC3\xA9<0xFF>'"},
      {"token_table.json", R"([["a"]])", "invalid length 1, expected struct TokenTable with 2 elements"},
      {"token_table.json", R"({"id_to_token": [], "token_to_id": {"a": 4294967296}})",
       "invalid value: integer `4294967296`, expected u32"},
      {"token_table.json", "{\"id_to_token\": [\"\xFF\"], \"token_to_id\": {}}",
       "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: '\"<0xFF>'"},
      {"token_table.json", "{\"id_to_token\": [\"a\tb\"], \"token_to_id\": {}}",
       "syntax error while parsing value - invalid string: control character U+0009 (HT) must be escaped to "
       "\\u0009 or \\t; last read: '\"a<U+0009>'"},
      {"token_table.json", R"({"id_to_token": [], "token_to_id": {"\ud800": 1}})",
       "syntax error while parsing object key - invalid string: surrogate U+D800..U+DBFF must be followed by "
       "U+DC00..U+DFFF; last read: '\"\\ud800\"'; expected string literal"},
      {"merge_rules.json", "[[1]]", "invalid length 1, expected a tuple of size 2"},
      {"merge_rules.json", "[[1, 2, 3]]", "too many elements, expected a tuple of size 2"},
      {"merge_rules.json", "[{}]", "invalid type: map, expected a tuple of size 2"},
      {"merge_rules.json", "[[0, 1]] x",
       "syntax error while parsing value - invalid literal; last read: '1]] x'; expected end of input"},
      {"merge_rules.json", std::string("[[0, 1]]\0junk", 13), "unexpected NUL byte"},
      {"merge_rules.json", "\xEF\xBB\xBF[[0, 1]]", "unexpected byte order mark"},
      {"pairs_to_merge.json", R"({"1_2": 4294967296})", "invalid value: integer `4294967296`, expected u32"},
  };
  for (const Case& bad : cases) {
    const std::string good = read_text(path(bad.file));
    write(bad.file, bad.text);
    EXPECT_EQ(json_message(), bad.message) << bad.file << ": " << bad.text;
    write(bad.file, good);
  }
}

TEST_F(LoadTest, PlacesErrorsAtTheLineAndColumnWhereReadingStopped) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\n  \"target_vocab_size\": 5,\n  \"pre_tokenizer\": \"Nope\",", "line 3 column 25"},
      {"[1, \"Whitespace\",]", "line 1 column 18"},
      {"\n\n", "line 3 column 0"},
  };
  for (const auto& [config, position] : cases) {
    write("config.json", config);
    const std::string display = load_error();
    EXPECT_TRUE(display.ends_with(std::string(" at ") + position)) << display;
  }
}

// Files as the writer makes them take a quicker road than files spelled in
// other ways; both must read to the same tables.
TEST_F(LoadTest, ReadsPlainAndUnusualSpellingsOfTheSameTablesAlike) {
  struct Spellings {
    const char* file;
    std::string plain;
    std::string unusual;
  };
  const Spellings files[] = {
      {"token_table.json",
       R"({"id_to_token":)" "\t" R"(["a\"b", "\\\/\b\f\n\r\t", "\u00e9\u4E2d", "😀</w>", "","ab","cd","efgh"],)" "\r\n"
       R"(  "token_to_id" : {"a\"b": 0, "\u00e9\u4e2d": 2, "😀</w>": 3, "": 4, "a\"b": 9,"x":1,"yz":2}})",
       // Surrogate pairs, which the quick road leaves to the full reader.
       R"({"id_to_token": ["a\"b", "\\/\b\f\n\r\t", "\u00e9\u4e2d", "\ud83d\ude00</w>", "", "ab", "cd", "efgh"],)" "\n"
       R"( "token_to_id": {"a\"b": 0, "\u00E9\u4e2d": 2, "\ud83d\ude00</w>": 3, "": 4, "a\"b": 9, "x": 1, "yz": 2}})"},
      {"merge_rules.json", "[[0, 1],\n [4294967295, 0], [0, 1]]", "[[0, 1], [4294967295, -0], [0, 1]]"},
      {"save_ranks.json", R"({"0_1": 0, "+12_7_9": 1234567890123456789, "0_1": 5})",
       R"({"0_1": -0, "+12_7_9": 1234567890123456789, "0_1": 5})"},
      {"pairs_to_merge.json", R"({"0_1": 0, "007_9": 4294967295})", R"({"0_1": -0, "007_9": 4294967295})"},
  };
  for (const Spellings& spellings : files) {
    write(spellings.file, spellings.plain);
    const std::shared_ptr<const Model> plain = load().model;
    write(spellings.file, spellings.unusual);
    const std::shared_ptr<const Model> unusual = load().model;
    ASSERT_TRUE(plain && unusual) << spellings.file;
    SCOPED_TRACE(spellings.file);
    expect_same_tables(*unusual, *plain);
  }
  const std::shared_ptr<const Model> model = load().model;
  EXPECT_EQ(model->token_table.id_to_token, (std::vector<std::string>{"a\"b", "\\/\b\f\n\r\t", "\u00e9\u4e2d",
                                                                      "\U0001F600</w>", "", "ab", "cd", "efgh"}));
  EXPECT_EQ(model->token_table.token_to_id.at("a\"b"), 9u);
  EXPECT_EQ(model->merge_rules, (std::vector<TokenPair>{{0, 1}, {4294967295, 0}, {0, 1}}));
  // Pair keys take the first two numbers, with an optional plus sign and leading zeros.
  EXPECT_EQ(model->merge_pairs.save_ranks(), (PairMap<std::uint64_t>{{{0, 1}, 5}, {{12, 7}, 1234567890123456789u}}));
  EXPECT_EQ(model->merge_pairs.pairs_to_merge(), (PairMap<TokenId>{{{0, 1}, 0}, {{7, 9}, 4294967295}}));
}

// Plain pair files go straight into the merge table when it can hold them
// exactly; those it cannot (a rank beyond what it orders by, a result without
// a rank, more pairs than it has room for) are kept as read all the same.
TEST_F(LoadTest, KeepsPlainPairFilesExactlyWhateverTheirShape) {
  struct PairFiles {
    std::string save_ranks;
    std::string pairs_to_merge;
    PairMap<std::uint64_t> ranks;
    PairMap<TokenId> results;
  };
  std::string many_ranks = "{";
  PairMap<std::uint64_t> many;
  for (TokenId left = 0; left < 9; ++left) {
    many_ranks += (left == 0 ? "\"" : ", \"") + std::to_string(left) + "_1\": " + std::to_string(left);
    many[{left, 1}] = left;
  }
  many_ranks += "}";
  const PairFiles cases[] = {
      {R"({"0_1": 7, "1_1": 3, "0_1": 0})", R"({"1_1": 2, "0_1": 9, "1_1": 4})", {{{0, 1}, 0}, {{1, 1}, 3}},
       {{{0, 1}, 9}, {{1, 1}, 4}}},
      {R"({"0_1": 2147483646, "1_1": 2147483647})", R"({"0_1": 2})", {{{0, 1}, 2147483646}, {{1, 1}, 2147483647}},
       {{{0, 1}, 2}}},
      {R"({"0_1": 0})", R"({"0_1": 2, "1_0": 0})", {{{0, 1}, 0}}, {{{0, 1}, 2}, {{1, 0}, 0}}},
      {many_ranks, R"({"8_1": 2})", many, {{{8, 1}, 2}}},
  };
  for (const PairFiles& files : cases) {
    SCOPED_TRACE(files.save_ranks + " " + files.pairs_to_merge);
    write("save_ranks.json", files.save_ranks);
    write("pairs_to_merge.json", files.pairs_to_merge);
    const std::shared_ptr<const Model> model = load().model;
    ASSERT_TRUE(model);
    EXPECT_EQ(model->merge_pairs.save_ranks(), files.ranks);
    EXPECT_EQ(model->merge_pairs.pairs_to_merge(), files.results);
    ASSERT_TRUE(save_model_files(*model, path("again")));
    Result<std::shared_ptr<const Model>> again = load_model_files(path("again"));
    ASSERT_TRUE(again);
    expect_same_tables(**again, *model);
  }
}

// Nothing relies on the order of the members of a pair file, yet a model
// saved again writes them in the order they were read.
TEST_F(LoadTest, SavesPairFilesInTheOrderTheyWereRead) {
  write("merge_rules.json", "[[0, 1], [1, 1], [1, 0]]");
  const std::string ranks = "{\n  \"1_0\": 2,\n  \"0_1\": 0,\n  \"1_1\": 1\n}";
  const std::string results = "{\n  \"1_1\": 3,\n  \"1_0\": 4,\n  \"0_1\": 2\n}";
  write("save_ranks.json", ranks);
  write("pairs_to_merge.json", results);
  const std::shared_ptr<const Model> model = load().model;
  ASSERT_TRUE(model && save_model_files(*model, path("again")));
  EXPECT_EQ(read_text(path("again/save_ranks.json")), ranks);
  EXPECT_EQ(read_text(path("again/pairs_to_merge.json")), results);
}

// Short numbers are read several digits at a time: every length, with the
// file going on after them or ending right there, must read as written.
TEST_F(LoadTest, ReadsIdsOfEveryLength) {
  std::vector<TokenPair> rules;
  std::string text = "[[";
  for (TokenId id = 1, length = 1; length <= 10; ++length, id = id * 10 + length % 10) {
    rules.push_back({id, id == 1 ? 0 : id / 10});
    text += std::to_string(id) + "," + std::to_string(rules.back().right) + "],[";
  }
  rules.push_back({4294967295, 9});
  text += "4294967295,9]]";
  for (std::string_view ending : {"", "\n          "}) {
    write("merge_rules.json", text + std::string(ending));
    EXPECT_EQ(load().model->merge_rules, rules) << ending.size();
  }
  for (const char* unusual : {"[[01,2]]", "[[1,2.0]]", "[[1,2e0]]", "[[1,00000000]]", "[[1,4294967296]]"}) {
    write("merge_rules.json", unusual);
    EXPECT_NE(load_error(), "(loaded)") << unusual;
  }
}

TEST_F(LoadTest, RaisesAnInternalFailureForMalformedPairKeys) {
  for (const char* key : {"127", "a_7", "12_", "_7", "1_-2", "++1_2", "4294967296_1", " 1_2", "1 _2"}) {
    write("save_ranks.json", std::string("{\"") + key + "\": 1}");
    EXPECT_THROW(load_model_files(root_.string()), InternalFailure) << key;
  }
  // Every file is parsed before any key is judged: the JSON error comes first.
  write("pairs_to_merge.json", R"({"1_2": -1})");
  EXPECT_EQ(json_message(), "invalid value: integer `-1`, expected u32");
}

TEST_F(LoadTest, SkipsDeeplyNestedUnknownMembersWithoutRecursion) {
  const std::size_t depth = 1'000'000;
  write("config.json", "{\"deep\": " + std::string(depth, '[') + std::string(depth, ']') +
                           R"(, "target_vocab_size": 5, "pre_tokenizer": "Whitespace", "special_tokens": [],
                              "special_token_removal_method": "Simple"})");
  EXPECT_EQ(load().target_vocab_size, 5u);

  write("merge_rules.json", std::string(depth, '['));
  EXPECT_EQ(json_message(), "invalid type: sequence, expected u32");
}

TEST_F(LoadTest, SkipsMegabytesOfUnknownMembers) {
  std::string unknown_member = "{\"junk\": [";
  for (int i = 0; i < 300'000; ++i) unknown_member += "\"some string\", 1.5, {\"k\": [null]}, ";
  write("token_table.json", unknown_member + R"(0], "id_to_token": ["a"], "token_to_id": {}})");
  EXPECT_EQ(load().model->token_table.id_to_token, std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace wordloom
