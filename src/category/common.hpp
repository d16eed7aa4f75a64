// What every category check shares: the isolated tool environment, the tool model name, the
// blocking test, the first diagnostic line, combined streams, path arguments and results.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kinds.hpp"
#include "reporter.hpp"
#include "runner.hpp"

namespace tolvern::category {

using EnvPairs = std::vector<std::pair<std::string, std::string>>;

// KES_PANIC_LOG and KES_RUN_LOG, both "/dev/null": kestrin writes no log files in a session.
EnvPairs isolated_env();

// The model name passed to kestrin after "-m": one leading "lbs_" removed.
std::string_view tool_model_name(std::string_view name);

// kestrin's word for a modelling feature it does not support yet.
inline constexpr std::string_view BLOCKING_TEXT = "\"blocking\" feature not support";
// Whether a run's standard error holds the blocking text.
bool is_blocking(std::string_view stderr_text);

ModelResult result(std::string name, Category category, Status status, std::string reason,
                   Duration elapsed);

// The first "error:", "warning:" or "info:" line of a standard error, else its first non-blank
// line, trimmed; empty when there is none.
std::string first_diagnostic_line(std::string_view stderr_text);

// Standard output, then standard error on a line of its own.
std::string combined_text(std::string_view stdout_text, std::string_view stderr_text);

// A path as text for a tool argument: invalid UTF-8 replaced, backslashes made "/".
std::string path_arg(const Path& path);

// A path that names the same file from kestrin's working directory: a relative path (relative
// to this process's directory, as model directories are) is made relative to `workdir`.
Path from_workdir(const Path& path, const Path& workdir);

// "exit={code} {first diagnostic line}" of a run that exited.
std::string exit_reason(const runner::Exited& run);

// The result of a single-run check whose run did not exit: TIMEOUT with the given reason and the
// run's elapsed time, or FAIL with the runner's message and no elapsed time (nothing ran). None
// when the run exited.
std::optional<ModelResult> unfinished_result(const runner::Outcome& outcome,
                                             const std::string& name, Category category,
                                             std::string_view timeout_reason);

}  // namespace tolvern::category
