// The frame of every check that keeps a session log (output directory, log, marker, log written),
// and what such checks share: the skip marker and the streams of their runs kept as artefacts.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"
#include "log.hpp"
#include "model.hpp"
#include "reporter.hpp"
#include "runner.hpp"

namespace tolvern::category {

using model::Model;

struct CheckLog {
    Path dir;
    log::SessionLog log;
};

// A check with a session log: the model's output directory with a fresh log, the body's result,
// settled by the category's .xfail marker policy, then the log written with the final status and
// reason, or "interrupted by {signal}" as the reason when the session's stop cut it short. A
// directory that cannot be made ends the check at once with the FAIL "output dir: {}":
// no body, no marker, no log.
ModelResult logged_check(const Path& out_root, Category category, const Model& model,
                         const std::function<ModelResult(CheckLog&)>& body);

// The reason of the skip marker "baseline/{file_name}" of a model: its first line, or the file
// name when it is empty; nothing when it cannot be read as text.
std::optional<std::string> skip_marker(const Path& model_dir, std::string_view file_name);

// Removes the previous run's file of that name, which beside this run's log would read as this
// run's; the system's message when it stays (one that is not there is no failure).
std::optional<std::string> remove_previous(const Path& dir, std::string_view name);

struct Artefacts {
    std::optional<Path> stdout_file;
    std::optional<Path> stderr_file;
};
// Writes the non-empty streams of a run into the directory; the names of those written.
Artefacts keep_streams(const Path& dir, const runner::Exited& run, std::string_view stdout_name,
                       std::string_view stderr_name);

// Writes a diverging run's standard output as dir/name and, when its standard error diverged too,
// that as dir/"{name}.stderr"; the path of the first when it was written.
std::optional<Path> keep_divergence(const Path& dir, const std::string& name,
                                    const runner::Exited& run, bool with_stderr);

}  // namespace tolvern::category
