// The repl-verdict pass of the simulate-repl check: does kestrin's REPL daemon surface the verdict
// that a trace's golden ends in?
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

// One trace whose golden ends in a verdict: passed when the daemon surfaces it; otherwise an
// expected gap when the trace is in `interactive_xfail`, else a divergence (and a listed trace
// that surfaces it is a stale entry, also a divergence).
ReplTraceOut repl_verdict_pass(const ReplTrace& trace, const ReplRun& repl,
                               const std::set<std::string>& interactive_xfail);

}  // namespace tolvern::category
