// Reading a session's "--output json" progress lines and the kestrin stand-in's record of the
// runs it was asked for, for the end-to-end tests of the trace checks.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "support.hpp"
#include "text.hpp"

namespace tolvern::testing {

struct Reported {
    std::string status;
    std::string reason;
    bool operator==(const Reported&) const = default;
};

// The progress lines by model name (the summary object left out).
inline std::map<std::string, Reported> reported(const Run& run) {
    std::map<std::string, Reported> lines;
    for (auto line : text::split_lines(run.out)) {
        auto value = nlohmann::json::parse(line);
        if (value.contains("name"))
            lines[value["name"]] = {value["status"].get<std::string>(),
                                    value["reason"].get<std::string>()};
    }
    return lines;
}

// One JSON object per kestrin run, in the order the runs started.
inline std::vector<nlohmann::json> standin_runs(const fs::path& record) {
    std::vector<nlohmann::json> runs;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);) runs.push_back(nlohmann::json::parse(line));
    return runs;
}

inline std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << r.status << " [" << r.reason << "]";
}

}  // namespace tolvern::testing
