// The part of the gold comparison that only lts_gold.cpp and its tests use: the merge of the
// action lists that make up the tau alphabet.
#pragma once

#include <string>
#include <string_view>

namespace tolvern::category {

// The two comma-separated lists as one: sorted, without duplicates or empty pieces.
std::string merge_csv(std::string_view a, std::string_view b);

}  // namespace tolvern::category
