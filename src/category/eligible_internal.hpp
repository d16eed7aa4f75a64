// The part of the per-step eligible pass that only eligible.cpp and its tests use: reading an
// eligible set out of kestrin's output.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace tolvern::category {

// The quoted items of the text's last "(eligible" line, "<defer>" left out.
std::set<std::string> eligible_set_of(std::string_view text);

}  // namespace tolvern::category
