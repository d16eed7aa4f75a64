// The .xfail marker policy: which file counts as a marker and what it does to a result, which
// categories' markers turn a failure into XFAIL, and that a result the check calls unmarkable
// keeps its status and flag whatever the category.
#include "category/xfail_policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "category/common.hpp"
#include "category/xfail_policy_internal.hpp"
#include "support.hpp"

namespace tolvern::category {
namespace {

namespace fs = std::filesystem;
using testing::write_file;

constexpr std::size_t CATEGORIES = 14;  // every Category, selfcheck included

TEST(ApplyXfailMarker, OnlyARegularFileOfTheCategoryCounts) {
    testing::TempDir dir;
    auto model = dir.path / "m";
    write_file(model / "baseline" / "verify.xfail", "");
    fs::create_directories(model / "baseline" / "lts.xfail");
    fs::create_symlink("missing-target", model / "baseline" / "threads.xfail");
    write_file(model / "baseline" / "target", "");
    fs::create_symlink("target", model / "baseline" / "trace.xfail");

    struct Case {
        Category category;
        Status status, expected;
        bool marker;
    };
    for (auto c : {
             Case{Category::Verify, Status::Fail, Status::Xfail, true},
             Case{Category::Verify, Status::Timeout, Status::Xfail, true},
             Case{Category::Verify, Status::Pass, Status::Pass, true},
             Case{Category::Verify, Status::Skip, Status::Skip, true},
             Case{Category::Verify, Status::Xfail, Status::Xfail, true},
             Case{Category::Lts, Status::Fail, Status::Fail, false},      // a directory
             Case{Category::Threads, Status::Fail, Status::Fail, false},  // a dangling link
             Case{Category::Trace, Status::Fail, Status::Xfail, true},    // a link to a file
             Case{Category::Parsing, Status::Fail, Status::Fail, false},  // none
         }) {
        auto out = apply_xfail_marker(model, result("m", c.category, c.status, "why", seconds(2)));
        EXPECT_EQ(out.status, c.expected) << name(c.category) << " " << word(c.status);
        EXPECT_EQ(out.xfail_marker, c.marker) << name(c.category) << " " << word(c.status);
        EXPECT_EQ(out.reason, "why");
        EXPECT_EQ(out.elapsed, seconds(2));
    }
}

TEST(Settle, TheCategoryDecidesAndUnmarkableResultsStayAsTheyAre) {
    testing::TempDir dir;
    model::Model model;
    model.name = "m";
    model.dir = dir.path;
    for (std::size_t i = 0; i < CATEGORIES; ++i)
        testing::write_file(
            dir.path / "baseline" / (std::string(name(static_cast<Category>(i))) + ".xfail"), "");

    const Category taking[] = {Category::Parsing,  Category::ParseCompare, Category::Lts,
                               Category::Verify,   Category::Lbs,          Category::Misc,
                               Category::Simulate, Category::SimulateRepl};
    for (std::size_t i = 0; i < CATEGORIES; ++i) {
        const auto category = static_cast<Category>(i);
        const bool takes =
            std::find(std::begin(taking), std::end(taking), category) != std::end(taking);
        const auto failed = result("m", category, Status::Fail, "why", seconds(1));
        EXPECT_EQ(takes_xfail_marker(category), takes) << name(category);

        auto settled = settle(model, failed);
        EXPECT_EQ(settled.status, takes ? Status::Xfail : Status::Fail) << name(category);
        EXPECT_EQ(settled.xfail_marker, takes) << name(category);

        auto kept = settle(model, unmarkable(failed));
        EXPECT_EQ(kept.status, Status::Fail) << name(category);
        EXPECT_FALSE(kept.xfail_marker) << name(category);
    }
}

}  // namespace
}  // namespace tolvern::category
