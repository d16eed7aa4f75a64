// The one-shot pass of the simulate-repl check: a trace replayed in one kestrin run and judged
// against its golden.
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

// The trace replayed in one run and judged against its golden; artefacts of a diverging trace
// go to `out_dir`.
ReplTraceOut oneshot_trace_pass(const ReplTrace& trace, const ReplRun& repl,
                                const std::set<std::string>& interactive_xfail,
                                const Path& out_dir);

}  // namespace tolvern::category
