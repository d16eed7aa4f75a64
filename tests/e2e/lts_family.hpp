// What the end-to-end tests of the LTS family (lts, lbs, threads, vorlan, verify) share: .aut
// texts, a run's progress line for one model, output directories, logs with their times masked,
// and the command lines kestrin was given.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "log.hpp"
#include "support.hpp"
#include "text.hpp"

namespace tolvern::testing {

// An .aut text from (source, label, target) triples, with the header counting `states`.
struct Edge {
    unsigned from;
    std::string label;
    unsigned to;
};
inline std::string aut_text(unsigned states, const std::vector<Edge>& edges) {
    std::string text =
        "des (0, " + std::to_string(edges.size()) + ", " + std::to_string(states) + ")\n";
    for (const auto& e : edges)
        text +=
            "(" + std::to_string(e.from) + ",\"" + e.label + "\"," + std::to_string(e.to) + ")\n";
    return text;
}

// A one-state loop of "a" reached through a chain of tau steps: `states` states in all, weakly
// equivalent to a plain loop whatever the count.
inline std::string tau_chain(unsigned states) {
    std::vector<Edge> edges;
    for (unsigned i = 0; i + 1 < states; ++i) edges.push_back({i, "tau", i + 1});
    edges.push_back({states - 1, "a", states - 1});
    return aut_text(states, edges);
}

// The progress line of the model (fails the test when there is not exactly one).
inline std::string line_of(const Run& run, std::string_view category, std::string_view model) {
    std::string needle = "  " + std::string(category) + " ";
    std::vector<std::string> found;
    for (auto& line : lines_with(run.out, needle)) {
        auto rest = std::string_view(line).substr(line.find(needle) + needle.size());
        if (text::trim_start(rest).starts_with(std::string(model) + " ")) found.push_back(line);
    }
    EXPECT_EQ(found.size(), 1u) << category << "/" << model << " in:\n" << run.out;
    return found.empty() ? std::string() : found.front();
}

// The status word and the bracketed reason of a human progress line ("" when it has none).
struct Verdict {
    std::string status;
    std::string reason;
    bool operator==(const Verdict&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Verdict& v) {
    return out << v.status << " [" << v.reason << "]";
}
inline Verdict verdict_of(const Run& run, std::string_view category, std::string_view model) {
    auto line = line_of(run, category, model);
    Verdict v{std::string(text::trim(std::string_view(line).substr(0, 7))), ""};
    if (auto open = line.find("ms  ["); open != std::string::npos && line.ends_with(']'))
        v.reason = line.substr(open + 5, line.size() - open - 6);
    return v;
}

inline fs::path out_dir(const Corpus& corpus, std::string_view category, std::string_view model) {
    return corpus.root / "build" / "outputs" / "tolvern" / category / model;
}

// The log text with every elapsed time ("  12ms ==" of the header, "(12 ms)" of a command)
// written as N.
inline std::string mask_times(std::string_view log) {
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

// The "log" of a model with every elapsed time written as N.
inline std::string masked_log(const Corpus& corpus, std::string_view category,
                              std::string_view model) {
    return mask_times(read_file(out_dir(corpus, category, model) / "log"));
}

// "$ program args..." as the log writes a command line.
inline std::string command_line(const fs::path& program, const std::vector<std::string>& args) {
    std::string line = "$ " + log::shell_escape(text::lossy(program));
    for (const auto& arg : args) line += " " + log::shell_escape(arg);
    return line;
}

// The argument vectors of every kestrin run recorded in the stand-in's request log.
inline std::vector<std::vector<std::string>> kestrin_calls(const fs::path& request_log) {
    std::vector<std::vector<std::string>> calls;
    std::ifstream in(request_log);
    for (std::string line; std::getline(in, line);) {
        auto request = nlohmann::json::parse(line, nullptr, false);
        if (request.is_discarded()) {
            ADD_FAILURE() << "bad request line: " << line;
            continue;
        }
        calls.push_back(request.at("argv").get<std::vector<std::string>>());
    }
    return calls;
}

}  // namespace tolvern::testing
