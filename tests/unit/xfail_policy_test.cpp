// The .xfail marker policy: which categories' markers turn a failure into XFAIL, and that a
// result the check calls unmarkable keeps its status and flag whatever the category.
#include "category/xfail_policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "category/common.hpp"
#include "support.hpp"

namespace tolvern::category {
namespace {

constexpr std::size_t CATEGORIES = 14;  // every Category, selfcheck included

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
