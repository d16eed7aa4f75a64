// What the end-to-end tests read back from a session: progress lines (human and JSON), the
// per-model output directories and logs, and the kestrin stand-in's record of its runs.
#pragma once

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support.hpp"

namespace tolvern::testing {

// The status word and the reason a progress line reports for one model.
struct Verdict {
    std::string status;
    std::string reason;
    bool operator==(const Verdict&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Verdict& v);

// The human progress line of the model (fails the test when there is not exactly one).
std::string line_of(const Run& run, std::string_view category, std::string_view model);
// The status word and the bracketed reason of that line ("" when it has none).
Verdict verdict_of(const Run& run, std::string_view category, std::string_view model);

// One JSON value per line of the text (a line that is not JSON fails the test and is left out).
std::vector<nlohmann::json> json_lines(std::string_view text);

// A session's "--output json" progress: its lines by model name, and the summary object.
struct Progress {
    std::map<std::string, nlohmann::json> lines;
    nlohmann::json summary;
};
Progress progress_of(const Run& run);
// The JSON progress lines by model name as verdicts.
std::map<std::string, Verdict> reported(const Run& run);

// The output directory of a model, and its "log".
fs::path out_dir(const Corpus& corpus, std::string_view category, std::string_view model);
std::string log_of(const Corpus& corpus, std::string_view category, std::string_view model);
// The log text with every elapsed time ("  12ms ==" of the header, "(12 ms)" of a command)
// written as N.
std::string mask_times(std::string_view log);
// The "log" of a model with every elapsed time written as N.
std::string masked_log(const Corpus& corpus, std::string_view category, std::string_view model);
// "$ program args..." as the log writes a command line.
std::string command_line(const fs::path& program, const Strings& args);

// One JSON object per kestrin run that the stand-in recorded (KESTRIN_STANDIN_LOG), in the
// order the runs started; none when there is no record.
std::vector<nlohmann::json> standin_runs(const fs::path& record);
// The argument lists of those runs.
std::vector<Strings> standin_argvs(const fs::path& record);

}  // namespace tolvern::testing
