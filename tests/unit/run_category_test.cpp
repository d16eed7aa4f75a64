// One category pass: which models reach the check, on which threads, and the reporter lock.
#include <gtest/gtest.h>
#include <tbb/info.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "category/common.hpp"
#include "category/dispatch_internal.hpp"
#include "pool_width.hpp"
#include "session.hpp"

namespace {

using namespace tolvern;

model::Model make_model(std::string name, Category kind) {
    model::Model m;
    m.name = std::move(name);
    m.dir = "/nonexistent/" + m.name;
    m.kind = kind;
    return m;
}

struct Pass {
    std::filesystem::path kestrin = "k", out_dir = "o";
    std::optional<std::filesystem::path> ltscompare;
    std::vector<std::uint32_t> counts = {1};
    std::vector<std::filesystem::path> imports;
    SharedReporter reporter;

    CategoryContext context(Category category) {
        return {category, kestrin, Duration{}, ltscompare, out_dir, counts, imports, reporter};
    }
};

TEST(RunCategory, ChecksEveryAcceptedModelOnceAndRecordsEach) {
    std::vector<model::Model> models;
    for (int i = 0; i < 40; ++i)
        models.push_back(make_model("m" + std::to_string(i), Category::Lts));
    models.push_back(make_model("w", Category::Wfc));
    Pass pass;
    std::mutex seen_mutex;
    std::multiset<std::string> seen;
    auto check = [&](const CategoryContext& context, const model::Model& model) {
        {
            std::lock_guard lock(seen_mutex);
            seen.insert(model.name);
        }
        Reporter::record(context.reporter, category::result(model.name, context.category,
                                                            Status::Pass, "", Duration{}));
    };
    testing::internal::CaptureStdout();
    run_category(pass.context(Category::Lts), models, check);
    auto out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen.size(), 40u);
    EXPECT_EQ(seen.count("w"), 0u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(seen.count("m" + std::to_string(i)), 1u);
    EXPECT_EQ(pass.reporter.reporter.results.size(), 40u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 40);
}

TEST(RunCategory, OneAcceptedModelRunsOnTheCallingThread) {
    std::vector<model::Model> models = {make_model("only", Category::Lbs),
                                        make_model("other", Category::Lts)};
    Pass pass;
    std::thread::id ran_on;
    run_category(
        pass.context(Category::Lbs), models,
        [&](const CategoryContext&, const model::Model&) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(RunCategory, NoAcceptedModelChecksNothing) {
    std::vector<model::Model> models = {make_model("a", Category::Lts)};
    Pass pass;
    int calls = 0;
    run_category(pass.context(Category::Misc), models,
                 [&](const CategoryContext&, const model::Model&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST(RunCategory, PoolWiderThanTheProcessorsRunsThatManyModelsAtOnce) {
    // Every check waits until all of them are running at once (or a minute has passed, when
    // they never will).
    const auto width = static_cast<std::size_t>(tbb::info::default_concurrency()) + 2;
    ASSERT_TRUE(start_pool(width, 1));
    std::vector<model::Model> models;
    for (std::size_t i = 0; i < width; ++i)
        models.push_back(make_model("m" + std::to_string(i), Category::Lts));
    Pass pass;
    std::mutex mutex;
    std::condition_variable all_in;
    std::size_t running = 0, most = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    run_category(pass.context(Category::Lts), models,
                 [&](const CategoryContext&, const model::Model&) {
                     std::unique_lock lock(mutex);
                     most = std::max(most, ++running);
                     all_in.notify_all();
                     all_in.wait_until(lock, give_up, [&] { return most == width; });
                     --running;
                 });
    EXPECT_EQ(most, width);
}

TEST(PoolWidth, AsAskedWithinTheCapAndTheOpenFileLimit) {
    struct Case {
        std::size_t requested;
        std::uint64_t open_files;
        std::size_t width;
    } cases[] = {
        {0, 1 << 20, 1},
        {8, 1 << 20, 8},
        {100'000, 1 << 20, MAX_JOBS},
        {1'000'000, 256, 22},
        {22, 256, 22},
        {8, 41, 1},
        {8, 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pool_width(c.requested, c.open_files), c.width)
            << c.requested << " under " << c.open_files;
}

TEST(PoolWidth, EveryWorkerAThreadButOneAndItsProcessesWithinTheRoom) {
    struct Case {
        std::size_t width, available, processes, within;
    } cases[] = {
        {8, 15, 1, 8},                               // 7 threads and 8 tools
        {8, 14, 1, 7}, {8, 2, 1, 1}, {8, 23, 2, 8},  // 7 threads and 8 scripts with their tools
        {8, 3, 2, 1},  {8, 2, 2, 1}, {8, 1, 2, 0},  {1, 0, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(width_within(c.width, c.available, c.processes), c.within)
            << c.width << " in " << c.available << " by " << c.processes;
}

TEST(CheckCatching, WhatACheckThrowsFailsThatModel) {
    Pass pass;
    const auto model = make_model("m", Category::Lts);
    const std::pair<category::Check, std::string> cases[] = {
        {[](const CategoryContext&, const model::Model&) -> ModelResult {
             throw std::runtime_error("library fault");
         },
         "internal error: library fault"},
        {[](const CategoryContext&, const model::Model&) -> ModelResult { throw 7; },
         "internal error: unknown exception"},
    };
    for (const auto& [check, reason] : cases) {
        auto result = category::check_catching(pass.context(Category::Lts), model, check);
        EXPECT_EQ(result.status, Status::Fail);
        EXPECT_EQ(result.reason, reason);
        EXPECT_EQ(result.name, "m");
    }
}

}  // namespace
