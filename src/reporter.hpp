// Result reporting: one progress line per model result as it arrives (human, TAP or JSON), and
// the per-category summary at the end of the session.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"

namespace tolvern {

struct ModelResult {
    std::string name;
    std::string reason;
    Duration elapsed{};
    bool xfail_marker = false;
    Status status = Status::Pass;
    Category category = Category::Parsing;
};

struct SharedReporter;

struct Reporter {
    std::vector<ModelResult> results;
    std::size_t tap_count = 0;
    OutputFormat format = OutputFormat::Human;

    // Prints the result's progress line and keeps the result, under the reporter's mutex.
    static void record(SharedReporter& shared, ModelResult result);
    // Prints the summary; true when some category counted a failure (FAIL or TIMEOUT). A
    // session that a signal stopped names it, and its summary says so where the format can.
    static bool print_summary(const Reporter& reporter, std::string_view interrupted = {});

    // The progress line (without its line break) for the next recorded result; in TAP this
    // counts the line. No control character of the name or reason reaches it raw.
    std::string progress_line(const ModelResult& result, bool colour);
    // The summary text, every line ending in a line break. After a stop by the named signal,
    // TAP bails out instead of giving the plan and JSON adds an "interrupted" member.
    std::string summary_text(bool colour, std::string_view interrupted = {}) const;
};

// The reporter inside the one mutex that the workers of a pass share.
struct SharedReporter {
    std::mutex mutex;
    Reporter reporter;
};

// Whether colour is on now: NO_COLOR unset and standard output a terminal.
bool colour_on();
// The text made safe for the inside of a JSON string.
std::string escape_json(std::string_view text);
// One count cell of the human summary, coloured by its column when colour is on and it is > 0.
std::string paint_count(std::size_t count, Status column, bool colour);

}  // namespace tolvern
