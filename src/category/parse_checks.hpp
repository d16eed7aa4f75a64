// The argument vector of kestrin's "parse" run, shared by the four front-end checks (parsing,
// parse-compare, wfc, symres) and their tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvern::category {

// "parse" followed by the model's root-relative path.
std::vector<std::string> parse_args(std::string_view display);

}  // namespace tolvern::category
