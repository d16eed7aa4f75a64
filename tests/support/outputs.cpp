// What the end-to-end tests read back from a session.
#include "outputs.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "log.hpp"
#include "text.hpp"

namespace tolvern::testing {

std::ostream& operator<<(std::ostream& out, const Verdict& v) {
    return out << v.status << " [" << v.reason << "]";
}

std::string line_of(const Run& run, std::string_view category, std::string_view model) {
    std::string needle = "  " + std::string(category) + " ";
    Strings found;
    for (auto& line : lines_with(run.out, needle)) {
        auto rest = std::string_view(line).substr(line.find(needle) + needle.size());
        if (text::trim_start(rest).starts_with(std::string(model) + " ")) found.push_back(line);
    }
    EXPECT_EQ(found.size(), 1u) << category << "/" << model << " in:\n" << run.out;
    return found.empty() ? std::string() : found.front();
}

Verdict verdict_of(const Run& run, std::string_view category, std::string_view model) {
    auto line = line_of(run, category, model);
    Verdict v{std::string(text::trim(std::string_view(line).substr(0, 7))), ""};
    if (auto open = line.find("ms  ["); open != std::string::npos && line.ends_with(']'))
        v.reason = line.substr(open + 5, line.size() - open - 6);
    return v;
}

std::vector<nlohmann::json> json_lines(std::string_view text) {
    std::vector<nlohmann::json> values;
    for (auto line : text::split_lines(text)) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_discarded())
            ADD_FAILURE() << "not a JSON line: " << line;
        else
            values.push_back(std::move(value));
    }
    return values;
}

Progress progress_of(const Run& run) {
    Progress progress;
    for (auto& line : json_lines(run.out)) {
        if (line.contains("summary")) {
            progress.summary = std::move(line);
        } else {
            auto name = line["name"].get<std::string>();
            progress.lines[name] = std::move(line);
        }
    }
    return progress;
}

std::map<std::string, Verdict> reported(const Run& run) {
    std::map<std::string, Verdict> verdicts;
    for (const auto& [name, line] : progress_of(run).lines)
        verdicts[name] = {line["status"].get<std::string>(), line["reason"].get<std::string>()};
    return verdicts;
}

fs::path out_dir(const Corpus& corpus, std::string_view category, std::string_view model) {
    return corpus.root / "build" / "outputs" / "tolvern" / category / model;
}

std::string log_of(const Corpus& corpus, std::string_view category, std::string_view model) {
    return read_file(out_dir(corpus, category, model) / "log");
}

std::string mask_times(std::string_view log) {
    std::string out;
    for (std::size_t i = 0; i < log.size();) {
        if (log[i] < '0' || log[i] > '9') {
            out += log[i++];
            continue;
        }
        auto end = std::min(log.find_first_not_of("0123456789", i), log.size());
        auto after = log.substr(end);
        bool time = (after.starts_with("ms ==") && out.ends_with("  ")) ||
                    (after.starts_with(" ms)") && out.ends_with("("));
        out += time ? std::string_view("N") : log.substr(i, end - i);
        i = end;
    }
    return out;
}

std::string masked_log(const Corpus& corpus, std::string_view category, std::string_view model) {
    return mask_times(log_of(corpus, category, model));
}

std::string command_line(const fs::path& program, const Strings& args) {
    std::string line = "$ " + log::shell_escape(text::lossy(program));
    for (const auto& arg : args) line += " " + log::shell_escape(arg);
    return line;
}

std::vector<nlohmann::json> standin_runs(const fs::path& record) {
    if (!fs::exists(record)) return {};
    return json_lines(read_file(record));
}

std::vector<Strings> standin_argvs(const fs::path& record) {
    std::vector<Strings> argvs;
    for (const auto& run : standin_runs(record)) argvs.push_back(run.at("argv").get<Strings>());
    return argvs;
}

}  // namespace tolvern::testing
