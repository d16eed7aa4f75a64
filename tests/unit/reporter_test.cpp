// Progress lines and summaries in the three output formats.
#include "reporter.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using namespace tolvern;
using std::chrono::milliseconds;

ModelResult result(Status status, Category category, std::string name, std::string reason = "",
                   Duration elapsed = milliseconds(0), bool marker = false) {
    return ModelResult{std::move(name), std::move(reason), elapsed, marker, status, category};
}

Reporter reporter(OutputFormat format) {
    Reporter r;
    r.format = format;
    return r;
}

TEST(Reporter, HumanLines) {
    auto r = reporter(OutputFormat::Human);
    EXPECT_EQ(
        r.progress_line(result(Status::Pass, Category::Lts, "m", "", milliseconds(1999)), false),
        "PASS     lts          m                                           1999ms");
    EXPECT_EQ(r.progress_line(result(Status::Fail, Category::SimulateRepl, "m", "why"), false),
              "FAIL     simulate-repl  m                                              0ms  [why]");
    EXPECT_EQ(
        r.progress_line(result(Status::Xfail, Category::Lts, "m"), true),
        "\x1b[0m\x1b[1;36mXFAIL  \x1b[0m  lts          m" + std::string(39, ' ') + "       0ms");
    // Control characters from a model's name or a tool's output are shown, not obeyed.
    EXPECT_EQ(r.progress_line(result(Status::Fail, Category::Lts, "a\nb\tc",
                                     "error: \x1b]0;owned-title\x07 \x1b[2J\x7f\u009b\r"),
                              false),
              "FAIL     lts          a\\nb\\tc" + std::string(33, ' ') +
                  "       0ms  [error: \\u{1b}]0;owned-title\\u{7} \\u{1b}[2J\\u{7f}\\u{9b}\\r]");
}

TEST(Reporter, TapLinesCountAndCarryDirectives) {
    auto r = reporter(OutputFormat::Tap);
    struct Case {
        Status status;
        std::string reason;
        std::string line;
    } cases[] = {
        {Status::Pass, "", "ok 1 - lts/m"},
        {Status::Fail, "bad", "not ok 2 - lts/m (bad)"},
        {Status::Xfail, "", "ok 3 - lts/m # TODO known regression (xfail)"},
        {Status::Skip, "why", "ok 4 - lts/m # SKIP (why)"},
        {Status::Timeout, "lts", "not ok 5 - lts/m # TODO timed out (lts)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(r.progress_line(result(c.status, Category::Lts, "m", c.reason), false), c.line);
    EXPECT_EQ(r.tap_count, 5u);

    // Nothing of a name or reason may start a directive or a new line.
    struct Named {
        Status status;
        std::string name, reason, line;
    } named[] = {
        {Status::Fail, "bad # TODO", "", "not ok 6 - lts/bad \\# TODO"},
        {Status::Fail, "b\\", "# TODO x", "not ok 7 - lts/b\\\\ (\\# TODO x)"},
        {Status::Pass, "two\nlines", "", "ok 8 - lts/two\\nlines"},
        {Status::Skip, "s#", "a # b\n", "ok 9 - lts/s\\# # SKIP (a # b\\n)"},
    };
    for (const auto& c : named)
        EXPECT_EQ(r.progress_line(result(c.status, Category::Lts, c.name, c.reason), false),
                  c.line);
}

TEST(Reporter, JsonLinesParseBack) {
    auto r = reporter(OutputFormat::Json);
    auto line = r.progress_line(result(Status::Timeout, Category::Verify, "a\"b",
                                       "tab\there \"q\"\nnl\x01", milliseconds(42)),
                                false);
    auto json = nlohmann::json::parse(line);
    EXPECT_EQ(json["status"], "TIMEOUT");
    EXPECT_EQ(json["category"], "verify");
    EXPECT_EQ(json["name"], "a\"b");
    EXPECT_EQ(json["elapsed_ms"], 42);
    EXPECT_EQ(json["reason"], "tab\there \"q\"\nnl\x01");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(escape_json("é\\"), "é\\\\");
}

TEST(Reporter, EmptySessionSummaries) {
    EXPECT_EQ(reporter(OutputFormat::Human).summary_text(false),
              "\n=== summary ===\ncategory         PASS   FAIL  XFAIL   SKIP\n");
    EXPECT_EQ(reporter(OutputFormat::Tap).summary_text(false), "1..0\n");
    EXPECT_EQ(reporter(OutputFormat::Json).summary_text(false),
              "{\"summary\":{},\"unexpected_passes\":[]}\n");
}

TEST(Reporter, SummaryCountsByCategoryNameAndListsUnexpectedPasses) {
    for (auto format : {OutputFormat::Human, OutputFormat::Json}) {
        auto r = reporter(format);
        r.results = {result(Status::Pass, Category::Parsing, "p"),
                     result(Status::Timeout, Category::Lts, "t"),
                     result(Status::Pass, Category::Lts, "x", "", {}, true),
                     result(Status::Xfail, Category::Lbs, "l"),
                     result(Status::Skip, Category::Lbs, "s")};
        auto text = r.summary_text(false);
        if (format == OutputFormat::Json) {
            auto json = nlohmann::json::parse(text);
            EXPECT_EQ(json.dump(), R"({"summary":{"lbs":{"fail":0,"pass":0,"skip":1,"xfail":1},)"
                                   R"("lts":{"fail":1,"pass":1,"skip":0,"xfail":0},)"
                                   R"("parsing":{"fail":0,"pass":1,"skip":0,"xfail":0}},)"
                                   R"("unexpected_passes":[{"category":"lts","name":"x"}]})");
            EXPECT_LT(text.find("\"lbs\""), text.find("\"lts\""));
        } else {
            EXPECT_EQ(text,
                      "\n=== UNEXPECTED PASS — remove stale .xfail marker ===\n"
                      "  lts/x  (passed but baseline/lts.xfail exists)\n\n"
                      "=== summary ===\n"
                      "category         PASS   FAIL  XFAIL   SKIP\n"
                      "lbs                 0      0      1      1\n"
                      "lts                 1      1      0      0\n"
                      "parsing             1      0      0      0\n");
        }
    }
}

TEST(Reporter, ColouredCountsLeaveZerosPlain) {
    EXPECT_EQ(paint_count(0, Status::Fail, true), "     0");
    EXPECT_EQ(paint_count(3, Status::Pass, true), "\x1b[1;32m     3\x1b[0m");
    EXPECT_EQ(paint_count(3, Status::Pass, false), "     3");
}

}  // namespace
