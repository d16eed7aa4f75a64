// The misc check end to end: each model's run.sh under bash in its scratch directory below the
// TMPDIR given to tolvern, judged by its exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "support.hpp"

namespace tolvern::testing {
namespace {

using nlohmann::json;

void script(Corpus& corpus, std::string_view name, std::string_view body, bool marked = false) {
    corpus.model(name, false);
    corpus.files(name, {{"run.sh", body}});
    if (marked) corpus.files(name, {{"baseline/misc.xfail", ""}});
}

TEST(Misc, EveryOutcomeRow) {
    Corpus corpus;
    TempDir tmp;
    auto scratch = [&](std::string_view name) {
        return tmp.path / ("tolvern_" + std::string(name));
    };

    corpus.model("misc_none");
    script(corpus, "misc_pass", "exit 0\n");
    script(corpus, "misc_pass_marked", "exit 0\n", true);
    const std::string fails = "echo 'note' >&2\necho '  m.svk:1:1: error: boom  ' >&2\nexit 3\n";
    script(corpus, "misc_exit3", fails);
    script(corpus, "misc_exit3_marked", fails, true);
    script(corpus, "misc_signal", "kill -KILL $$\n");
    script(corpus, "misc_sleep", "exec sleep 5\n");
    script(corpus, "misc_sleep_marked", "exec sleep 5\n", true);
    // Must start empty although an earlier run left a file behind.
    script(corpus, "misc_stale", "[ -z \"$(ls -A .)\" ] || { echo 'error: stale' >&2; exit 1; }\n");
    write_file(scratch("misc_stale") / "left-over", "x");
    script(corpus, "misc_occupied", "exit 0\n", true);
    write_file(scratch("misc_occupied"), "not ours");

    auto run = corpus.tolvern({"--category", "misc", "--output", "json", "--timeout", "1"},
                              {{"TMPDIR", tmp.path.string()}});
    auto outcome = progress_of(run);

    struct Row {
        std::string name, status, reason;
        bool zero_elapsed = false;
    };
    std::vector<Row> rows = {
        {"misc_none", "SKIP", "no run.sh", true},
        {"misc_pass", "PASS", ""},
        {"misc_pass_marked", "PASS", ""},
        {"misc_exit3", "FAIL", "exit=3 m.svk:1:1: error: boom"},
        {"misc_exit3_marked", "XFAIL", "exit=3 m.svk:1:1: error: boom"},
        {"misc_signal", "FAIL", "exit=-1 "},
        {"misc_sleep", "TIMEOUT", "run.sh"},
        {"misc_sleep_marked", "XFAIL", "run.sh"},
        {"misc_stale", "PASS", ""},
        {"misc_occupied", "FAIL", "mkdir " + scratch("misc_occupied").string() + ": File exists",
         true},
    };
    EXPECT_EQ(outcome.lines.size(), rows.size()) << run.out << run.err;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto& line = outcome.lines[row.name];
        EXPECT_EQ(line["status"], row.status);
        EXPECT_EQ(line["category"], "misc");
        EXPECT_EQ(line["reason"], row.reason);
        if (row.zero_elapsed) {
            EXPECT_EQ(line["elapsed_ms"], 0);
        }
        if (row.reason == "run.sh") {
            EXPECT_GE(line["elapsed_ms"].get<std::uint64_t>(), 1000u);
        }
    }
    EXPECT_EQ(outcome.summary["unexpected_passes"],
              json::parse(R"([{"category":"misc","name":"misc_pass_marked"}])"));

    // Scratch directories are gone after every run, a file in one's place is left alone, and a
    // model without run.sh never gets one.
    for (const auto& entry : fs::directory_iterator(tmp.path))
        EXPECT_EQ(entry.path(), scratch("misc_occupied"));
    EXPECT_EQ(read_file(scratch("misc_occupied")), "not ours");
}

// A directory that stays after the removal, as another user's would in a shared temporary
// directory (root needs the immutable flag for that); removable again at the end of its scope.
struct Kept {
    fs::path dir;
    bool root = ::geteuid() == 0;
    bool made = root ? run_program("sh", {"-c", "chattr +i kept"}, dir).code == 0
                     : (fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec), true);
    ~Kept() {
        if (root) run_program("sh", {"-c", "chattr -i kept"}, dir);
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, ignored);
    }
};

TEST(Misc, AScratchPathThatCannotBeClearedRunsNothing) {
    Corpus corpus;
    TempDir tmp;
    write_file(tmp.path / "tolvern_misc_kept/kept", "theirs");
    Kept kept{tmp.path / "tolvern_misc_kept"};
    if (!kept.made) GTEST_SKIP() << "chattr +i failed: root can remove any directory";
    script(corpus, "misc_kept", "touch \"$MODEL_DIR/ran\"\n");

    auto outcome = progress_of(corpus.tolvern({"--category", "misc", "--output", "json"},
                                              {{"TMPDIR", tmp.path.string()}}));
    EXPECT_EQ(outcome.lines["misc_kept"]["status"], "FAIL");
    EXPECT_EQ(outcome.lines["misc_kept"]["reason"], "mkdir " + kept.dir.string() + ": File exists");
    EXPECT_FALSE(fs::exists(corpus.root / "test-models/misc_kept/ran"));
}

// What a run.sh may rely on, seen from inside, with the corpus root given as a relative path.
TEST(Misc, ScriptContract) {
    Corpus corpus;
    TempDir tmp;
    script(corpus, "misc_env", R"sh(seen="$MODEL_DIR/seen"
{
  echo "argc=$#"
  echo "self=$0"
  echo "MODEL_DIR=$MODEL_DIR"
  echo "KESTRIN=$KESTRIN"
  echo "TOLVERN_TMPDIR=$TOLVERN_TMPDIR"
  echo "KES_PANIC_LOG=$KES_PANIC_LOG"
  echo "KES_RUN_LOG=$KES_RUN_LOG"
  [ "$(pwd -P)" = "$(cd "$TOLVERN_TMPDIR" && pwd -P)" ] && echo "cwd=scratch"
  echo "stdin=$(cat)"
} >"$seen"
)sh");
    // Given relative to the working directory, the tool reaches the script as a canonical path.
    write_file(corpus.root / "bin/kestrin", "");
    auto root = corpus.root.filename();
    auto run =
        run_program(TOLVERN_BIN,
                    {"--kestrin", (root / "bin/kestrin").string(), "--root", root.string(),
                     "--category", "misc", "--output", "json"},
                    corpus.root.parent_path(), {{"NO_COLOR", "1"}, {"TMPDIR", tmp.path.string()}});
    ASSERT_EQ(run.code, 0) << run.out << run.err;

    auto model_dir = fs::canonical(corpus.root / "test-models/misc_env");
    auto expected = "argc=0\nself=" + (model_dir / "run.sh").string() +
                    "\nMODEL_DIR=" + model_dir.string() +
                    "\nKESTRIN=" + fs::canonical(corpus.root / "bin/kestrin").string() +
                    "\nTOLVERN_TMPDIR=" + (tmp.path / "tolvern_misc_env").string() +
                    "\nKES_PANIC_LOG=/dev/null\nKES_RUN_LOG=/dev/null\ncwd=scratch\nstdin=\n";
    EXPECT_EQ(read_file(model_dir / "seen"), expected);
}

// bash that cannot be found fails the model with the runner's message, through the marker.
TEST(Misc, BashNotFound) {
    Corpus corpus;
    TempDir tmp;
    script(corpus, "misc_nobash", "exit 0\n");
    script(corpus, "misc_nobash_marked", "exit 0\n", true);
    auto outcome = progress_of(corpus.tolvern({"--category", "misc", "--output", "json"},
                                              {empty_path(corpus), {"TMPDIR", tmp.path.string()}}));
    for (auto [name, status] :
         {std::pair{"misc_nobash", "FAIL"}, {"misc_nobash_marked", "XFAIL"}}) {
        SCOPED_TRACE(name);
        auto& line = outcome.lines[name];
        EXPECT_EQ(line["status"], status);
        EXPECT_EQ(line["reason"], "spawn bash: No such file or directory");
        EXPECT_EQ(line["elapsed_ms"], 0);
    }
}

}  // namespace
}  // namespace tolvern::testing
