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
    // Must start empty although a directory of its model's name holds a file.
    script(corpus, "misc_stale", "[ -z \"$(ls -A .)\" ] || { echo 'error: stale' >&2; exit 1; }\n");
    write_file(scratch("misc_stale") / "left-over", "x");
    script(corpus, "misc_occupied", "exit 0\n");
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
        {"misc_occupied", "PASS", ""},
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

    // Scratch directories are gone after every run, whatever its outcome; what others left
    // under the models' names is not touched; a model without run.sh never gets one.
    Strings left;
    for (const auto& entry : fs::directory_iterator(tmp.path))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Strings{"tolvern_misc_occupied", "tolvern_misc_stale"}));
    EXPECT_EQ(read_file(scratch("misc_occupied")), "not ours");
    EXPECT_EQ(read_file(scratch("misc_stale") / "left-over"), "x");
}

// Without a temporary directory to make it in there is no scratch directory, nothing is run,
// and a marker does not claim the failure.
TEST(Misc, AScratchDirectoryThatCannotBeMadeRunsNothing) {
    Corpus corpus;
    TempDir tmp;
    write_file(tmp.path / "file", "");
    script(corpus, "misc_nowhere", "touch \"$MODEL_DIR/ran\"\n", true);

    auto outcome = progress_of(corpus.tolvern({"--category", "misc", "--output", "json"},
                                              {{"TMPDIR", (tmp.path / "file").string()}}));
    auto& line = outcome.lines["misc_nowhere"];
    EXPECT_EQ(line["status"], "FAIL");
    EXPECT_EQ(line["reason"], "mkdir " + (tmp.path / "file/tolvern_misc_nowhere_XXXXXX").string() +
                                  ": Not a directory");
    EXPECT_EQ(line["elapsed_ms"], 0);
    EXPECT_FALSE(fs::exists(corpus.root / "test-models/misc_nowhere/ran"));
}

// What a run.sh may rely on, seen from inside, with the corpus root given as a relative path
// and $TMPDIR given either way.
TEST(Misc, ScriptContract) {
    Corpus corpus;
    script(corpus, "misc_env", R"sh(seen="$MODEL_DIR/seen"
{
  echo "argc=$#"
  echo "self=$0"
  echo "MODEL_DIR=$MODEL_DIR"
  echo "KESTRIN=$KESTRIN"
  echo "TOLVERN_TMPDIR=${TOLVERN_TMPDIR%??????}XXXXXX"
  echo "KES_PANIC_LOG=$KES_PANIC_LOG"
  echo "KES_RUN_LOG=$KES_RUN_LOG"
  [ "$(pwd -P)" = "$(cd "$TOLVERN_TMPDIR" && pwd -P)" ] && echo "cwd=scratch"
  echo "entries=$(ls -A)"
  echo "stdin=$(cat)"
} >"$seen"
)sh");
    // Given relative to the working directory, the tool reaches the script as a canonical path.
    write_file(corpus.root / "bin/kestrin", "");
    auto root = corpus.root.filename();
    auto model_dir = fs::canonical(corpus.root / "test-models/misc_env");
    auto seen = [&](const fs::path& tmp) {
        return "argc=0\nself=" + (model_dir / "run.sh").string() +
               "\nMODEL_DIR=" + model_dir.string() +
               "\nKESTRIN=" + fs::canonical(corpus.root / "bin/kestrin").string() +
               "\nTOLVERN_TMPDIR=" + (tmp / "tolvern_misc_env_XXXXXX").string() +
               "\nKES_PANIC_LOG=/dev/null\nKES_RUN_LOG=/dev/null\ncwd=scratch\nentries=\nstdin=\n";
    };
    TempDir absolute;
    fs::create_directories(corpus.root / "tmp");
    const std::pair<std::string, fs::path> cases[] = {
        {absolute.path.string(), absolute.path},
        {(root / "tmp").string(), corpus.root / "tmp"},
    };
    for (const auto& [tmpdir, tmp] : cases) {
        SCOPED_TRACE(tmpdir);
        auto run = run_program(TOLVERN_BIN,
                               {"--kestrin", (root / "bin/kestrin").string(), "--root",
                                root.string(), "--category", "misc", "--output", "json"},
                               corpus.root.parent_path(), {{"NO_COLOR", "1"}, {"TMPDIR", tmpdir}});
        ASSERT_EQ(run.code, 0) << run.out << run.err;
        EXPECT_EQ(read_file(model_dir / "seen"), seen(tmp));
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// Two checkouts tested at once on one machine, each with a model of the same name whose script
// reads back in its scratch directory what it wrote there while the other one is running.
TEST(Misc, TwoSessionsWithAModelOfTheSameNameAtOnce) {
    Corpus first, second;
    TempDir tmp, meet;
    for (auto* corpus : {&first, &second})
        script(*corpus, "misc_same",
               "echo \"$MEET_ME\" > mine\n" + std::string(MEET) +
                   "[ \"$(cat mine)\" = \"$MEET_ME\" ] || { echo 'error: mine is lost' >&2; exit "
                   "1; }\n");
    auto [first_run, second_run] =
        run_together(first, second, KESTRIN_STANDIN, {"--category", "misc", "--output", "json"},
                     {{"TMPDIR", tmp.path.string()}}, meet.path);
    for (const auto* run : {&first_run, &second_run})
        EXPECT_EQ(reported(*run)["misc_same"], (Verdict{"PASS", ""})) << run->out;
    EXPECT_TRUE(fs::is_empty(tmp.path));
}

// A script that leaves read-only directories in its scratch, the scratch itself among them, run
// as a user whose rights do not lift that.
TEST(Misc, ReadOnlyDirectoriesGoWithTheScratch) {
    auto as_user = unprivileged_prefix();
    if (!as_user) GTEST_SKIP() << "no unprivileged user to run as, and root removes them anyway";
    Corpus corpus;
    TempDir tmp;
    script(corpus, "misc_locked",
           "mkdir -p sub/closed && touch sub/f && chmod 0 sub/closed && chmod 555 sub .\n");
    // The user makes the output root in the corpus and the scratch directory in $TMPDIR.
    fs::permissions(corpus.root, fs::perms::all);
    fs::permissions(tmp.path, fs::perms::all);
    auto command = *as_user + "'" + TOLVERN_BIN.string() + "' --kestrin '" +
                   KESTRIN_STANDIN.string() + "' --category misc --output json";
    // The second run finds nothing of the first in its way.
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        auto session = run_program("/bin/sh", {"-c", command}, corpus.root,
                                   {{"NO_COLOR", "1"}, {"TMPDIR", tmp.path.string()}});
        EXPECT_EQ(progress_of(session).lines["misc_locked"]["status"], "PASS") << session.out;
        EXPECT_TRUE(fs::is_empty(tmp.path));
    }
}

// What a script may leave in its scratch directory: a link to a directory outside in the
// scratch's place or below it, and a tree deeper than the open-file limit under which tolvern
// runs. All of it goes; what the links name stays as it was, read-only directories included.
TEST(Misc, WhatAScriptLeavesGoesButNotWhatItLinksTo) {
    Corpus corpus;
    TempDir tmp, outside;
    const auto ro = outside.path / "ro", closed = ro / "closed";
    write_file(closed / "kept", "x");
    const auto read_only = fs::perms::owner_read | fs::perms::owner_exec;
    for (const auto& dir : {closed, ro}) fs::permissions(dir, read_only);
    const std::string target = "'" + ro.string() + "'", deep = "\"$(printf 'd/%.0s' $(seq 1500))\"";
    const std::pair<std::string, std::string> scripts[] = {
        {"misc_root_link",
         "rmdir \"$TOLVERN_TMPDIR\" && ln -s " + target + " \"$TOLVERN_TMPDIR\"\n"},
        {"misc_inner_link", "mkdir sub && ln -s " + target + " sub/link\n"},
        {"misc_deep", "mkdir -p " + deep + " && touch " + deep + "leaf\n"},
    };
    for (const auto& [name, body] : scripts) script(corpus, name, body);

    auto run =
        run_program("/bin/bash",
                    {"-c", "ulimit -n 1024; exec \"$@\"", "bash", TOLVERN_BIN.string(), "--kestrin",
                     KESTRIN_STANDIN.string(), "--category", "misc", "--output", "json"},
                    corpus.root, {{"NO_COLOR", "1"}, {"TMPDIR", tmp.path.string()}});
    auto outcome = progress_of(run);
    for (const auto& [name, body] : scripts)
        EXPECT_EQ(outcome.lines[name]["status"], "PASS") << name << run.err;
    EXPECT_TRUE(fs::is_empty(tmp.path));
    for (const auto& dir : {ro, closed}) {
        EXPECT_EQ(fs::symlink_status(dir).permissions(), read_only) << dir;
        fs::permissions(dir, fs::perms::owner_all);
    }
    EXPECT_EQ(read_file(closed / "kept"), "x");
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
