// Throughput of the golden judge on large outputs: normalisation alone and a whole judgement,
// over texts of many short lines and of a few very long ones, at 1, 10 and 50 MB. The
// complexity fit shows whether time grows linearly with the size of the text.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "render/judge.hpp"

namespace {

namespace judge = kestrin::render::judge;

constexpr std::size_t MB = std::size_t{1} << 20;

// One line of every kind the normaliser treats specially, and some it leaves alone. `variant`
// changes a state value, as a second run of a non-deterministic model would.
std::string short_line(std::size_t i, bool variant) {
    auto n = std::to_string(variant && i % 7 == 0 ? i + 1 : i);
    switch (i % 6) {
        case 0: return "(state sys.client.port:Idle (svk_tmp " + n + " 2) count=" + n + " *q*)";
        case 1: return "(eligible send.c recv.b tick.a step." + n + ")";
        case 2: return "  client.send -> server.recv  ";
        case 3: return "error: //tmp//models//m" + n + ".svk: unexpected token";
        case 4: return "(trail step." + n + " \"<match>\")";
        default: return "plain output line \u00e9\u00e8 " + n + "\u00a0";
    }
}

std::string many_short_lines(std::size_t size, bool variant) {
    std::string text;
    text.reserve(size + 128);
    for (std::size_t i = 0; text.size() < size; ++i) {
        text += short_line(i, variant);
        text += i % 2 ? "\r\n" : "\n";
    }
    return text;
}

// Four lines of a quarter of the size each, each built from one repeated fragment.
std::string few_long_lines(std::size_t size, bool variant) {
    const std::string fragments[] = {
        " sys.client.port:Idle (svk_tmp 1 2) v=3",
        variant ? " tick.b send.a" : " send.a tick.b",
        " a//b -> c",
        " error: //x//y",
    };
    const std::string heads[] = {"(state", "(eligible", "", ""};
    std::string text;
    text.reserve(size + 128);
    for (std::size_t k = 0; k < 4; ++k) {
        text += heads[k];
        while (text.size() < (k + 1) * size / 4) text += fragments[k];
        text += '\n';
    }
    return text;
}

template <std::string (*Make)(std::size_t, bool)>
void bm_normalize(benchmark::State& state) {
    auto size = static_cast<std::size_t>(state.range(0)) * MB;
    auto text = Make(size, false);
    for (auto _ : state) benchmark::DoNotOptimize(judge::normalize(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.SetComplexityN(static_cast<std::int64_t>(text.size()));
}

template <std::string (*Make)(std::size_t, bool)>
void bm_judge(benchmark::State& state) {
    auto size = static_cast<std::size_t>(state.range(0)) * MB;
    auto golden = Make(size, false);
    auto ours = Make(size, true);
    for (auto _ : state)
        benchmark::DoNotOptimize(judge::judge(golden, ours, judge::Classification::StateArtifact));
    // Both texts are read.
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (golden.size() + ours.size())));
    state.SetComplexityN(static_cast<std::int64_t>(golden.size() + ours.size()));
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
}

BENCHMARK(bm_normalize<many_short_lines>)->Name("normalize/short_lines")->Apply(sizes);
BENCHMARK(bm_normalize<few_long_lines>)->Name("normalize/long_lines")->Apply(sizes);
BENCHMARK(bm_judge<many_short_lines>)->Name("judge/short_lines")->Apply(sizes);
BENCHMARK(bm_judge<few_long_lines>)->Name("judge/long_lines")->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
