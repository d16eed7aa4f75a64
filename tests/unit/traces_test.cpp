// The order of trace names: numeric between numbers, by bytes otherwise, and a stable sort that
// survives the intransitive mixes that rule allows.
#include "category/traces.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support.hpp"

namespace tolvern::category {
namespace {

struct Named {
    std::string name;
    int tag = 0;  // listing position, to see stability
};

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::vector<Named> items;
    for (auto& name : names) items.push_back({std::move(name), 0});
    sort_by_trace_name(items);
    std::vector<std::string> out;
    for (auto& item : items) out.push_back(item.name);
    return out;
}

TEST(CompareTraceNames, NumbersNumericallyEverythingElseByBytes) {
    struct Row {
        std::string_view a, b;
        std::strong_ordering expected;
    };
    const Row rows[] = {
        {"2", "10", std::strong_ordering::less},
        {"10", "2", std::strong_ordering::greater},
        {"007", "7", std::strong_ordering::equal},
        {"+5", "5", std::strong_ordering::equal},
        {"0", "0", std::strong_ordering::equal},
        // Not numbers: compared by bytes, also against a number.
        {"10", "a10", std::strong_ordering::less},
        {"a10", "b", std::strong_ordering::less},
        {"1a", "9", std::strong_ordering::less},
        {"-1", "1", std::strong_ordering::less},
        {"+", "0", std::strong_ordering::less},
        {"", "0", std::strong_ordering::less},
        {"", "", std::strong_ordering::equal},
        {"ab", "abc", std::strong_ordering::less},
        {" 1", "1", std::strong_ordering::less},
        // 2^64 overflows, so it is text and sorts before "9" by bytes.
        {"18446744073709551616", "9", std::strong_ordering::less},
        {"18446744073709551615", "9", std::strong_ordering::greater},
        // Bytes compare unsigned: a UTF-8 name sorts after every ASCII one.
        {"\xc3\xa9", "z", std::strong_ordering::greater},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(compare_trace_names(row.a, row.b), row.expected)
            << "'" << row.a << "' vs '" << row.b << "'";
    }
}

TEST(SortByTraceName, OrdersNamesAsTheChecksRunThem) {
    EXPECT_EQ(sorted({"10", "2", "1"}), (std::vector<std::string>{"1", "2", "10"}));
    EXPECT_EQ(sorted({"b", "a10", "10"}), (std::vector<std::string>{"10", "a10", "b"}));
    EXPECT_EQ(sorted({"x", "3", "", "20"}), (std::vector<std::string>{"", "3", "20", "x"}));
}

TEST(SortByTraceName, EqualNumbersKeepListingOrder) {
    std::vector<Named> items = {{"7", 0}, {"1", 1}, {"007", 2}, {"+7", 3}};
    sort_by_trace_name(items);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].name, "1");
    EXPECT_EQ(items[1].tag, 0);
    EXPECT_EQ(items[2].tag, 2);
    EXPECT_EQ(items[3].tag, 3);
}

// 9 < 10 numerically, 10 < 1a and 1a < 9 by bytes: no order satisfies all three, but sorting
// must still finish and keep every element exactly once.
TEST(SortByTraceName, IntransitiveMixesSortWithoutFailure) {
    std::vector<std::string> names = {"9", "10", "1a", "+3", "03", "x", "100", "1"};
    std::sort(names.begin(), names.end());
    auto expected = names;
    do {
        auto out = sorted(names);
        std::sort(out.begin(), out.end());
        ASSERT_EQ(out, expected);
    } while (std::next_permutation(names.begin(), names.end()));

    // Large lists take the merge path with its buffer; the same must hold there.
    std::mt19937 random(42);
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) {
        auto n = std::to_string(random() % 200);
        many.push_back(random() % 3 == 0 ? n + "a" : n);
    }
    auto out = sorted(many);
    std::sort(out.begin(), out.end());
    std::sort(many.begin(), many.end());
    EXPECT_EQ(out, many);
}

TEST(TracesWithInput, ANameThatIsNotUtf8IsNoTrace) {
    testing::TempDir dir;
    // Its path as text would name no file, so it is not even listed.
    for (std::string name : {"0",
                             "a\xff"
                             "b",
                             "c"}) {
        testing::write_file(dir.path / "baseline" / ("simulate." + name), "");
        testing::write_file(dir.path / ("trace." + name), "");
    }
    std::vector<std::string> names;
    for (const auto& trace : traces_with_input(dir.path, "simulate.", dir.path, "trace."))
        names.push_back(trace.name);
    EXPECT_EQ(names, (std::vector<std::string>{"0", "c"}));
    EXPECT_EQ(list_trace_goldens(dir.path, "simulate.a").size(), 0u);
}

}  // namespace
}  // namespace tolvern::category
