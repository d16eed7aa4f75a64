// Golden-file helpers: override lookup, sidecar classes, the standard-error gate, difference
// texts, expected lines, verify normalisation and the trail tests.
#include "category/golden.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "category/golden_internal.hpp"
#include "support.hpp"

namespace {

using namespace tolvern::category;
using kestrin::render::judge::Classification;
using tolvern::testing::TempDir;
using tolvern::testing::write_file;

TEST(JudgeClass, LastMeaningfulSidecarLineOnly) {
    struct Case {
        std::string sidecar;
        Classification expected;
    };
    const std::vector<Case> cases = {
        {"# owner note\nExact\n\n# reviewed\n", Classification::Exact},
        {"exact\n  \n#x", Classification::Exact},
        {"\n STATE_ARTIFACT \n\n", Classification::StateArtifact},
        {"exact\nunknown\n", Classification::Shape},
        {"nondet\r\n\u00A0\r\n", Classification::Nondet},
        {"exact\n  # indented comment\n", Classification::Exact},
        {"", Classification::Shape},
        {"# only a comment\n", Classification::Shape},
    };
    for (const auto& c : cases) EXPECT_EQ(judge_class_of(c.sidecar), c.expected) << c.sidecar;
}

TEST(JudgeClass, ReadsTheSidecarBesideTheGolden) {
    TempDir dir;
    auto golden = dir.path / "simulate.3";
    EXPECT_EQ(judge_class(golden), Classification::Shape);
    write_file(dir.path / "simulate.3.judge", "golden_artifact\n");
    EXPECT_EQ(judge_class(golden), Classification::GoldenArtifact);
    write_file(dir.path / "simulate.3.judge", "exact\xff\n");
    EXPECT_EQ(judge_class(golden), Classification::Shape);
}

TEST(GoldenPaths, OverridesWhenTheyExist) {
    TempDir dir;
    auto golden = dir.path / "simulate.3";
    EXPECT_EQ(stdout_golden_path(golden), golden);
    EXPECT_EQ(stderr_golden_path(golden), dir.path / "simulate.3.stderr");
    write_file(dir.path / "simulate.3.override", "");
    write_file(dir.path / "simulate.3.stderr.override", "");
    EXPECT_EQ(stdout_golden_path(golden), dir.path / "simulate.3.override");
    EXPECT_EQ(stderr_golden_path(golden), dir.path / "simulate.3.stderr.override");
    EXPECT_EQ(repl_override_paths(golden), std::pair(dir.path / "simulate.3.repl.override",
                                                     dir.path / "simulate.3.repl.override.stderr"));
}

TEST(GoldenPaths, FileNamesThatAreNotUtf8FindTheirSiblings) {
    TempDir dir;
    auto golden = dir.path / "trace.\xff";
    write_file(dir.path / "trace.\xff.override", "");
    write_file(dir.path / "trace.\xff.judge", "exact");
    EXPECT_EQ(stdout_golden_path(golden), dir.path / "trace.\xff.override");
    EXPECT_EQ(judge_class(golden), Classification::Exact);
}

TEST(StderrGate, PlainGoldenOverrideAndVerdictBaselines) {
    constexpr std::string_view verdict_trail = "(trail \"<deadlock>\")\n";
    constexpr auto none = "<none>";
    struct Case {
        std::string name;
        std::string golden, plain, override_text;  // none: the file does not exist
        std::string stderr_text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"no stderr golden, empty", "(trail)\n", none, none, "", true},
        {"no stderr golden, only newlines", "(trail)\n", none, none, "\n\n", true},
        {"no stderr golden, output", "(trail)\n", none, none, "warning\n", false},
        {"verdict needs a stderr golden", std::string(verdict_trail), none, none, "", false},
        {"verdict with plain golden", std::string(verdict_trail), "", none, "", true},
        {"verdict with override only", std::string(verdict_trail), none, "w\n", "w", true},
        {"missing final newline", "", "warn: x\n", none, "warn: x", true},
        {"extra newlines", "", "warn: x", none, "warn: x\n\n\n", true},
        {"trailing blank", "", "warn: x\n", none, "warn: x \n", false},
        {"carriage return", "", "warn: x\n", none, "warn: x\r\n", false},
        {"plain missing, override unread", "", none, "w\n", "", true},
        {"plain missing, override matches", "", none, "w\n", "w", true},
        {"plain missing, override differs", "", none, "w\n", "v", false},
        {"plain matches despite override", "", "a\n", "b\n", "a\n", true},
        {"override matches", "", "a\n", "b\n", "b\n", true},
        {"neither matches", "", "a\n", "b\n", "c\n", false},
        {"plain differs, no override", "", "a\n", none, "", false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto golden = dir.path / "simulate.3";
        write_file(golden, c.golden);
        if (c.plain != none) write_file(dir.path / "simulate.3.stderr", c.plain);
        if (c.override_text != none)
            write_file(dir.path / "simulate.3.stderr.override", c.override_text);
        EXPECT_EQ(stderr_gate_ok(golden, c.stderr_text), c.expected) << c.name;
    }
}

TEST(L4JudgePass, FailOnlyWhenTheJudgeFails) {
    TempDir dir;
    auto golden = dir.path / "simulate.1";
    EXPECT_TRUE(l4_judge_pass(golden, "\n", Classification::Exact));
    EXPECT_FALSE(l4_judge_pass(golden, "x", Classification::Shape));
    write_file(golden, "(state a)\n");
    EXPECT_TRUE(l4_judge_pass(golden, "(state b)", Classification::StateArtifact));
    EXPECT_FALSE(l4_judge_pass(golden, "(state b)", Classification::Shape));
    EXPECT_TRUE(l4_judge_pass(golden, "anything", Classification::Nondet));
}

TEST(FirstDiffLine, ThreeAnswers) {
    struct Case {
        std::string golden, ours, expected;
    };
    const std::vector<Case> cases = {
        {"a\nb\n", "a\nc\n", R"(line 2: gold="b" ours="c")"},
        {"a\n", "a\nb\n", "length: gold=1 ours=2"},
        {"a\nb\nc", "a", "length: gold=3 ours=1"},
        {"a \n", "a\n", "no line-level diff?"},
        {"a\r\n", "a", "no line-level diff?"},
        {"", "", "no line-level diff?"},
        // Lines are shown as they stand, untrimmed and quoted.
        {"x  \nend", "y\nend", R"(line 1: gold="x  " ours="y")"},
        {std::string("q\"\\\t\r\0z", 7), "q", R"(line 1: gold="q\"\\\t\r\0z" ours="q")"},
        {"\x01\x1b[0m\x7f\u0085\u200B\u2028", "é ü",
         R"(line 1: gold="\u{1}\u{1b}[0m\u{7f}\u{85}\u{200b}\u{2028}" ours="é ü")"},
        {"a\xffz", "b", "line 1: gold=\"a\uFFFDz\" ours=\"b\""},
        // Spaces other than the blank would pass for one.
        {"a\u00A0b\u3000c\u202Fd", "a b",
         R"(line 1: gold="a\u{a0}b\u{3000}c\u{202f}d" ours="a b")"},
    };
    for (const auto& c : cases) EXPECT_EQ(first_diff_line(c.golden, c.ours), c.expected);
}

TEST(MissingSubstrings, KeepsIndentationAndOrder) {
    auto expected = "# comment\n\nerror: bad thing  \n  warning: w\nerror: bad thing\n#x\n";
    auto output = "prefix error: bad thing\nwarning: w\n";
    EXPECT_EQ(missing_substrings(expected, output), std::vector<std::string>{"  warning: w"});
    EXPECT_EQ(missing_substrings("b\na\nb\n", "c"), (std::vector<std::string>{"b", "a", "b"}));
    EXPECT_EQ(missing_substrings("Error\n", "error"), std::vector<std::string>{"Error"});
}

TEST(NormalizeVerify, TrailingWhiteSpaceAndLineBreaks) {
    struct Case {
        std::string text, expected;
    };
    const std::vector<Case> cases = {
        {"a  \nb\n\n\n", "a\nb"},
        {"a\r\nb\r\n", "a\nb"},
        {"\n  a\n\n\tb \n", "\n  a\n\n\tb"},
        {"a\u00A0\u3000\u2028\u2029\u202F\u205F\u1680\u2000\u200A\u0085\v\f\nb", "a\nb"},
        {"a\u200B\nb\u2010", "a\u200B\nb\u2010"},
        {"é\u00A0", "é"},
        {"\n\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(normalize_verify(c.text), c.expected) << c.text;
    EXPECT_NE(normalize_verify("a\n\tb"), normalize_verify("a\nb"));
}

TEST(VerdictTokens, ExactTokensAndLoop) {
    for (auto token : VERDICT_TOKENS) EXPECT_TRUE(is_verdict_token(token)) << token;
    EXPECT_TRUE(is_verdict_token("<loop>"));
    for (auto text : {"<LOOP>", " <match>", "<match> ", "match", "", "<>"})
        EXPECT_FALSE(is_verdict_token(text)) << text;
}

TEST(TrailTests, LastTrailLineDecides) {
    struct Case {
        std::string text;
        bool verdict, match;
    };
    const std::vector<Case> cases = {
        {"(trail a \"<deadlock>\")\n", true, false},
        {"(trail a \"<match>\")\r\n", true, true},
        {"(trail \"<match>\")\n  (trail x)\n(trai\n", true, true},
        {"(trail \"<deadlock>\")\n(trail x)\n", false, false},
        {"(trail \"<loop>\")\n", false, false},
        {"(trail <deadlock>)\n", false, false},
        {"(trail \"<Deadlock>\")", false, false},
        {"x \"<deadlock>\"\n", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_ends_in_verdict(c.text), c.verdict) << c.text;
        EXPECT_EQ(text_ends_in_match(c.text), c.match) << c.text;
    }
}

TEST(TrailTests, QuotedTokensOnly) {
    EXPECT_TRUE(holds_quoted(R"((trail "a" "<loop>"))", "<loop>"));
    EXPECT_FALSE(holds_quoted(R"((trail "a<loop>"))", "<loop>"));
    EXPECT_FALSE(holds_quoted(R"((trail <loop>"))", "<loop>"));
    EXPECT_TRUE(holds_quoted(R"(<loop> "<loop>")", "<loop>"));
    EXPECT_TRUE(holds_quoted_verdict(R"((trail "x" "<queue-full>"))"));
    EXPECT_FALSE(holds_quoted_verdict(R"((trail "x" "<loop>"))"));
}

TEST(TrailTests, ReadTheGolden) {
    TempDir dir;
    auto golden = dir.path / "simulate.2";
    EXPECT_FALSE(baseline_ends_in_verdict(golden));
    EXPECT_FALSE(baseline_ends_in_match(golden));
    write_file(golden, "(header m)\n(trail e \"<match>\")\n");
    EXPECT_TRUE(baseline_ends_in_verdict(golden));
    EXPECT_TRUE(baseline_ends_in_match(golden));
}

TEST(EqualButTrailingNewlines, OnlyLineFeedsAreRemoved) {
    EXPECT_TRUE(equal_but_trailing_newlines("a\n\n", "a"));
    EXPECT_TRUE(equal_but_trailing_newlines("\n", ""));
    EXPECT_FALSE(equal_but_trailing_newlines("a\r\n", "a"));
    EXPECT_FALSE(equal_but_trailing_newlines("a \n", "a"));
    EXPECT_FALSE(equal_but_trailing_newlines("\na", "a"));
}

}  // namespace
