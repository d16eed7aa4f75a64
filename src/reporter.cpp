// Result reporting: progress lines as results arrive, and the per-category summary.
#include "reporter.hpp"

#include <unistd.h>

#include <cstdlib>
#include <map>

#include "output.hpp"
#include "text.hpp"

namespace tolvern {

namespace {

constexpr std::string_view RESET = "\x1b[0m";

std::string_view colour_of(Status status) {
    switch (status) {
        case Status::Pass: return "\x1b[1;32m";
        case Status::Fail: return "\x1b[1;31m";
        case Status::Xfail: return "\x1b[1;36m";
        case Status::Skip: return "\x1b[1;33m";
        case Status::Timeout: return "\x1b[1;35m";
    }
    return "";
}

struct TapWords {
    std::string_view ok;
    std::string_view directive;
};

TapWords tap_words(Status status) {
    switch (status) {
        case Status::Pass: return {"ok", ""};
        case Status::Fail: return {"not ok", ""};
        case Status::Xfail: return {"ok", " # TODO known regression (xfail)"};
        case Status::Skip: return {"ok", " # SKIP"};
        case Status::Timeout: return {"not ok", " # TODO timed out"};
    }
    return {};
}

// A TAP description: "\\" and "#" escaped the way TAP reads them, so that no name or reason can
// start a directive, and control characters escaped, so that none can split the line.
std::string tap_description(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '#') escaped += '\\';
        escaped += c;
    }
    return text::escape_controls(escaped);
}

struct Counts {
    std::size_t pass = 0, fail = 0, xfail = 0, skip = 0;
};

// Per-category counts, ordered by the category's name.
std::map<std::string_view, Counts> count(const std::vector<ModelResult>& results) {
    std::map<std::string_view, Counts> entries;
    for (const auto& result : results) {
        auto& counts = entries[name(result.category)];
        switch (result.status) {
            case Status::Pass: ++counts.pass; break;
            case Status::Fail:
            case Status::Timeout: ++counts.fail; break;
            case Status::Xfail: ++counts.xfail; break;
            case Status::Skip: ++counts.skip; break;
        }
    }
    return entries;
}

std::vector<const ModelResult*> unexpected_passes(const std::vector<ModelResult>& results) {
    std::vector<const ModelResult*> unexpected;
    for (const auto& result : results)
        if (result.xfail_marker && result.status == Status::Pass) unexpected.push_back(&result);
    return unexpected;
}

std::string json_summary(const std::vector<ModelResult>& results, std::string_view interrupted) {
    std::string out = R"({"summary":{)";
    std::string_view separator;
    for (const auto& [category, c] : count(results)) {
        out += text::concat({separator, "\"", category, "\":{\"pass\":", std::to_string(c.pass),
                             ",\"fail\":", std::to_string(c.fail), ",\"xfail\":",
                             std::to_string(c.xfail), ",\"skip\":", std::to_string(c.skip), "}"});
        separator = ",";
    }
    out += R"(},"unexpected_passes":[)";
    separator = "";
    for (const auto* result : unexpected_passes(results)) {
        out += text::concat({separator, R"({"category":")", name(result->category), R"(","name":")",
                             escape_json(result->name), "\"}"});
        separator = ",";
    }
    out += "]";
    if (!interrupted.empty()) out += text::concat({R"(,"interrupted":")", interrupted, "\""});
    return out + "}\n";
}

std::string human_summary(const std::vector<ModelResult>& results, bool colour) {
    std::string out = "\n";
    auto unexpected = unexpected_passes(results);
    if (!unexpected.empty()) {
        out += "=== UNEXPECTED PASS — remove stale .xfail marker ===\n";
        for (const auto* result : unexpected) {
            auto category = name(result->category);
            out += text::concat({"  ", category, "/", text::escape_controls(result->name),
                                 "  (passed but baseline/", category, ".xfail exists)\n"});
        }
        out += "\n";
    }
    out += "=== summary ===\n";
    out += text::concat({text::pad_right("category", 14), " ", text::pad_left("PASS", 6), " ",
                         text::pad_left("FAIL", 6), " ", text::pad_left("XFAIL", 6), " ",
                         text::pad_left("SKIP", 6), "\n"});
    for (const auto& [category, c] : count(results))
        out += text::concat({text::pad_right(category, 14), " ",
                             paint_count(c.pass, Status::Pass, colour), " ",
                             paint_count(c.fail, Status::Fail, colour), " ",
                             paint_count(c.xfail, Status::Xfail, colour), " ",
                             paint_count(c.skip, Status::Skip, colour), "\n"});
    return out;
}

}  // namespace

bool colour_on() {
    return std::getenv("NO_COLOR") == nullptr && ::isatty(STDOUT_FILENO) == 1;
}

std::string escape_json(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += text::HEX_DIGITS[byte >> 4];
            out += text::HEX_DIGITS[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string paint_count(std::size_t count, Status column, bool colour) {
    auto cell = text::pad_left(std::to_string(count), 6);
    if (count == 0 || !colour) return cell;
    return text::concat({colour_of(column), cell, RESET});
}

std::string Reporter::progress_line(const ModelResult& result, bool colour) {
    auto ms = std::to_string(millis(result.elapsed));
    auto category = name(result.category);
    auto status = word(result.status);
    switch (format) {
        case OutputFormat::Json:
            return text::concat({R"({"status":")", status, R"(","category":")", category,
                                 R"(","name":")", escape_json(result.name), R"(","elapsed_ms":)",
                                 ms, R"(,"reason":")", escape_json(result.reason), "\"}"});
        case OutputFormat::Tap: {
            ++tap_count;
            auto [ok, directive] = tap_words(result.status);
            auto reason =
                result.reason.empty() ? std::string() : text::concat({" (", result.reason, ")"});
            // Without a directive the reason belongs to the description; after one it explains it.
            auto described =
                text::concat({category, "/", result.name, directive.empty() ? reason : ""});
            auto explanation = directive.empty() ? std::string() : text::escape_controls(reason);
            return text::concat({ok, " ", std::to_string(tap_count), " - ",
                                 tap_description(described), directive, explanation});
        }
        case OutputFormat::Human: break;
    }
    auto field =
        colour ? text::concat({RESET, colour_of(result.status), text::pad_right(status, 7), RESET})
               : text::pad_right(status, 7);
    // Shown escaped, a control character from a tool's output cannot steer the terminal.
    auto reason = result.reason.empty()
                      ? std::string()
                      : text::concat({"  [", text::escape_controls(result.reason), "]"});
    return text::concat({field, "  ", text::pad_right(category, 11), "  ",
                         text::pad_right(text::escape_controls(result.name), 40), "  ",
                         text::pad_left(ms, 6), "ms", reason});
}

std::string Reporter::summary_text(bool colour, std::string_view interrupted) const {
    switch (format) {
        case OutputFormat::Tap:
            // A plan would claim that the lines before it are the whole run.
            if (!interrupted.empty())
                return text::concat({"Bail out! interrupted by ", interrupted, "\n"});
            return "1.." + std::to_string(tap_count) + "\n";
        case OutputFormat::Json: return json_summary(results, interrupted);
        case OutputFormat::Human: break;
    }
    return human_summary(results, colour);
}

void Reporter::record(SharedReporter& shared, ModelResult result) {
    std::lock_guard lock(shared.mutex);
    auto& reporter = shared.reporter;
    bool colour = reporter.format == OutputFormat::Human && colour_on();
    output::put(output::Target::Out, reporter.progress_line(result, colour) + "\n");
    reporter.results.push_back(std::move(result));
}

bool Reporter::print_summary(const Reporter& reporter, std::string_view interrupted) {
    output::put(
        output::Target::Out,
        reporter.summary_text(reporter.format == OutputFormat::Human && colour_on(), interrupted));
    for (const auto& [category, counts] : count(reporter.results))
        if (counts.fail > 0) return true;
    return false;
}

}  // namespace tolvern
