// The simulate-repl check: a model's recorded traces through the one-shot, repl-verdict,
// repl-daemon and per-step eligible passes, folded into one session log and one result.
#pragma once

#include <filesystem>

#include "kinds.hpp"
#include "model.hpp"
#include "reporter.hpp"

namespace tolvern::category {

// The check of one model, with the marker applied and the log written.
ModelResult check_simulate_repl(const model::Model& model, const Path& kestrin, const Path& out_dir,
                                Duration timeout);

}  // namespace tolvern::category
