// The test session: configuration, categories, discovery, the worker pool, the category passes
// one after another, and the summary that decides the exit status.
#include "session.hpp"

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "category/dispatch.hpp"
#include "cli.hpp"
#include "comparator.hpp"
#include "config.hpp"
#include "discovery.hpp"
#include "files.hpp"
#include "output.hpp"
#include "output_lock.hpp"
#include "pool_width.hpp"
#include "posix.hpp"
#include "shutdown.hpp"
#include "text.hpp"

namespace tolvern {

namespace {

void error_line(const std::string& text) {
    output::put(output::Target::Err, text + "\n");
}

std::optional<OutputFormat> parse_output(std::string_view text) {
    if (text == "human") return OutputFormat::Human;
    if (text == "tap") return OutputFormat::Tap;
    if (text == "json") return OutputFormat::Json;
    return std::nullopt;
}

std::optional<std::vector<Category>> parse_categories(std::string_view text) {
    if (text == "all") return std::vector<Category>(ALL_CATEGORIES.begin(), ALL_CATEGORIES.end());
    if (auto category = parse_category(text)) return std::vector<Category>{*category};
    return std::nullopt;
}

// The process-wide pool. Its width is fixed by start_pool; a pass run before that gets the
// library's default width.
tbb::task_arena& pool() {
    static tbb::task_arena arena;
    return arena;
}

// The thread counts of the threads category come from the configuration alone, never from
// --jobs: a -j chosen for this machine must not change which counts kestrin is compared at.
std::vector<std::uint32_t> thread_counts(const config::ParallelConfig& parallel) {
    if (!parallel.threads_under_test.empty()) return parallel.threads_under_test;
    auto jobs = static_cast<std::uint32_t>(parallel.jobs_resolved());
    if (jobs < 2) return {1};
    return {1, jobs};
}

// Has every worker of the pool start now. The library makes its threads when work first needs
// them; made later, while children run, one could meet a limit on processes, and a thread the
// library cannot make ends the process.
void start_every_worker(int width) {
    std::atomic<int> arrived{0};
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    pool().execute([&] {
        tbb::parallel_for(
            0, width,
            [&](int) {
                ++arrived;
                while (arrived.load() < width && std::chrono::steady_clock::now() < give_up)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            },
            tbb::simple_partitioner());
    });
}

}  // namespace

std::expected<void, std::string> start_pool(std::size_t workers, std::size_t processes) {
    // The library's own arena never grows beyond the processor count, so a wider pool needs an
    // arena of its own as well as the raised limit on worker threads.
    static std::unique_ptr<tbb::global_control> limit;
    if (limit) return {};
    const auto stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    auto room = address_space_room(pool_width(workers), stack + ADDRESS_SPACE_PER_THREAD);
    auto width = room.count;
    if (width != 0) {
        room = thread_room((processes + 1) * width - 1);
        width = width_within(width, room.count, processes);
    }
    if (width == 0)
        return std::unexpected("error: cannot start a thread: " + posix::error_text(room.error));
    limit =
        std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, width);
    // A pass before this one (only tests do that) has built the arena with the default width.
    if (pool().is_active()) pool().terminate();
    pool().initialize(static_cast<int>(width));
    start_every_worker(static_cast<int>(width));
    return {};
}

void run_category(const CategoryContext& context, std::span<const model::Model> models,
                  const ModelCheck& check) {
    std::vector<const model::Model*> accepted;
    for (const auto& model : models)
        if (discovery::accepts(context.category, model)) accepted.push_back(&model);
    if (accepted.empty()) return;
    // The calling thread joins the pool: it runs a lone model itself, and the nested loops of a
    // check stay within the pool's width either way.
    pool().execute([&] {
        if (accepted.size() == 1) {
            check(context, *accepted.front());
            return;
        }
        tbb::parallel_for(std::size_t{0}, accepted.size(),
                          [&](std::size_t i) { check(context, *accepted[i]); });
    });
}

int run(const Cli& cli) {
    auto config = config::Config::load(cli.config);
    if (!config) {
        error_line(config.error());
        return 2;
    }
    auto format = parse_output(cli.output);
    if (!format) {
        error_line("error: --output must be human|tap|json");
        return 2;
    }
    auto categories = parse_categories(cli.category);
    if (!categories) {
        error_line("error: unknown --category: " + cli.category);
        return 2;
    }

    auto discovered =
        discovery::discover(discovery::root_prefix(cli.root), *categories, config->vorlan);
    if (!discovered) {
        error_line(discovered.error());
        return 2;
    }
    std::vector<model::Model> models;
    for (auto& model : *discovered)
        if (discovery::filter_matches(cli.filter, model.name)) models.push_back(std::move(model));

    if (cli.list) {
        // Discovering a large corpus takes a while: a stop meanwhile leaves the list unprinted.
        if (int signal = shutdown::requested()) {
            error_line("interrupted by " + std::string(shutdown::signal_name(signal)));
            return 128 + signal;
        }
        std::string catalogue;
        for (const auto& model : models) catalogue += discovery::catalogue_line(model) + "\n";
        output::put(output::Target::Out, std::move(catalogue));
        return 0;
    }

    // A misc script is bash and the tool it runs: two processes at once for its worker.
    const bool misc = std::ranges::find(*categories, Category::Misc) != categories->end();
    if (auto started =
            start_pool(cli.jobs ? *cli.jobs : config->parallel.jobs_resolved(), misc ? 2 : 1);
        !started) {
        error_line(started.error());
        return 2;
    }

    std::optional<Path> ltscompare;
    if (cli.ltscompare) {
        if (!files::is_regular_file(*cli.ltscompare)) {
            error_line("error: --ltscompare " + text::lossy(*cli.ltscompare) + " does not exist");
            return 2;
        }
        ltscompare = cli.ltscompare;
    } else {
        ltscompare = comparator::find_ltscompare(cli.root);
    }
    if (ltscompare) ltscompare = files::canonical_or_same(*ltscompare);
    const auto kestrin = files::canonical_or_same(cli.kestrin);

    SharedReporter shared;
    shared.reporter.format = *format;
    const auto out_dir = cli.root / config->output.dir;
    const auto counts = thread_counts(config->parallel);
    const auto timeout = seconds(cli.timeout ? *cli.timeout : config->timeout.default_secs);

    // A second session on the same root would rewrite the artefacts that this one compares.
    const auto lock = lock_output_root(out_dir);
    std::size_t checks = 0;
    for (auto category : *categories) {
        checks += static_cast<std::size_t>(std::count_if(
            models.begin(), models.end(),
            [&](const model::Model& model) { return discovery::accepts(category, model); }));
        if (shutdown::requested() != 0) continue;
        CategoryContext context{
            category, kestrin, timeout, ltscompare, out_dir, counts, config->vorlan.import_dirs,
            shared};
        run_category(context, models, category::check_model);
    }
    // A stop for a failed write to standard output has nothing left to say there.
    const int signal = shutdown::requested();
    const bool interrupted = signal != 0 && signal != SIGPIPE;
    bool failed =
        Reporter::print_summary(shared.reporter, interrupted ? shutdown::signal_name(signal) : "");
    if (signal != 0) {
        if (!interrupted) return 128 + signal;
        auto unfinished = checks - shared.reporter.results.size();
        error_line("interrupted by " + std::string(shutdown::signal_name(signal)) + ": " +
                   std::to_string(unfinished) +
                   (unfinished == 1 ? " model check" : " model checks") + " not finished");
        return 128 + signal;
    }
    return failed ? 1 : 0;
}

}  // namespace tolvern
