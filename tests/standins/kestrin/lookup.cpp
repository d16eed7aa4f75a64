// Reading the corpus the way the stand-in answers from it: trace events and trail verdicts, and
// finding a model's trace, golden simulation or eligible-set golden by content or by name.
#include <algorithm>
#include <charconv>

#include "standin.hpp"

namespace standin {

namespace {

// Regular files of a directory whose names start with the prefix, as (rest of name, path), in
// byte order of the names; an unreadable directory has none.
std::vector<std::pair<std::string, fs::path>> files_named(const fs::path& dir,
                                                          std::string_view prefix) {
    std::vector<std::pair<std::string, fs::path>> found;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        auto name = it->path().filename().string();
        if (name.starts_with(prefix) && is_file(it->path()))
            found.emplace_back(name.substr(prefix.size()), it->path());
    }
    std::ranges::sort(found);
    return found;
}

std::uintmax_t size_or_zero(const fs::path& path) {
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

// The texts between pairs of double quotes.
std::vector<std::string_view> quoted_items(std::string_view line) {
    std::vector<std::string_view> items;
    for (std::size_t open = line.find('"'); open != std::string_view::npos;) {
        auto close = line.find('"', open + 1);
        items.push_back(line.substr(
            open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
        if (close == std::string_view::npos) break;
        open = line.find('"', close + 1);
    }
    return items;
}

}  // namespace

bool is_marker(std::string_view item) {
    return item.size() >= 2 && item.front() == '<' && item.back() == '>';
}

std::vector<std::string> trace_events(std::string_view trace_text) {
    std::vector<std::string> events;
    for (auto line : split_lines(trace_text)) {
        line = trim(line);
        if (!line.empty() && !line.starts_with("(state") && !is_marker(line))
            events.emplace_back(line);
    }
    return events;
}

std::optional<std::string> trail_verdict(std::string_view simulation) {
    std::optional<std::string_view> trail;
    for (auto line : split_lines(simulation))
        if (line.starts_with("(trail")) trail = line;
    if (!trail) return std::nullopt;
    std::optional<std::string> verdict;
    for (auto item : quoted_items(*trail))
        if (is_marker(item)) verdict = std::string(item);
    return verdict;
}

std::vector<std::string> trace_names(const fs::path& model_dir) {
    std::vector<std::string> names;
    for (auto& [name, path] : files_named(model_dir, "trace.")) names.push_back(name);
    return names;
}

std::optional<std::string> trace_with_bytes(const fs::path& model_dir, std::string_view bytes) {
    for (auto& [name, path] : files_named(model_dir, "trace."))
        if (size_or_zero(path) == bytes.size() && read_file(path) == bytes) return name;
    return std::nullopt;
}

std::optional<Simulation> simulation_with_bytes(const fs::path& root, std::string_view bytes) {
    std::vector<fs::path> models;
    std::error_code error;
    for (fs::directory_iterator it(root / "test-models", error), end; !error && it != end;
         it.increment(error))
        models.push_back(it->path());
    std::ranges::sort(models);
    for (auto& model : models) {
        for (auto& [name, golden] : files_named(model / "baseline", "simulate.")) {
            auto stderr_golden = fs::path(golden.string() + ".stderr");
            // Sizes first: only a golden of the right length is read.
            if (size_or_zero(golden) + size_or_zero(stderr_golden) != bytes.size()) continue;
            auto text = read_file(golden).value_or("") + read_file(stderr_golden).value_or("");
            if (text == bytes) return Simulation{model, name};
        }
    }
    return std::nullopt;
}

std::optional<fs::path> eligible_golden(const fs::path& model_dir, std::string_view name,
                                        std::uint64_t step) {
    auto baseline = model_dir / "baseline";
    auto prefix = "eligible." + std::string(name) + ".";
    auto override_path = baseline / (prefix + std::to_string(step) + ".override");
    if (is_file(override_path)) return override_path;
    std::optional<std::pair<std::uint64_t, fs::path>> best;
    for (auto& [rest, path] : files_named(baseline, prefix)) {
        auto k = parse_u64(rest);
        if (k && *k <= step && (!best || *k > best->first)) best = {*k, path};
    }
    if (!best) return std::nullopt;
    return best->second;
}

}  // namespace standin
