// Benchmarks of the comparator module: .aut label normalisation, from file to file and in memory,
// against a plain copy at three sizes (rates should match across sizes), and one comparison of
// two large equal systems through the comparator stand-in. bench/comparator.md says how to run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "comparator.hpp"
#include "files.hpp"

namespace {

namespace fs = std::filesystem;

fs::path work_dir() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "comparator-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return fs::path(pattern);
    }();
    return dir;
}

void write(const fs::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        std::abort();
    std::fclose(file);
}

// An .aut text of about `megabytes` MB whose labels mix every rewrite rule with plain actions.
fs::path generated_aut(std::size_t megabytes) {
    auto path = work_dir() / ("labels-" + std::to_string(megabytes) + ".aut");
    if (fs::exists(path)) return path;
    static const std::vector<std::string> labels = {
        "p.send(1)",       "q.recv(true)",   "tag(12,345)",           "tag( 1 , 2 )", "ch.qout.msg",
        "port.<external>", "m.<state>(x=1)", "<declarative-illegal>", "b.<flush>",    "tau",
    };
    std::mt19937_64 random(megabytes);
    std::string text = "des (0, 0, 1000000)\r\n";
    text.reserve(megabytes << 20);
    while (text.size() < (megabytes << 20)) {
        text += "(" + std::to_string(random() % 1000000) + ", \"" + labels[random() % 10] + "\", " +
                std::to_string(random() % 1000000) + ")\n";
    }
    write(path, text);
    return path;
}

void copy_through(benchmark::State& state, bool normalize) {
    auto in = generated_aut(static_cast<std::size_t>(state.range(0)));
    auto out = work_dir() / "out.aut";
    for (auto _ : state) {
        auto bytes = tolvern::files::read_bytes(in);
        write(out, normalize ? tolvern::comparator::tau_normalize(*bytes) : *bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(in)));
}

void BM_ReadWrite(benchmark::State& state) {
    copy_through(state, false);
}
void BM_TauNormalize(benchmark::State& state) {
    copy_through(state, true);
}

void BM_TauNormalizeInMemory(benchmark::State& state) {
    auto bytes =
        tolvern::files::read_bytes(generated_aut(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(tolvern::comparator::tau_normalize(*bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes->size()));
}

BENCHMARK(BM_ReadWrite)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TauNormalize)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TauNormalizeInMemory)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

// A deterministic system (every state offers 10 of 40 actions) and the same one renumbered and
// with its transitions shuffled.
void write_equal_pair(const fs::path& first, const fs::path& second, std::uint32_t states) {
    constexpr std::uint32_t per_state = 10;
    std::mt19937_64 random(7);
    std::vector<std::uint32_t> rename(states);
    std::iota(rename.begin(), rename.end(), 0u);
    std::shuffle(rename.begin(), rename.end(), random);
    struct Transition {
        std::uint32_t source, action, target;
    };
    std::vector<Transition> transitions;
    std::vector<std::uint32_t> actions(40);
    std::iota(actions.begin(), actions.end(), 0u);
    for (std::uint32_t s = 0; s < states; ++s) {
        std::shuffle(actions.begin(), actions.end(), random);
        for (std::uint32_t k = 0; k < per_state; ++k)
            transitions.push_back({s, actions[k], static_cast<std::uint32_t>(random() % states)});
    }
    auto text_of = [&](bool renamed) {
        auto id = [&](std::uint32_t s) { return std::to_string(renamed ? rename[s] : s); };
        std::string text = "des (" + id(0) + ", " + std::to_string(transitions.size()) + ", " +
                           std::to_string(states) + ")\n";
        for (const auto& t : transitions)
            text += "(" + id(t.source) + ", \"act" + std::to_string(t.action) + "\", " +
                    id(t.target) + ")\n";
        return text;
    };
    write(first, text_of(false));
    std::shuffle(transitions.begin(), transitions.end(), random);
    write(second, text_of(true));
}

void BM_StandinEqualSystems(benchmark::State& state) {
    const char* standin = std::getenv("LTSCOMPARE");
    fs::path program = standin != nullptr ? standin : "build/standins/ltscompare";
    auto first = work_dir() / "first.aut", second = work_dir() / "second.aut";
    write_equal_pair(first, second, static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        auto run = tolvern::comparator::ltscompare_one(program, first, second, "",
                                                       work_dir() / "ce", std::chrono::minutes(10));
        if (run.verdict != tolvern::comparator::CompareVerdict::Holds) {
            state.SkipWithError(("not equal: " + run.stdout_text + run.stderr_text).c_str());
            break;
        }
    }
}

BENCHMARK(BM_StandinEqualSystems)
    ->Arg(100000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(work_dir(), ignored);
}
