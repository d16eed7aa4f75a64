// The per-step eligible pass of the simulate-repl check: the events kestrin calls eligible after
// every proper prefix of a trace, against the golden set of that step.
#pragma once

#include <filesystem>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

// Every proper prefix of the trace against the golden eligible set of its step
// ("eligible.{X}.{K}" in `baseline_dir`).
ReplTraceOut check_eligible_steps(const ReplTrace& trace, const ReplRun& repl,
                                  const Path& baseline_dir);

}  // namespace tolvern::category
