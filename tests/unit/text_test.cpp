// The shared text helpers: lines, UTF-8, padding and strict numbers.
#include <gtest/gtest.h>

#include "text.hpp"

namespace {

using namespace tolvern::text;

TEST(Text, SplitLines) {
    using Lines = std::vector<std::string_view>;
    EXPECT_EQ(split_lines(""), Lines{});
    EXPECT_EQ(split_lines("\n"), Lines{""});
    EXPECT_EQ(split_lines("a\r\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(split_lines("a\n\nb\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(split_lines("a\r"), Lines{"a\r"});
    EXPECT_EQ(first_line("x\r\ny"), "x");
    EXPECT_EQ(first_line("x\r"), "x\r");
}

TEST(Text, Utf8ValidityAcrossTheWordBoundary) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii text longer than a word", true},
        {"eight ok\xc3\xa9", true},
        {"eight ok\xc3", false},                      // truncated at the end
        {"seven o\xe2\x82\xac tail", true},             // a sequence across the 8-byte mark
        {"0123456789abcdef\xff", false},
        {"\xed\xa0\x80", false},                       // a surrogate
        {"\xf4\x90\x80\x80", false},                   // beyond U+10FFFF
        {"\xc0\xaf", false},                           // overlong
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(lossy_utf8("a\xff" "b\xe2\x82"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(Text, PaddingCountsCharactersNotBytes) {
    EXPECT_EQ(pad_right("é", 3), "é  ");
    EXPECT_EQ(pad_left("7", 3), "  7");
    EXPECT_EQ(pad_right("toolong", 3), "toolong");
}

TEST(Text, StrictUnsignedNumbers) {
    EXPECT_EQ(parse_u64("+7"), 7u);
    EXPECT_EQ(parse_u64("007"), 7u);
    EXPECT_EQ(parse_u64("18446744073709551615"), UINT64_MAX);
    for (auto bad : {"", "+", "-1", "1a", " 1", "18446744073709551616", "++1"})
        EXPECT_FALSE(parse_u64(bad)) << bad;
    EXPECT_EQ(parse_u32("4294967295"), UINT32_MAX);
    EXPECT_FALSE(parse_u32("4294967296"));
}

}  // namespace
