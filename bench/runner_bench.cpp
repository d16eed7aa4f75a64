// Benchmarks of the tool runner against bare process starts: the cost of one short run, the
// throughput of capturing a large output, and the CPU the polling caller spends on a long child.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runner.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tolvern::runner::Invocation;

constexpr std::size_t BIG_SIZE = 256u << 20;

// A 256 MiB file in $TMPDIR, made once and removed at exit.
const std::string& big_file() {
    static const std::string path = [] {
        auto file = std::filesystem::temp_directory_path() / "tolvern-bench-256m";
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, 'x');
        for (std::size_t i = 0; i < block.size(); i += 80) block[i] = '\n';
        for (std::size_t done = 0; done < BIG_SIZE; done += block.size()) out << block;
        std::atexit([] {
            std::filesystem::remove(std::filesystem::temp_directory_path() / "tolvern-bench-256m");
        });
        return file.string();
    }();
    return path;
}

// posix_spawn and a blocking wait, output to the null device: the least a process start costs.
void spawn_and_wait(const char* program, std::vector<const char*> args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), program);
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, program, &actions, nullptr, const_cast<char**>(args.data()), environ) !=
        0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    int status;
    waitpid(pid, &status, 0);
}

// fork, execve and a blocking wait: the same start as the runner's, without pipes or threads.
void fork_and_wait(const char* program) {
    pid_t pid = fork();
    if (pid == 0) {
        char* argv[] = {const_cast<char*>(program), nullptr};
        execve(program, argv, environ);
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename F>
double micros_of(F&& step) {
    auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

// One run of true through the runner, then one by each bare start, in turn, so that a change in
// the machine's load hits all three alike; the medians and their ratios are the figures.
void BM_TrueRunnerAgainstBare(benchmark::State& state) {
    Invocation invocation{"/bin/true", {}, {}, std::nullopt, std::nullopt, 60s};
    std::vector<double> runner, forked, spawned;
    for (auto _ : state) {
        runner.push_back(
            micros_of([&] { benchmark::DoNotOptimize(tolvern::runner::run(invocation)); }));
        forked.push_back(micros_of([] { fork_and_wait("/bin/true"); }));
        spawned.push_back(micros_of([] { spawn_and_wait("/bin/true", {}); }));
    }
    state.counters["runner_us"] = median(runner);
    state.counters["fork_exec_us"] = median(forked);
    state.counters["posix_spawn_us"] = median(spawned);
    state.counters["ratio_fork"] = median(runner) / median(forked);
    state.counters["ratio_spawn"] = median(runner) / median(spawned);
}

void BM_RunnerCapture256M(benchmark::State& state) {
    Invocation invocation{"/bin/cat", {big_file()}, {}, std::nullopt, std::nullopt, 600s};
    for (auto _ : state) {
        auto outcome = tolvern::runner::run(invocation);
        if (std::get<tolvern::runner::Exited>(outcome).stdout_text.size() != BIG_SIZE)
            state.SkipWithError("short capture");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BIG_SIZE));
}

void BM_CatToDevNull256M(benchmark::State& state) {
    for (auto _ : state) spawn_and_wait("/bin/cat", {big_file().c_str()});
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BIG_SIZE));
}

// The same bytes through a pipe into a second cat: what the pipe alone allows.
void BM_CatThroughPipe256M(benchmark::State& state) {
    std::string script = "cat '" + big_file() + "' | cat";
    for (auto _ : state) spawn_and_wait("/bin/sh", {"-c", script.c_str()});
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BIG_SIZE));
}

double thread_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The wall time is the child's second; what matters is the caller's own CPU time.
void BM_RunnerSleepOneSecond(benchmark::State& state) {
    Invocation invocation{"/bin/sleep", {"1"}, {}, std::nullopt, std::nullopt, 60s};
    double cpu = 0;
    for (auto _ : state) {
        double before = thread_cpu_seconds();
        benchmark::DoNotOptimize(tolvern::runner::run(invocation));
        cpu += thread_cpu_seconds() - before;
    }
    state.counters["caller_cpu_ms"] =
        benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_TrueRunnerAgainstBare)->Iterations(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunnerCapture256M)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CatToDevNull256M)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CatThroughPipe256M)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunnerSleepOneSecond)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
