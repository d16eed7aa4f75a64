// What every category check shares.
#include "category/common.hpp"

#include <algorithm>

#include "text.hpp"

namespace tolvern::category {

EnvPairs isolated_env() {
    return {{"KES_PANIC_LOG", "/dev/null"}, {"KES_RUN_LOG", "/dev/null"}};
}

std::string_view tool_model_name(std::string_view name) {
    if (name.starts_with("lbs_")) name.remove_prefix(4);
    return name;
}

bool is_blocking(std::string_view stderr_text) {
    return stderr_text.find(BLOCKING_TEXT) != std::string_view::npos;
}

ModelResult result(std::string name, Category category, Status status, std::string reason,
                   Duration elapsed) {
    return ModelResult{std::move(name), std::move(reason), elapsed, false, status, category};
}

std::string first_diagnostic_line(std::string_view stderr_text) {
    auto lines = text::split_lines(stderr_text);
    for (auto line : lines)
        for (std::string_view mark : {"error:", "warning:", "info:"})
            if (line.find(mark) != std::string_view::npos) return std::string(text::trim(line));
    for (auto line : lines)
        if (!text::trim(line).empty()) return std::string(text::trim(line));
    return {};
}

std::string combined_text(std::string_view stdout_text, std::string_view stderr_text) {
    std::string text(stdout_text);
    if (stderr_text.empty()) return text;
    if (!text.empty() && !text.ends_with('\n')) text += '\n';
    return text.append(stderr_text);
}

std::string path_arg(const Path& path) {
    auto text = text::lossy(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::string exit_reason(const runner::Exited& run) {
    return "exit=" + std::to_string(run.code) + " " + first_diagnostic_line(run.stderr_text);
}

std::optional<ModelResult> unfinished_result(const runner::Outcome& outcome,
                                             const std::string& name, Category category,
                                             std::string_view timeout_reason) {
    if (auto* timed_out = std::get_if<runner::TimedOut>(&outcome))
        return result(name, category, Status::Timeout, std::string(timeout_reason),
                      timed_out->elapsed);
    if (auto* error = std::get_if<runner::SpawnError>(&outcome))
        return result(name, category, Status::Fail, error->message, error->elapsed);
    return std::nullopt;
}

Path from_workdir(const Path& path, const Path& workdir) {
    if (path.is_absolute()) return path;
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    if (error) return path;
    auto relative = std::filesystem::relative(absolute, workdir, error);
    return error || relative.empty() ? absolute : relative;
}

}  // namespace tolvern::category
