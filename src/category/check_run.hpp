// The frame of a check that keeps a session log: its output directory and log, its skip marker,
// and the streams of its kestrin runs kept as artefacts.
#pragma once

#include <expected>
#include <filesystem>
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

using Path = std::filesystem::path;
using model::Model;

struct CheckLog {
    Path dir;
    log::SessionLog log;
};

// The model's output directory with a fresh session log, or the "output dir: {}" failure.
std::expected<CheckLog, ModelResult> open_check(const Path& out_root, Category category,
                                                const Model& model);
// Writes the log with the result's status and reason (a write error is ignored).
ModelResult close_check(const CheckLog& check, ModelResult result);

// The reason of the skip marker "baseline/{file_name}" of a model: its first line, or the file
// name when it is empty; nothing when it cannot be read as text.
std::optional<std::string> skip_marker(const Path& model_dir, std::string_view file_name);

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
