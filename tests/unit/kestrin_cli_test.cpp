// kestrin's command lines, operation by operation, pinned byte for byte: for a model with every
// META option set and for one with none.
#include "category/kestrin_cli.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "category/common.hpp"

namespace tolvern::category {
namespace {

namespace fs = std::filesystem;

// Model directories relative to kestrin's working directory, which is this process's, as
// discovery gives them for a corpus below it.
model::Model corpus_model(const std::string& name) {
    model::Model model;
    model.name = name;
    model.dir = "test-models/" + name;
    model.display = "test-models/" + name + "/" + name + ".svk";
    model.workdir = fs::current_path();
    return model;
}

TEST(PushQueueArgs, AppendsOnlyTheSetValuesInOrder) {
    meta::MetaConfig meta;
    std::vector<std::string> args = {"lts"};
    push_queue_args(args, meta);
    EXPECT_EQ(args, std::vector<std::string>{"lts"});

    meta.queue_size_external = 2;
    push_queue_args(args, meta);
    EXPECT_EQ(args, (std::vector<std::string>{"lts", "--queue-size-external", "2"}));

    meta.queue_size = 4294967295u;
    meta.queue_size_defer = 0;
    args.clear();
    push_queue_args(args, meta);
    EXPECT_EQ(args, (std::vector<std::string>{"-q", "4294967295", "--queue-size-defer", "0",
                                              "--queue-size-external", "2"}));
}

TEST(KestrinCli, EveryOperationsArguments) {
    auto relay = corpus_model("lbs_relay");
    relay.meta.queue_size = 4;
    relay.meta.queue_size_defer = 0;
    relay.meta.queue_size_external = 2;
    relay.meta.skip_wfc = true;
    const auto door = corpus_model("door");
    const std::string relay_svk = "test-models/lbs_relay/lbs_relay.svk";
    const std::string door_svk = "test-models/door/door.svk";
    const std::vector<fs::path> imports = {"/opt/vorlan", "/opt/vorlan/shared"};
    const std::vector<fs::path> relative_import = {"vorlan"};
    const fs::path traces = "/out/selfcheck/door/traces";

    const Args queue = {"-q", "4", "--queue-size-defer", "0", "--queue-size-external", "2"};
    auto with = [](Args args, const Args& more, const std::string& last) {
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(last);
        return args;
    };
    struct Case {
        const char* operation;
        Args args;
        Args expected;
    };
    const Case cases[] = {
        {"parse", parse_args(relay.display), {"parse", relay_svk}},
        {"lts", lts_args(door, std::nullopt), {"lts", "--full-lts", "-m", "door", door_svk}},
        {"lts, META", lts_args(relay, std::nullopt),
         with({"-p", "lts", "--full-lts", "-m", "relay"}, queue, relay_svk)},
        {"lts, threads", lts_args(relay, 3),
         with({"--threads=3", "-p", "lts", "--full-lts", "-m", "relay"}, queue, relay_svk)},
        {"lts, imports",
         lts_args(door, std::nullopt, imports),
         {"lts", "--full-lts", "-m", "door", "-I", "/opt/vorlan", "-I", "/opt/vorlan/shared",
          door_svk}},
        {"lts, META and imports", lts_args(relay, std::nullopt, imports),
         with({"-p", "lts", "--full-lts", "-m", "relay", "-I", "/opt/vorlan", "-I",
               "/opt/vorlan/shared"},
              queue, relay_svk)},
        {"lts, relative import",
         lts_args(door, std::nullopt, relative_import),
         {"lts", "--full-lts", "-m", "door", "-I", path_arg(fs::current_path() / "vorlan"),
          door_svk}},
        {"verify",
         verify_args(door),
         {"-v", "verify", "-k", "--full-lts", "-I", "test-models/door", "-m", "door", door_svk}},
        {"verify, META", verify_args(relay),
         with({"-v", "verify", "-k", "--full-lts", "-I", "test-models/lbs_relay", "-m", "relay"},
              queue, relay_svk)},
        {"simulate", simulate_args(relay), {"simulate", "-m", "relay", relay_svk}},
        {"trace", trace_args(), {"trace"}},
        {"traces",
         traces_args(door, traces),
         {"traces", "-m", "door", "--defer-origin", "-o", "/out/selfcheck/door/traces", door_svk}},
        {"repl",
         repl_args(relay, false),
         {"--output", "json", "simulate", "--repl", "-m", "relay", relay_svk}},
        {"repl, flush",
         repl_args(relay, true),
         {"--output", "json", "simulate", "--repl", "--flush", "-m", "relay", relay_svk}},
        {"check-trace",
         check_trace_args(relay, relay.dir / "trace.1"),
         {"simulate", "--check-trace", "test-models/lbs_relay/trace.1", "-m", "relay", relay_svk}},
        {"check-trace, generated",
         check_generated_trace_args(door, traces / "t1"),
         {"simulate", "-m", "door", "--defer-any-order", "--defer-origin", "--check-trace",
          "/out/selfcheck/door/traces/t1", door_svk}},
        {"inspect-ports",
         inspect_ports_args(relay),
         {"inspect-ports", "--output", "json", "-m", "relay", relay_svk}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.args, c.expected) << c.operation;
}

TEST(KestrinCli, RunsInTheModelsRootIsolatedWithoutInput) {
    const auto model = corpus_model("door");
    const fs::path kestrin = "/bin/kestrin";
    const auto timeout = std::chrono::seconds(7);
    for (const auto& invocation :
         {kestrin_invocation(kestrin, model, trace_args(), timeout),
          check_trace_invocation(kestrin, model, model.dir / "trace.1", timeout)}) {
        EXPECT_EQ(invocation.program, kestrin);
        EXPECT_EQ(invocation.env, isolated_env());
        EXPECT_EQ(invocation.cwd, model.workdir);
        EXPECT_FALSE(invocation.stdin_bytes);
        EXPECT_EQ(invocation.timeout, timeout);
    }
    EXPECT_EQ(check_trace_invocation(kestrin, model, model.dir / "trace.1", timeout).args,
              check_trace_args(model, model.dir / "trace.1"));
}

}  // namespace
}  // namespace tolvern::category
