// Discovery and catalogue of a generated corpus: every model directory has its source, a META
// file and a few baselines, so each model costs the stats and reads a real corpus costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "discovery.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tolvern;

void write(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A corpus of `count` test-models directories in a fresh temporary directory, removed at exit.
struct GeneratedCorpus {
    fs::path root;

    explicit GeneratedCorpus(std::size_t count) {
        std::string pattern = (fs::temp_directory_path() / "tolvern-bench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        const char* prefixes[] = {"", "lbs_", "wf_", "misc_", "symres_"};
        for (std::size_t i = 0; i < count; ++i) {
            // Names out of order, so the sort has work to do.
            std::string name = prefixes[i % 5] + std::to_string((i * 7919) % count);
            auto dir = root / "test-models" / name;
            fs::create_directories(dir / "baseline");
            write(dir / (name + ".svk"), "model\n");
            write(dir / "META", ";; generated\n(queue-size 4) (flush)\n(max-state-factor 2.5)\n");
            write(dir / "baseline" / "lts.aut", "des (0,1,2)\n(0,\"a\",1)\n");
            write(dir / "baseline" / "verify", "ok\n");
            if (i % 3 == 0) write(dir / "baseline" / "verify.override", "ok\n");
        }
    }
    ~GeneratedCorpus() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const GeneratedCorpus& corpus(std::size_t count) {
    static std::map<std::size_t, std::unique_ptr<GeneratedCorpus>> made;
    auto& slot = made[count];
    if (!slot) slot = std::make_unique<GeneratedCorpus>(count);
    return *slot;
}

void BM_DiscoverAndCatalogue(benchmark::State& state) {
    auto count = static_cast<std::size_t>(state.range(0));
    auto prefix = discovery::root_prefix(corpus(count).root);
    config::VorlanConfig vorlan;
    for (auto _ : state) {
        auto models = discovery::discover(prefix, ALL_CATEGORIES, vorlan);
        if (!models || models->size() != count) {
            state.SkipWithError("discovery failed");
            break;
        }
        std::string catalogue;
        for (const auto& model : *models) {
            catalogue += discovery::catalogue_line(model);
            catalogue += '\n';
        }
        benchmark::DoNotOptimize(catalogue);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
    state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_DiscoverAndCatalogue)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
