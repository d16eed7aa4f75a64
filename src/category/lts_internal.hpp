// The state-count budget of the lts and lbs checks, which only lts.cpp and its tests use: an LTS
// must not grow far beyond its gold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvern::category {

// The state count in the header of an .aut text.
std::optional<std::uint64_t> aut_states(std::string_view aut);
// The factor times the gold count, rounded up; 0 for a negative or NaN product, saturated.
std::uint64_t state_budget(double factor, std::uint64_t gold);
// The budget failure reason when ours has more states than the budget allows; nothing when it
// has not or when either count is missing or the gold count is 0.
std::optional<std::string> budget_excess(std::string_view ours, std::string_view gold,
                                         std::optional<double> factor);

}  // namespace tolvern::category
