// The five files of a model directory, named once for the writer, the loader
// and the fuzz targets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wordloom {

enum class ModelFile : std::uint8_t { Config, TokenTable, MergeRules, SaveRanks, PairsToMerge };

// Indexed by ModelFile, which is also the order of writing and of reading.
inline constexpr std::array<std::string_view, 5> kModelFileNames = {
    "config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"};

constexpr std::string_view file_name(ModelFile file) { return kModelFileNames[static_cast<std::size_t>(file)]; }

}  // namespace wordloom
