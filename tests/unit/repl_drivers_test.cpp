// The REPL daemon drivers and their passes: reply handling and trail texts as pure functions,
// whole conversations with scripted daemons (small shell scripts), and the per-trace outcomes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "category/repl_daemon_internal.hpp"
#include "category/repl_interactive.hpp"
#include "category/repl_interactive_internal.hpp"
#include "category/repl_verdict.hpp"
#include "category/repl_verdict_internal.hpp"
#include "support.hpp"
#include "text.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tolvern;
using namespace tolvern::category;
using tolvern::testing::read_file;
using tolvern::testing::TempDir;
using tolvern::testing::write_file;
using Strings = std::vector<std::string>;

constexpr Duration LONG = std::chrono::seconds(30);
constexpr Duration SHORT = std::chrono::seconds(1);

// ---- Pure parts ----

TEST(ReplReply, VerdictDriverFields) {
    struct Case {
        Strings lines;
        std::optional<std::string> bail;
        std::optional<std::string> verdict;
        Strings trail;
        Strings eligible;
    };
    const std::vector<Case> cases = {
        // The first bail wins; "error" stands for a missing error text.
        {{R"({"status":"error"})", R"({"status":"error","error":"later"})"}, "error", {}, {}, {}},
        {{R"({"status":"ok","error":"x render bailed y"})"}, "x render bailed y", {}, {}, {}},
        // A verdict needs an error text; a later one replaces it.
        {{R"({"status":"verdict"})"}, {}, {}, {}, {}},
        {{R"({"status":"verdict","error":"v1"})", R"({"status":"done","error":"v2"})"},
         {},
         "v2",
         {},
         {}},
        // Only the trail inside "trace" counts; lists keep their strings and stay until a reply
        // carries them.
        {{R"({"trail":["top"],"eligible":["a",1]})", R"({"trace":{"trail":["in",null]}})",
          R"({"trace":["x"],"eligible":"b"})", "garbage", "[1]"},
         {},
         {},
         {"in"},
         {"a"}},
    };
    for (const auto& c : cases) {
        VerdictDrive drive;
        Strings eligible;
        for (const auto& line : c.lines) apply_verdict_reply(line, drive, eligible);
        EXPECT_EQ(drive.bail, c.bail) << c.lines[0];
        EXPECT_EQ(drive.verdict, c.verdict) << c.lines[0];
        EXPECT_EQ(drive.trail, c.trail) << c.lines[0];
        EXPECT_EQ(eligible, c.eligible) << c.lines[0];
    }
}

TEST(ReplReply, InteractiveEnvelope) {
    const std::string located = "test-models/m/m.svk:3:4: error: <deadlock>";
    struct Case {
        std::string line;
        bool ok;
        std::optional<std::string> gap;
    };
    const std::vector<Case> cases = {
        {"not json\n", false, {}},
        {"[1]\n", false, "envelope missing `stderr` field: [1]"},
        {"{\"ok\":true}\r\n", true, "envelope missing `stderr` field: {\"ok\":true}"},
        {R"({"ok":true,"stderr":"text"})", true,
         R"(envelope missing `stderr` field: {"ok":true,"stderr":"text"})"},
        {R"({"ok":1,"stderr":[]})", false, {}},
        // A located verdict must be repeated in "stderr", possibly inside a longer line.
        {R"({"status":"verdict","error":")" + located + R"(","stderr":["x", "> )" + located +
             R"( <"]})",
         false,
         {}},
        {R"({"status":"verdict","error":")" + located + R"(","stderr":["one","t\"wo"]})", false,
         "`stderr` \"one\\nt\\\"wo\" does not carry located verdict `error` \"" + located + "\""},
        // Errors without a place are not compared.
        {R"({"status":"verdict","error":"m.svk: no place","stderr":[]})", false, {}},
        {R"({"status":"verdict","error":"x: error: y","stderr":[]})", false, {}},
    };
    for (const auto& c : cases) {
        ReplDrive drive;
        Strings eligible;
        EXPECT_EQ(apply_interactive_reply(c.line, drive, eligible), c.ok) << c.line;
        EXPECT_EQ(drive.stderr_gap, c.gap) << c.line;
    }
}

TEST(ReplReply, InteractiveKeepsFirstGapAndFirstBail) {
    ReplDrive drive;
    Strings eligible;
    apply_interactive_reply(R"({"status":"error","eligible":["e"],"trail":["a","<deadlock>"]})",
                            drive, eligible);
    apply_interactive_reply(
        R"({"status":"error","error":"second","stderr":[],"trace":{"trail":[]}})", drive, eligible);
    apply_interactive_reply("[]", drive, eligible);
    EXPECT_EQ(drive.bail, "error");
    EXPECT_EQ(
        drive.stderr_gap,
        R"(envelope missing `stderr` field: {"status":"error","eligible":["e"],"trail":["a","<deadlock>"]})");
    EXPECT_EQ(drive.trail, (Strings{"a", "<deadlock>"}));
    EXPECT_EQ(eligible, Strings{"e"});
}

TEST(ReplTrail, TextTrailTokens) {
    struct Case {
        std::string text;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        {"(state 1)\n  (trail \"a.b\" \"<deadlock>\" \"c\")\n(trail \"later\")\n", {"a.b", "c"}},
        {"(trail)\n", {}},
        {"no trail here\n", {}},
        {"(trail \"x\" \"<loop>\" \"y\r\n", {"x", "y"}},
        {"\t(trail \"\" \"q\")", {"", "q"}},
    };
    for (const auto& c : cases) EXPECT_EQ(text_trail_tokens(c.text), c.tokens) << c.text;
}

TEST(ReplTrail, WithoutMarkersAndDebugList) {
    EXPECT_EQ(trail_without_markers({"<match>", "a", "<loop>", "b", "<illegal>", "<other>"}),
              (Strings{"a", "b", "<other>"}));
    EXPECT_EQ(debug_list({}), "[]");
    EXPECT_EQ(debug_list({"a", "b"}), R"(["a", "b"])");
    EXPECT_EQ(debug_list({"q\"\\\t\n\x01"}), R"(["q\"\\\t\n\u{1}"])");
}

TEST(ReplTrail, GoldenHasVerdict) {
    TempDir dir;
    struct Case {
        std::string text;
        bool verdict;
    };
    const std::vector<Case> cases = {
        {"(trail \"a\" \"<deadlock>\")\n", true},
        {"  (trail \"a\" \"<loop>\")\n(trail \"a\")\n", true},  // any trail line, indented too
        {"(trail \"a\" \"<loopy>\" \"deadlock\")\n", false},
        {"(state \"<deadlock>\")\n(trail \"a\")\n", false},
    };
    auto golden = dir.path / "simulate.1";
    EXPECT_FALSE(golden_has_verdict(golden));
    for (const auto& c : cases) {
        write_file(golden, c.text);
        EXPECT_EQ(golden_has_verdict(golden), c.verdict) << c.text;
    }
}

TEST(ReplRequest, EventLinesAreJson) {
    EXPECT_EQ(event_request("a \"b\"\\\n\x01 é"),
              "{\"op\":\"event\",\"event\":\"a \\\"b\\\"\\\\\\n\\u0001 é\"}\n");
}

// ---- Conversations with scripted daemons ----

// A daemon in a shell script. After the opening line of `replies`, each request is answered by
// the line of "by_request" that starts with the request and a tab, else by the next line of
// `replies`; "@hang" sleeps until killed, "@exit" exits. Past the script, events get an ok reply
// and the quit request a bye. It records the requests, its arguments, working directory and log
// variables. Without "--repl" it is a batch simulator that answers with files of its directory.
struct Daemon {
    TempDir dir;
    fs::path program = dir.path / "kestrin";
    model::Model model;

    explicit Daemon(const Strings& replies = {}) {
        std::string script = R"SH(#!/bin/sh
D=')SH" + dir.path.string() + R"SH('
case " $* " in
  *" --repl "*) ;;
  *) cat > "$D/batch_stdin"
     [ -f "$D/batch_stderr" ] && cat "$D/batch_stderr" >&2
     [ -f "$D/batch_sleep" ] && exec sleep 30
     [ -f "$D/batch_out" ] && cat "$D/batch_out"
     exit "$(cat "$D/batch_exit" 2>/dev/null || echo 0)" ;;
esac
printf '%s\n' "$@" > "$D/argv"
pwd > "$D/cwd"
printf '%s %s' "$KES_PANIC_LOG" "$KES_RUN_LOG" > "$D/env"
[ -f "$D/stderr" ] && cat "$D/stderr" >&2
exec 3< "$D/replies"
answer() {
  line=
  if [ -n "$1" ] && [ -f "$D/by_request" ]; then
    line=$(awk -F '\t' -v r="$1" '$1 == r { print $2; exit }' "$D/by_request")
  fi
  if [ -z "$line" ] && ! IFS= read -r line <&3; then
    case "$1" in
      *'"quit"'*) line='{"status":"bye","stderr":[]}' ;;
      *) line='{"status":"ok","ok":true,"stderr":[]}' ;;
    esac
  fi
  case "$line" in
    @hang) exec sleep 60 ;;
    @exit) exit 0 ;;
  esac
  printf '%s\n' "$line"
}
answer ""
while IFS= read -r request; do
  printf '%s\n' "$request" >> "$D/requests"
  answer "$request"
done
)SH";
        write(program, script);
        fs::permissions(program, fs::perms::owner_all);
        std::string text;
        for (const auto& line : replies) text += line + "\n";
        write("replies", text);
        model.name = "lbs_m";
        model.display = "test-models/lbs_m/lbs_m.svk";
        model.dir = dir.path / "root" / "test-models" / "lbs_m";
        model.workdir = dir.path / "root";
        fs::create_directories(model.dir / "baseline");
    }

    void write(const fs::path& name, std::string_view bytes) const {
        write_file(dir.path / name, bytes);
    }
    std::string file(const fs::path& name) const { return read_file(dir.path / name); }
    std::string requests() const {
        auto text = file("requests");
        return text == "<missing>" ? "" : text;
    }
};

std::string event_line(std::string_view event) {
    return R"({"op":"event","event":")" + std::string(event) + "\"}\n";
}

// A line of "by_request": the reply to one event.
std::string request_for(std::string_view event, std::string_view reply) {
    auto line = event_line(event);
    line.pop_back();
    return line + "\t" + std::string(reply) + "\n";
}

const std::string QUIT = "{\"op\":\"quit\"}\n";

model::Model bare_model(const fs::path& dir) {
    model::Model model;
    model.dir = model.workdir = dir;
    model.name = "m";
    model.display = "m.svk";
    return model;
}

// Every child of the process has been reaped.
void expect_no_child() {
    int status;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ReplConversation, CommandLineDirectoryEnvironmentAndRequests) {
    Daemon daemon;
    auto verdict = drive_repl_verdict(daemon.program, daemon.model, {"a", "<deadlock>", "b \"q\""},
                                      LONG, false);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_EQ(daemon.file("argv"),
              "--output\njson\nsimulate\n--repl\n-m\nm\ntest-models/lbs_m/lbs_m.svk\n");
    EXPECT_EQ(fs::path(text::trim(daemon.file("cwd"))), fs::canonical(daemon.model.workdir));
    EXPECT_EQ(daemon.file("env"), "/dev/null /dev/null");
    EXPECT_EQ(daemon.requests(), event_line("a") + event_line(R"(b \"q\")") + QUIT);
    expect_no_child();

    daemon.model.meta.flush = true;
    fs::remove(daemon.dir.path / "requests");
    auto interactive = drive_repl_interactive(daemon.program, daemon.model, {}, LONG);
    ASSERT_TRUE(interactive) << interactive.error();
    EXPECT_EQ(daemon.file("argv"),
              "--output\njson\nsimulate\n--repl\n--flush\n-m\nm\ntest-models/lbs_m/lbs_m.svk\n");
    EXPECT_EQ(daemon.requests(), QUIT);
}

TEST(ReplConversation, VerdictDriverSkipsTakenAndUnofferedEvents) {
    struct Case {
        std::string opening;
        Strings events;
        bool only_eligible;
        std::string sent;
    };
    const std::vector<Case> cases = {
        // The daemon went ahead by itself: taken steps are not sent, the counter still moves.
        {R"({"trace":{"trail":["a","<loop>","b"]}})", {"a", "b", "c"}, false, event_line("c")},
        {R"({"trace":{"trail":["a","x"]}})",
         {"a", "b", "<match>", "c"},
         false,
         event_line("b") + event_line("c")},
        {R"({"eligible":["b"]})", {"a", "b", "c"}, true, event_line("b")},
        {R"({"eligible":["b"]})", {"a", "b"}, false, event_line("a") + event_line("b")},
        {R"({"trace":{"trail":[]}})", {"<deadlock>", "<loop>"}, false, ""},
    };
    for (const auto& c : cases) {
        Daemon daemon({c.opening});
        auto drive =
            drive_repl_verdict(daemon.program, daemon.model, c.events, LONG, c.only_eligible);
        ASSERT_TRUE(drive) << drive.error();
        EXPECT_EQ(daemon.requests(), c.sent + QUIT) << c.opening;
    }
}

TEST(ReplConversation, VerdictDriverStopsAtBailOrVerdict) {
    struct Case {
        Strings replies;
        std::optional<std::string> bail;
        std::optional<std::string> verdict;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {{"{}", R"({"status":"error"})", R"({"status":"error","error":"late"})"},
         "error",
         {},
         event_line("a")},
        {{"{}", R"({"status":"ok","error":"render bailed: not yet rendered"})"},
         "render bailed: not yet rendered",
         {},
         event_line("a")},
        {{"{}", R"({"status":"verdict","error":"x.svk:1:1: error: <deadlock>"})"},
         {},
         "x.svk:1:1: error: <deadlock>",
         event_line("a")},
        {{R"({"status":"done","error":"v"})"}, {}, "v", ""},
    };
    for (const auto& c : cases) {
        Daemon daemon(c.replies);
        auto drive = drive_repl_verdict(daemon.program, daemon.model, {"a", "b"}, LONG, false);
        ASSERT_TRUE(drive) << drive.error();
        EXPECT_EQ(drive->bail, c.bail) << c.replies[1 % c.replies.size()];
        EXPECT_EQ(drive->verdict, c.verdict);
        EXPECT_EQ(daemon.requests(), c.sent + QUIT);
    }
}

TEST(ReplConversation, InteractiveDriverFeeding) {
    // Opening: "a" is offered; the daemon has already taken "x" and will take "later".
    Daemon daemon({
        R"({"ok":true,"stderr":[],"eligible":["a"],"trail":["x","<loop>","y","q","later"]})",
        R"({"ok":true,"stderr":[]})",                            // (state 1)
        R"({"ok":false,"stderr":[]})",                           // (state 2)
        R"({"ok":true,"stderr":[],"eligible":[]})",              // a
        R"({"ok":true,"stderr":[],"trail":["x","y","a","z"]})",  // z
        R"({"ok":true,"stderr":[]})",                            // w
    });
    auto drive = drive_repl_interactive(
        daemon.program, daemon.model,
        {"(state 1)", "x", "<deadlock>", "(state 2)", "a", "later", "z", "w", "(state 3)"}, LONG);
    ASSERT_TRUE(drive) << drive.error();
    // "x" is at its position and "later" further on: neither is sent. "z" and "w" are not
    // offered but sent all the same; only "w" stays out of the trail.
    EXPECT_EQ(daemon.requests(), event_line("(state 1)") + event_line("(state 2)") +
                                     event_line("a") + event_line("z") + event_line("w") +
                                     event_line("(state 3)") + QUIT);
    EXPECT_EQ(drive->confirmed, (Strings{"(state 1)", "(state 3)"}));
    EXPECT_EQ(drive->never_offered, Strings{"w"});
    EXPECT_EQ(drive->trail, (Strings{"x", "y", "a", "z"}));
    EXPECT_FALSE(drive->stderr_gap);
    EXPECT_FALSE(drive->bail);
    EXPECT_FALSE(drive->blocking);
}

TEST(ReplConversation, InteractiveDriverLaterAndBail) {
    Daemon daemon({
        R"({"stderr":[],"trail":["x","b"]})",
        R"({"stderr":[],"status":"error","error":"boom"})",
    });
    auto drive =
        drive_repl_interactive(daemon.program, daemon.model, {"b", "c", "d", "(state 1)"}, LONG);
    ASSERT_TRUE(drive) << drive.error();
    // "b" stands later in the trail: kept back. "c" is sent, bails, and nothing follows.
    EXPECT_EQ(daemon.requests(), event_line("c") + QUIT);
    EXPECT_EQ(drive->bail, "boom");
    EXPECT_EQ(drive->never_offered, Strings{"c"});
}

TEST(ReplConversation, InteractiveDriverOnALongTrail) {
    // Every event stands at the end of a long trail: kept back without a request, in time
    // linear in the trail for each event.
    const std::size_t length = 3000;
    std::string opening = R"({"stderr":[],"trail":[)";
    for (std::size_t i = 0; i < length; ++i) opening += "\"t" + std::to_string(i) + "\",";
    opening += R"("<deadlock>","end"]})";
    Daemon daemon({opening});
    auto drive = drive_repl_interactive(daemon.program, daemon.model, Strings(length, "end"), LONG);
    ASSERT_TRUE(drive) << drive.error();
    EXPECT_EQ(daemon.requests(), QUIT);
    EXPECT_EQ(drive->trail.size(), length + 2);
    EXPECT_TRUE(drive->never_offered.empty());
}

TEST(ReplConversation, MalformedRepliesNeverEndTheConversation) {
    Daemon daemon({"garbage", "[\"array\"]", "", R"({"trace":{"trail":["a"]},"trail":["t"]})"});
    auto verdict = drive_repl_verdict(daemon.program, daemon.model, {"a", "b", "c"}, LONG, false);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_EQ(verdict->trail, Strings{"a"});
    EXPECT_EQ(daemon.requests(), event_line("a") + event_line("b") + event_line("c") + QUIT);

    fs::remove(daemon.dir.path / "requests");
    auto interactive = drive_repl_interactive(daemon.program, daemon.model, {"a", "b", "c"}, LONG);
    ASSERT_TRUE(interactive) << interactive.error();
    EXPECT_EQ(interactive->stderr_gap, "envelope missing `stderr` field: [\"array\"]");
    EXPECT_EQ(interactive->trail, Strings{"t"});
}

TEST(ReplConversation, BlockingDaemon) {
    Daemon daemon;
    daemon.write("stderr", "warning: the \"blocking\" feature not supported yet\n");
    auto drive = drive_repl_interactive(daemon.program, daemon.model, {"a"}, LONG);
    ASSERT_TRUE(drive) << drive.error();
    EXPECT_TRUE(drive->blocking);
}

TEST(ReplConversation, SilentDaemonIsKilledAtTheDeadline) {
    for (const std::string opening : {"@hang", R"({"trace":{"trail":["t"]}})"}) {
        Daemon daemon({opening, "@hang"});
        auto start = std::chrono::steady_clock::now();
        auto drive = drive_repl_verdict(daemon.program, daemon.model, {"a", "b"}, SHORT, false);
        ASSERT_TRUE(drive) << drive.error();
        // Far below the minute the daemon would sleep: it was killed.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_FALSE(drive->verdict);
        expect_no_child();
    }
}

TEST(ReplConversation, PipesHeldByAnotherProcessDoNotHoldTheDriver) {
    // The daemon leaves a process behind, in a process group of its own so that the kill of the
    // daemon's group misses it, which keeps its output pipes open after it is killed.
    Daemon daemon({R"({"trace":{"trail":["t"]}})", "@hang"});
    daemon.write("by_request", request_for("a", R"({"trace":{"trail":["t","a"]}})"));
    fs::path script = daemon.program;
    std::string text = read_file(script);
    text.replace(text.find("exec 3<"), 0,
                 "perl -e 'setpgrp(0, 0); exec \"sleep\", \"60\"' & echo $! > \"$D/holder\"\n");
    write_file(script, text);
    auto drive = drive_repl_verdict(daemon.program, daemon.model, {"a", "b"}, SHORT, false);
    ASSERT_TRUE(drive) << drive.error();
    EXPECT_EQ(drive->trail, (Strings{"t", "a"}));
    // The driver came back while the pipes were still held.
    const auto holder = static_cast<pid_t>(std::stol(daemon.file("holder")));
    EXPECT_EQ(::kill(holder, SIGKILL), 0);
    expect_no_child();
}

TEST(ReplConversation, DaemonThatExitsAtOnce) {
    TempDir dir;
    auto program = dir.path / "kestrin";
    write_file(program, "#!/bin/sh\nexit 3\n");
    fs::permissions(program, fs::perms::owner_all);
    auto model = bare_model(dir.path);
    Strings events(200, std::string(1000, 'e'));  // more than a pipe holds
    auto verdict = drive_repl_verdict(program, model, events, LONG, false);
    ASSERT_TRUE(verdict) << verdict.error();
    EXPECT_FALSE(verdict->verdict);
    auto interactive = drive_repl_interactive(program, model, events, LONG);
    ASSERT_TRUE(interactive) << interactive.error();
    EXPECT_TRUE(interactive->trail.empty());
    EXPECT_FALSE(interactive->stderr_gap);
    expect_no_child();
}

TEST(ReplConversation, DaemonThatCannotStart) {
    TempDir dir;
    auto model = bare_model(dir.path);
    auto missing = drive_repl_verdict(dir.path / "absent", model, {"a"}, LONG, false);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "spawn: No such file or directory");
    write_file(dir.path / "plain", "not a program\n");
    auto denied = drive_repl_interactive(dir.path / "plain", model, {"a"}, LONG);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.error(), "spawn: Permission denied");
    expect_no_child();
}

TEST(ReplConversation, NothingOutlivesADriver) {
    auto task_count = [] {
        std::error_code error;
        auto tasks = fs::directory_iterator("/proc/self/task", error);
        return error ? -1 : static_cast<int>(std::distance(tasks, fs::directory_iterator()));
    };
    if (task_count() < 0) GTEST_SKIP() << "no /proc/self/task to count threads";
    // A sanitizer may start a helper thread of its own with the first thread; let it do so now.
    std::thread([] {}).join();
    int before = task_count();
    Daemon daemon;
    ASSERT_TRUE(drive_repl_interactive(daemon.program, daemon.model, {"a"}, LONG));
    EXPECT_EQ(task_count(), before);
}

TEST(ReplConversation, AnOutputPastItsCapEndsTheConversation) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"yes | tr -d '\\n'", "a reply line passed its cap of 16 MiB"},
        {"echo '{}'; exec yes >&2", "standard error passed its cap of 256 MiB"},
    };
    for (const auto& [script, message] : cases) {
        TempDir dir;
        auto program = dir.path / "kestrin";
        write_file(program, "#!/bin/sh\n" + script + "\n");
        fs::permissions(program, fs::perms::owner_all);
        auto drive = drive_repl_interactive(program, bare_model(dir.path), {"a"}, LONG);
        ASSERT_FALSE(drive) << script;
        EXPECT_EQ(drive.error(), message);
        expect_no_child();
    }
}

// ---- The batch render ----

TEST(ReplQuitParity, BatchRenderOutcomes) {
    Daemon daemon;
    daemon.write("batch_out", "(state 9)\n(trail \"a\" \"b\" \"<deadlock>\")\n");
    EXPECT_EQ(repl_quit_parity(daemon.program, daemon.model, {"(state 1)"}, {"a", "b"}, LONG),
              std::nullopt);
    EXPECT_EQ(daemon.file("batch_stdin"), "(state 1)\na\nb\n");
    EXPECT_EQ(repl_quit_parity(daemon.program, daemon.model, {}, {"a"}, LONG),
              R"(batch trail ["a", "b"] != repl trail ["a"])");
    EXPECT_EQ(repl_quit_parity(daemon.program, daemon.model, {}, {}, LONG),
              R"(batch trail ["a", "b"] != repl trail [])");
    EXPECT_EQ(daemon.file("batch_stdin"), "\n");

    daemon.write("batch_exit", "2");
    daemon.write("batch_stderr", "first problem\nsecond\n");
    EXPECT_EQ(repl_quit_parity(daemon.program, daemon.model, {}, {"a", "b"}, LONG),
              "batch render of the repl trail failed (exit 2): first problem");
    daemon.write("batch_sleep", "");
    EXPECT_EQ(repl_quit_parity(daemon.program, daemon.model, {}, {"a"}, SHORT),
              "batch render of the repl trail timed out");
    EXPECT_EQ(repl_quit_parity(daemon.dir.path / "absent", daemon.model, {}, {"a"}, LONG),
              "batch render of the repl trail timed out");
}

// ---- The passes ----

struct PassCase {
    std::string name{};
    Strings replies{};
    std::string golden = "(state 0)\n(trail \"a\" \"b\" \"<deadlock>\")\n";
    std::string by_request{};
    Strings diverged{};
    Strings gaps{};
    std::size_t passed = 0;
    Strings notes{};
};

// A model with trace 7 ("a", "b") and its golden, driven by the scripted daemon.
struct PassFixture {
    Daemon daemon;
    ReplTrace trace;

    explicit PassFixture(const PassCase& c) : daemon(c.replies) {
        trace = {"7", daemon.model.dir / "trace.7", daemon.model.dir / "baseline" / "simulate.7"};
        write_file(trace.trace, "a\n\n  b  \n");
        write_file(trace.golden, c.golden);
        if (!c.by_request.empty()) daemon.write("by_request", c.by_request);
    }
};

Strings notes_of(const ReplTraceOut& out) {
    Strings notes;
    for (const auto& record : out.log) notes.push_back(std::get<log::Note>(record).text);
    return notes;
}

void expect_outcome(const ReplTraceOut& out, const PassCase& c) {
    EXPECT_EQ(out.tally.diverged, c.diverged) << c.name;
    EXPECT_EQ(out.tally.expected_gaps, c.gaps) << c.name;
    EXPECT_EQ(out.tally.passed, c.passed) << c.name;
    EXPECT_EQ(notes_of(out), c.notes) << c.name;
    EXPECT_EQ(out.tally.elapsed, Duration::zero()) << c.name;
    EXPECT_FALSE(out.tally.timed_out) << c.name;
}

const std::string VERDICT_REPLY =
    R"({"status":"verdict","error":"m.svk:1:1: error: <deadlock>","stderr":[]})";
const std::string DEFAULT_REASON = "interactive driver did not surface the verdict (choice/async)";

TEST(ReplVerdictPass, Outcomes) {
    const std::vector<PassCase> cases = {
        {.name = "surfaced",
         .replies = {"{}", "{}", VERDICT_REPLY},
         .passed = 1,
         .notes = {"repl-verdict trace.7 → verdict surfaced"}},
        {.name = "listed and surfaced",
         .replies = {"{}", "{}", VERDICT_REPLY},
         .diverged = {"7(repl-verdict XPASS — remove trace.7 from "
                      "simulate-repl.interactive.xfail)"},
         .notes = {"repl-verdict trace.7 XPASS: now surfaces — remove from "
                   "simulate-repl.interactive.xfail"}},
        {.name = "never surfaced",
         .replies = {"{}"},
         .diverged = {"7(repl-verdict gap: " + DEFAULT_REASON + ")"},
         .notes = {"repl-verdict trace.7 UNLISTED GAP: " + DEFAULT_REASON}},
        {.name = "listed gap with the second run's bail",
         .replies = {R"({"eligible":["b"]})"},
         .by_request = request_for("a", R"({"status":"error","error":"first says no"})") +
                       request_for("b", R"({"status":"error","error":"second says no"})"),
         .gaps = {"7"},
         .notes = {"repl-verdict trace.7 expected gap: second says no"}},
        {.name = "only the offered steps surface it",
         .replies = {R"({"eligible":["b"]})"},
         .by_request = request_for("a", "@exit") + request_for("b", VERDICT_REPLY),
         .passed = 1,
         .notes = {"repl-verdict trace.7 → verdict surfaced"}},
        {.name = "forward deduction",
         .replies = {"{}", R"({"status":"error","error":"step not yet rendered"})"},
         .diverged = {"7(repl-verdict forward-deduction bail: step not yet rendered)"},
         .notes = {"repl-verdict trace.7 FORWARD-DEDUCTION BAIL: step not yet rendered"}},
        {.name = "no verdict in the golden", .replies = {"{}"}, .golden = "(trail \"a\" \"b\")\n"},
        {.name = "match golden", .replies = {"{}"}, .golden = "(trail \"a\" \"b\" \"<match>\")\n"},
    };
    for (const auto& c : cases) {
        PassFixture fixture(c);
        std::set<std::string> listed;
        if (c.name.starts_with("listed")) listed = {"7"};
        auto out = repl_verdict_pass(fixture.trace,
                                     {fixture.daemon.program, fixture.daemon.model, LONG}, listed);
        expect_outcome(out, c);
    }
}

TEST(ReplVerdictPass, FailuresOfTheRun) {
    PassCase c{.name = "blocking"};
    PassFixture blocking(c);
    blocking.daemon.write("stderr", "\"blocking\" feature not support\n");
    expect_outcome(repl_verdict_pass(blocking.trace,
                                     {blocking.daemon.program, blocking.daemon.model, LONG}, {}),
                   c);

    PassFixture broken(c);
    auto out = repl_verdict_pass(
        broken.trace, {broken.daemon.dir.path / "absent", broken.daemon.model, LONG}, {});
    expect_outcome(out, {.name = "no daemon",
                         .diverged = {"7(repl-verdict drive:spawn: No such file or directory)"},
                         .notes = {"repl-verdict trace.7 drive error: spawn: No such file or "
                                   "directory"}});

    fs::remove(broken.trace.trace);
    out = repl_verdict_pass(broken.trace, {broken.daemon.program, broken.daemon.model, LONG}, {});
    expect_outcome(
        out, {.name = "no trace", .diverged = {"7(repl-verdict read:No such file or directory)"}});
}

// Replies of a daemon that reconstructs "a", "b" (with the verdict when `verdict` is set).
Strings reconstructing(bool verdict) {
    std::string last = verdict ? R"({"status":"verdict","error":"m.svk:1:1: error: <deadlock>",)"
                                 R"("stderr":["m.svk:1:1: error: <deadlock>"],)"
                                 R"("trail":["a","b","<deadlock>"]})"
                               : R"({"stderr":[],"trail":["a","b"]})";
    return {R"({"stderr":[],"eligible":["a","b"],"trail":[]})", R"({"stderr":[],"trail":["a"]})",
            last};
}

TEST(ReplDaemonPass, Outcomes) {
    const std::string plain = "(trail \"a\" \"b\")\n";
    const std::vector<PassCase> cases = {
        {.name = "verdict golden",
         .replies = reconstructing(true),
         .passed = 1,
         .notes = {"repl-daemon trace.7 → ok"}},
        {.name = "star ok",
         .replies = reconstructing(true),
         .passed = 1,
         .notes = {"repl-daemon trace.7 → ok (under * marker)"}},
        {.name = "listed ok",
         .replies = reconstructing(true),
         .diverged = {"7(repl-daemon XPASS — remove trace.7 from repl-daemon.xfail)"},
         .notes = {"repl-daemon trace.7 XPASS: now reconstructs — remove from repl-daemon.xfail"}},
        {.name = "trail gap",
         .replies = {R"({"stderr":[],"eligible":["a","b"]})", R"({"stderr":[],"trail":["a","q"]})",
                     R"({"stderr":[],"trail":["a","q"]})"},
         .diverged = {R"(7(repl-daemon trail ["a", "q"] != golden ["a", "b"]))"},
         .notes = {R"(repl-daemon trace.7 GAP: trail ["a", "q"] != golden ["a", "b"])"}},
        {.name = "star eligible gap",
         .replies = {R"({"stderr":[],"eligible":["a"]})", R"({"stderr":[],"trail":["a"]})"},
         .gaps = {"7"},
         .notes =
             {R"(repl-daemon trace.7 expected gap: eligible gap: ["b"] never offered/produced)"}},
        {.name = "listed bail",
         .replies = {R"({"stderr":[],"status":"error"})"},
         .gaps = {"7"},
         .notes = {"repl-daemon trace.7 expected gap: bail: error"}},
        {.name = "forward deduction under star",
         .replies = {R"({"stderr":[],"error":"render bailed: not yet rendered"})"},
         .diverged = {"7(repl-daemon forward-deduction bail: render bailed: not yet rendered)"},
         .notes = {"repl-daemon trace.7 FORWARD-DEDUCTION BAIL: render bailed: not yet rendered"}},
        {.name = "star envelope",
         .replies = {R"({"eligible":["a","b"]})"},
         .diverged =
             {R"(7(repl-daemon stderr-field: envelope missing `stderr` field: {"eligible":["a","b"]}))"},
         .notes =
             {R"(repl-daemon trace.7 STDERR-FIELD GAP: envelope missing `stderr` field: {"eligible":["a","b"]})"}},
        {.name = "parity ok",
         .replies = reconstructing(false),
         .golden = plain,
         .passed = 1,
         .notes = {"repl-daemon trace.7 → ok"}},
        {.name = "star parity differs",
         .replies = reconstructing(false),
         .golden = plain,
         .diverged = {R"(7(repl-quit-parity batch trail ["a"] != repl trail ["a", "b"]))"},
         .notes =
             {R"(repl-quit-parity trace.7 DIVERGE: batch trail ["a"] != repl trail ["a", "b"])"}},
        {.name = "match golden", .replies = {"[]"}, .golden = "(trail \"a\" \"<match>\")\n"},
        {.name = "golden without trail", .replies = {"[]"}, .golden = "(state 1)\n"},
    };
    for (const auto& c : cases) {
        PassFixture fixture(c);
        fixture.daemon.write("batch_out", c.name.find("differs") != std::string::npos
                                              ? "(trail \"a\")\n"
                                              : "(trail \"a\" \"b\")\n");
        bool star = c.name.starts_with("star") || c.name.find("under star") != std::string::npos;
        std::set<std::string> listed;
        if (c.name.starts_with("listed")) listed = {"7"};
        auto out = repl_daemon_pass(
            fixture.trace, {fixture.daemon.program, fixture.daemon.model, LONG}, star, listed);
        expect_outcome(out, c);
        EXPECT_EQ(out.tally.star_ok, c.name == "star ok" ? 1u : 0u) << c.name;
        EXPECT_EQ(out.tally.star_gaps, c.name == "star eligible gap" ? 1u : 0u) << c.name;
    }
}

TEST(ReplDaemonPass, ExcusedGoldensAndFailuresOfTheRun) {
    PassCase c{.name = "excused"};
    PassFixture excused(c);
    write_file(excused.trace.golden.string() + ".judge", "nondet\n");
    auto out = repl_daemon_pass(
        excused.trace, {excused.daemon.dir.path / "absent", excused.daemon.model, LONG}, false, {});
    expect_outcome(out, {.name = "excused",
                         .passed = 1,
                         .notes = {"repl-daemon trace.7 → excused (golden artifact / nondet)"}});

    PassFixture broken(c);
    out = repl_daemon_pass(
        broken.trace, {broken.daemon.dir.path / "absent", broken.daemon.model, LONG}, true, {});
    expect_outcome(out, {.name = "no daemon",
                         .diverged = {"7(repl-daemon drive:spawn: No such file or directory)"},
                         .notes = {"repl-daemon trace.7 drive error: spawn: No such file or "
                                   "directory"}});

    broken.daemon.write("stderr", "\"blocking\" feature not support");
    out = repl_daemon_pass(broken.trace, {broken.daemon.program, broken.daemon.model, LONG}, false,
                           {});
    expect_outcome(out, {.name = "blocking"});

    fs::remove(broken.trace.trace);
    out = repl_daemon_pass(broken.trace, {broken.daemon.program, broken.daemon.model, LONG}, false,
                           {});
    expect_outcome(
        out, {.name = "no trace", .diverged = {"7(repl-daemon read:No such file or directory)"}});
}

}  // namespace

// ---- The passes against the kestrin stand-in ----

struct StandinModel {
    tolvern::testing::Corpus corpus;
    model::Model model;

    explicit StandinModel(std::string_view name) {
        model.dir = corpus.model(name);
        model.name = name;
        model.display = "test-models/" + std::string(name) + "/" + std::string(name) + ".svk";
        model.workdir = corpus.root;
    }

    ReplTrace trace(std::string_view x, std::string_view events, std::string_view golden) const {
        ReplTrace trace{std::string(x), model.dir / ("trace." + std::string(x)),
                        model.dir / "baseline" / ("simulate." + std::string(x))};
        write_file(trace.trace, events);
        write_file(trace.golden, golden);
        return trace;
    }
};

TEST(ReplPassesWithStandin, WalkedTraces) {
    if (!fs::exists(tolvern::testing::KESTRIN_STANDIN)) GTEST_SKIP() << "no kestrin stand-in";
    const auto& kestrin = tolvern::testing::KESTRIN_STANDIN;
    StandinModel m("lbs_walk");
    auto verdict =
        m.trace("1", "a\n<deadlock>\nb\n", "(state)\n(trail \"a\" \"b\" \"<deadlock>\")\n");
    auto plain = m.trace("2", "(state 0)\na\nc\n", "(trail \"a\" \"c\")\n");
    auto wrong = m.trace("3", "a\nd\n", "(trail \"a\" \"e\" \"<illegal>\")\n");

    auto out = repl_verdict_pass(verdict, {kestrin, m.model, LONG}, {});
    expect_outcome(
        out,
        {.name = "verdict 1", .passed = 1, .notes = {"repl-verdict trace.1 → verdict surfaced"}});
    out = repl_verdict_pass(plain, {kestrin, m.model, LONG}, {});
    expect_outcome(out, {.name = "verdict 2"});
    out = repl_verdict_pass(wrong, {kestrin, m.model, LONG}, {"3"});
    expect_outcome(out, {.name = "verdict 3",
                         .diverged = {"3(repl-verdict XPASS — remove trace.3 from "
                                      "simulate-repl.interactive.xfail)"},
                         .notes = {"repl-verdict trace.3 XPASS: now surfaces — remove from "
                                   "simulate-repl.interactive.xfail"}});

    out = repl_daemon_pass(verdict, {kestrin, m.model, LONG}, false, {});
    expect_outcome(out, {.name = "daemon 1", .passed = 1, .notes = {"repl-daemon trace.1 → ok"}});
    out = repl_daemon_pass(plain, {kestrin, m.model, LONG}, false, {});
    expect_outcome(out, {.name = "daemon 2", .passed = 1, .notes = {"repl-daemon trace.2 → ok"}});
    out = repl_daemon_pass(wrong, {kestrin, m.model, LONG}, false, {});
    expect_outcome(
        out, {.name = "daemon 3",
              .diverged = {R"(3(repl-daemon trail ["a", "d"] != golden ["a", "e"]))"},
              .notes = {R"(repl-daemon trace.3 GAP: trail ["a", "d"] != golden ["a", "e"])"}});

    // A batch render that disagrees with the daemon fails the trace even under the `*` marker.
    write_file(m.model.dir / "standin" / "simulate.2.stdout", "(trail \"a\")\n");
    out = repl_daemon_pass(plain, {kestrin, m.model, LONG}, true, {});
    expect_outcome(
        out,
        {.name = "daemon parity",
         .diverged = {R"(2(repl-quit-parity batch trail ["a"] != repl trail ["a", "c"]))"},
         .notes = {
             R"(repl-quit-parity trace.2 DIVERGE: batch trail ["a"] != repl trail ["a", "c"])"}});
    expect_no_child();
}

TEST(ReplPassesWithStandin, ScriptedDaemonThatHangs) {
    if (!fs::exists(tolvern::testing::KESTRIN_STANDIN)) GTEST_SKIP() << "no kestrin stand-in";
    const auto& kestrin = tolvern::testing::KESTRIN_STANDIN;
    StandinModel m("hang");
    auto trace = m.trace("1", "a\nb\n", "(trail \"a\" \"b\" \"<deadlock>\")\n");
    write_file(m.model.dir / "standin" / "repl.jsonl",
               "{\"stderr\":[],\"trail\":[\"a\"],\"trace\":{\"trail\":[\"a\"]}}\n@hang\n");

    const std::string reason = "interactive driver did not surface the verdict (choice/async)";
    const std::string killed = "daemon killed at its time limit of 1 s";
    auto out = repl_verdict_pass(trace, {kestrin, m.model, SHORT}, {"1"});
    expect_outcome(out, {.name = "verdict",
                         .gaps = {"1"},
                         .notes = {"repl-verdict trace.1 first run: " + killed,
                                   "repl-verdict trace.1 second run: " + killed,
                                   "repl-verdict trace.1 expected gap: " + reason}});
    out = repl_daemon_pass(trace, {kestrin, m.model, SHORT}, false, {});
    expect_outcome(out,
                   {.name = "daemon",
                    .diverged = {R"(1(repl-daemon trail ["a"] != golden ["a", "b"]))"},
                    .notes = {"repl-daemon trace.1 " + killed,
                              R"(repl-daemon trace.1 GAP: trail ["a"] != golden ["a", "b"])"}});
    expect_no_child();
}
