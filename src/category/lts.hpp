// The lts and lbs checks: kestrin's LTS of a model against its gold LTS, weak-failures equivalent
// and within a state-count budget.
#pragma once

#include <optional>

#include "category/check_run.hpp"

namespace tolvern::category {

// The check of an lts or lbs model (`category` says which), with the marker applied and the log
// written. Named as kestrin's other tooling knows it: one check, run "as" the category given.
ModelResult check_lts_as(const Model& model, const Path& kestrin,
                         const std::optional<Path>& ltscompare, const Path& out_dir,
                         Duration timeout, Category category);

}  // namespace tolvern::category
