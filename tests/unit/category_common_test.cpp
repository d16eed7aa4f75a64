// The helpers every category check shares: tool model name, first diagnostic line, combined
// streams, the blocking test and the results of runs that did not exit.
#include <gtest/gtest.h>

#include <filesystem>

#include "category/common.hpp"
#include "support.hpp"

namespace tolvern::category {
namespace {

using testing::TempDir;

TEST(ToolModelName, DropsOneLeadingLbsPrefixOnly) {
    struct Case {
        std::string_view name, expected;
    };
    for (auto [name, expected] :
         {Case{"lbs_x", "x"}, Case{"lbs", "lbs"}, Case{"xlbs_y", "xlbs_y"},
          Case{"lbs_lbs_x", "lbs_x"}, Case{"LBS_x", "LBS_x"}, Case{"lbs_", ""}})
        EXPECT_EQ(tool_model_name(name), expected) << name;
}

TEST(FirstDiagnosticLine, PrefersDiagnosticsThenFirstNonBlankLine) {
    struct Case {
        std::string_view stderr_text, expected;
    };
    for (auto [stderr_text, expected] : {
             Case{"plain\n  a.svk:2:1: warning: w  \nb.svk:3:1: error: e\n",
                  "a.svk:2:1: warning: w"},
             Case{"plain\ninfo: note\r\n", "info: note"},
             Case{"\n   \n  word  \n", "word"},
             Case{"", ""},
             Case{" \t\n\n", ""},
             Case{"first\nError: capitalised is no diagnostic\n", "first"},
             Case{"x\nsee error:here\n", "see error:here"},
             Case{"no final line break error: e", "no final line break error: e"},
             Case{"\u3000a.svk:1:1: error: e\u00A0\n", "a.svk:1:1: error: e"},
             Case{"\u00A0\u3000\n\u3000 word\u00A0\n", "word"},
         })
        EXPECT_EQ(first_diagnostic_line(stderr_text), expected) << stderr_text;
}

TEST(CombinedText, StandardErrorStartsALineOfItsOwn) {
    struct Case {
        std::string_view out, err, expected;
    };
    for (auto [out, err, expected] : {
             Case{"a\n", "b\n", "a\nb\n"},
             Case{"a", "b", "a\nb"},
             Case{"", "b", "b"},
             Case{"a", "", "a"},
             Case{"a\r", "b", "a\r\nb"},
             Case{"", "", ""},
         })
        EXPECT_EQ(combined_text(out, err), expected) << out << "|" << err;
}

TEST(Blocking, IsAByteSubstringOfTheStandardError) {
    EXPECT_TRUE(is_blocking("a.svk:1:1: error: \"blocking\" feature not supported here\n"));
    EXPECT_FALSE(is_blocking("blocking feature not support"));
    EXPECT_FALSE(is_blocking("\"Blocking\" feature not support"));
}

TEST(ExitReason, CodeThenFirstDiagnosticLine) {
    EXPECT_EQ(exit_reason(runner::Exited{"out", "x\n error: e \n", {}, 1}), "exit=1 error: e");
    EXPECT_EQ(exit_reason(runner::Exited{"", "", {}, -1}), "exit=-1 ");
}

TEST(UnfinishedResult, TimeOutKeepsElapsedAndStartFailureHasNone) {
    auto timed_out = unfinished_result(runner::TimedOut{seconds(3)}, "m", Category::Misc, "run.sh");
    ASSERT_TRUE(timed_out);
    EXPECT_EQ(timed_out->status, Status::Timeout);
    EXPECT_EQ(timed_out->reason, "run.sh");
    EXPECT_EQ(timed_out->elapsed, seconds(3));
    EXPECT_EQ(timed_out->category, Category::Misc);

    auto spawn =
        unfinished_result(runner::SpawnError{"spawn k: gone"}, "m", Category::Wfc, "parse");
    ASSERT_TRUE(spawn);
    EXPECT_EQ(spawn->status, Status::Fail);
    EXPECT_EQ(spawn->reason, "spawn k: gone");
    EXPECT_EQ(spawn->elapsed, Duration{});

    EXPECT_FALSE(unfinished_result(runner::Exited{}, "m", Category::Wfc, "parse"));
}

TEST(PathArg, BackslashesBecomeSlashes) {
    EXPECT_EQ(path_arg("a\\b/c\\d.svk"), "a/b/c/d.svk");
}

}  // namespace
}  // namespace tolvern::category

namespace tolvern::category {
namespace {

// kestrin runs in the canonical root: model paths relative to here must name the same files
// from there, whether the root is "." or a directory below.
TEST(FromWorkdir, RebasesRelativePathsOntoTheToolsDirectory) {
    TempDir dir;
    auto root = std::filesystem::canonical(dir.path);
    std::filesystem::create_directories(root / "corp" / "test-models" / "m");
    auto here = std::filesystem::current_path();
    std::filesystem::current_path(root);
    EXPECT_EQ(from_workdir("test-models/m", root), "test-models/m");
    EXPECT_EQ(from_workdir("corp/test-models/m/trace.1", root / "corp"), "test-models/m/trace.1");
    EXPECT_EQ(from_workdir("/tmp/x.trace", root / "corp"), "/tmp/x.trace");
    std::filesystem::current_path(here);
}

}  // namespace
}  // namespace tolvern::category
