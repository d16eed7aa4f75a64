// The pure pieces of the LTS checks that the end-to-end tests cannot reach: state-count headers,
// budget arithmetic at its limits and action lists.
#include <gtest/gtest.h>

#include <limits>

#include "category/lts_gold_internal.hpp"
#include "category/lts_internal.hpp"

namespace tolvern::category {
namespace {

TEST(AutStates, ReadsTheThirdFieldOfTheHeader) {
    struct Case {
        std::string_view aut;
        std::optional<std::uint64_t> states;
    };
    const Case cases[] = {
        {"des (0, 12, 7)\n(0,\"a\",1)\n", 7},
        {"des(0,12,7)", 7},
        {"  des ((0,12,7))  \r\n", 7},
        {"des (0,12,+7)\n", 7},
        {"des (0,12,7,9)\n", 7},
        {"des (0,12,18446744073709551615)\n", std::numeric_limits<std::uint64_t>::max()},
        {"des (0,12,18446744073709551616)\n", std::nullopt},
        {"des (0,12)\n", std::nullopt},
        {"des (0,12,-7)\n", std::nullopt},
        {"des (0,12,7x)\n", std::nullopt},
        {"des (0,12,)\n", std::nullopt},
        {"\ndes (0,12,7)\n", std::nullopt},
        {"DES (0,12,7)\n", std::nullopt},
        {"(0,\"a\",1)\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(aut_states(c.aut), c.states) << c.aut;
}

TEST(StateBudget, RoundsUpAndSaturates) {
    EXPECT_EQ(state_budget(20.0, 10), 200u);
    EXPECT_EQ(state_budget(1.5, 3), 5u);
    EXPECT_EQ(state_budget(0.1, 1), 1u);
    EXPECT_EQ(state_budget(-2.0, 10), 0u);
    EXPECT_EQ(state_budget(std::numeric_limits<double>::quiet_NaN(), 10), 0u);
    EXPECT_EQ(state_budget(std::numeric_limits<double>::infinity(), 10),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(state_budget(1e30, 10), std::numeric_limits<std::uint64_t>::max());
    // Beyond 2^53 a double cannot hold the count itself.
    EXPECT_EQ(state_budget(1.0, 429184467440737095u), 429184467440737095u);
}

std::string aut_with(std::uint64_t states) {
    return "des (0,1," + std::to_string(states) + ")\n(0,\"a\",1)\n";
}

TEST(BudgetExcess, NoBudgetWithoutTwoCountsOrWithEmptyGold) {
    EXPECT_EQ(budget_excess(aut_with(1000), aut_with(0), std::nullopt), std::nullopt);
    EXPECT_EQ(budget_excess("not an lts", aut_with(1), std::nullopt), std::nullopt);
    EXPECT_EQ(budget_excess(aut_with(1000), "(0,\"a\",1)\n", std::nullopt), std::nullopt);
}

TEST(BudgetExcess, AnLtsNeverExceedsItsOwnSize) {
    for (std::uint64_t states : {1ull, 9007199254740993ull, 18446744073709551615ull})
        EXPECT_EQ(budget_excess(aut_with(states), aut_with(states), 1.0), std::nullopt) << states;
}

TEST(BudgetExcess, NamesTheFactorInPlainDecimals) {
    auto reason = [](std::uint64_t ours, std::uint64_t gold, double factor) {
        return budget_excess(aut_with(ours), aut_with(gold), factor).value_or("<none>");
    };
    auto expected = [](std::uint64_t ours, std::uint64_t budget, std::string_view factor,
                       std::uint64_t gold) {
        return "lts state-count budget exceeded: " + std::to_string(ours) + " states > " +
               std::to_string(budget) + " (= " + std::string(factor) + "x golden " +
               std::to_string(gold) + "); weak-failures EQUAL but blown up";
    };
    EXPECT_EQ(reason(201, 10, 20.0), expected(201, 200, "20", 10));
    EXPECT_EQ(reason(6, 3, 1.5), expected(6, 5, "1.5", 3));
    EXPECT_EQ(reason(100001, 1, 100000.0), expected(100001, 100000, "100000", 1));
    EXPECT_EQ(reason(2, 1, 0.00001), expected(2, 1, "0.00001", 1));
    EXPECT_EQ(reason(2, 1, 1e-300), expected(2, 1, "0." + std::string(299, '0') + "1", 1));
}

TEST(MergeCsv, SortedDistinctUntrimmedPieces) {
    EXPECT_EQ(merge_csv("b,a", "a,,c"), "a,b,c");
    EXPECT_EQ(merge_csv("", ""), "");
    EXPECT_EQ(merge_csv(",,", ","), "");
    EXPECT_EQ(merge_csv(" x,x", ""), " x,x");
    EXPECT_EQ(merge_csv("", "p.<flush>"), "p.<flush>");
}

}  // namespace
}  // namespace tolvern::category
