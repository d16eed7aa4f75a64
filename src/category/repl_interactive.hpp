// The repl-daemon pass of the simulate-repl check: does kestrin's REPL daemon, walked through a
// trace step by step, reconstruct the golden's trail?
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

// One trace: the daemon's trail against the golden's and against the batch simulator's rendering
// of the same steps. A gap of a trace in `daemon_xfail` (or of any, with `daemon_xfail_all`) is
// expected; a listed trace that reconstructs is a stale entry.
ReplTraceOut repl_daemon_pass(const ReplTrace& trace, const ReplRun& repl, bool daemon_xfail_all,
                              const std::set<std::string>& daemon_xfail);

}  // namespace tolvern::category
