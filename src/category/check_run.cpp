// The frame of a check that keeps a session log, its skip marker and its artefacts: what the
// checks with an output directory share.
#include "category/check_run.hpp"

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "category/common.hpp"
#include "category/xfail_policy.hpp"
#include "files.hpp"
#include "output.hpp"
#include "shutdown.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

// A file of the output directory that is there for inspection only could not be written: the
// previous run's file of that name goes too, so that the name holds this run's file or none,
// and standard error says so ("warning: lts/m0: log not written: File too large").
void not_written(const Path& dir, std::string_view name, const std::error_code& error) {
    const auto model_dir =
        text::escape_controls(text::lossy(dir.parent_path().filename() / dir.filename()));
    const auto file = text::escape_controls(text::lossy_utf8(name));
    std::string line =
        text::concat({"warning: ", model_dir, ": ", file, " not written: ", error.message()});
    if (auto stays = remove_previous(dir, name))
        line += text::concat({"; the previous ", file, " stays: ", *stays});
    output::put(output::Target::Err, line + "\n");
}

// Writes a file that is there for inspection only; its path, or nothing when it was not written.
std::optional<Path> keep_file(const Path& dir, const std::string& name, std::string_view bytes) {
    auto written = log::ModelOutDir::write(dir, name, bytes);
    if (!written) {
        not_written(dir, name, written.error());
        return std::nullopt;
    }
    return std::move(*written);
}

// The model's output directory with a fresh session log, or the "output dir: {}" failure.
std::expected<CheckLog, ModelResult> open_check(const Path& out_root, Category category,
                                                const Model& model) {
    auto dir = log::ModelOutDir::create(out_root, name(category), model.name);
    if (!dir)
        return std::unexpected(
            result(model.name, category, Status::Fail, "output dir: " + dir.error(), Duration{}));
    return CheckLog{std::move(*dir), log::SessionLog(model.name, std::string(name(category)))};
}

// Writes the log with the result's status and reason. A check that the session's stop cut short
// has already replaced some of the files beside its log, so it writes one too, or the previous
// run's log would describe them; its reason names the stop, as its runs were ended, not judged.
ModelResult close_check(const CheckLog& check, ModelResult result) {
    std::string reason = result.reason;
    if (int signal = shutdown::requested(); signal != 0)
        reason = std::string("interrupted by ") + shutdown::signal_name(signal);
    // The log is for inspection only: failing to write it must not change the verdict.
    if (auto written = check.log.write_to(check.dir, word(result.status), reason); !written)
        not_written(check.dir, "log", written.error());
    return result;
}

}  // namespace

ModelResult logged_check(const Path& out_root, Category category, const Model& model,
                         const std::function<ModelResult(CheckLog&)>& body) {
    auto check = open_check(out_root, category, model);
    if (!check) return std::move(check.error());
    return close_check(*check, settle(model, body(*check)));
}

namespace {

// The reason of a skip marker's text: its first line, or the file name when it is empty.
std::string skip_reason(std::string_view marker_text, std::string_view file_name) {
    if (marker_text.empty()) return std::string(file_name);
    return std::string(text::first_line(marker_text));
}

}  // namespace

std::optional<std::string> remove_previous(const Path& dir, std::string_view name) {
    std::error_code error;
    std::filesystem::remove(dir / name, error);
    if (error) return error.message();
    return std::nullopt;
}

std::optional<std::string> skip_marker(const Path& model_dir, std::string_view file_name) {
    auto marker = files::read_text(model_dir / "baseline" / file_name);
    if (!marker) return std::nullopt;
    return skip_reason(*marker, file_name);
}

Artefacts keep_streams(const Path& dir, const runner::Exited& run, std::string_view stdout_name,
                       std::string_view stderr_name) {
    // The log names an artefact only when it was written; otherwise it shows the stream itself.
    auto keep = [&](std::string_view bytes, std::string_view name) -> std::optional<Path> {
        if (bytes.empty() || !keep_file(dir, std::string(name), bytes)) return std::nullopt;
        return Path(name);
    };
    return {keep(run.stdout_text, stdout_name), keep(run.stderr_text, stderr_name)};
}

std::optional<Path> keep_divergence(const Path& dir, const std::string& name,
                                    const runner::Exited& run, bool with_stderr) {
    auto written = keep_file(dir, name, run.stdout_text);
    // The log shows standard error inline either way, so a lost stderr artefact loses nothing.
    if (with_stderr) (void)keep_file(dir, name + ".stderr", run.stderr_text);
    return written;
}

}  // namespace tolvern::category
