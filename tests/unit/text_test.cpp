// The shared text helpers: lines, white space, quoted items, joining, UTF-8, padding and strict
// numbers.
#include "text.hpp"

#include <gtest/gtest.h>

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

TEST(Text, TrimsAndSplitsAtUnicodeWhiteSpace) {
    struct Case {
        std::string_view text, trimmed, start, end;
    };
    for (auto [text, trimmed, start, end] : {
             Case{" \t\r\n\v\fa b\n", "a b", "a b\n", " \t\r\n\v\fa b"},
             Case{"\u00A0a\u3000", "a", "a\u3000", "\u00A0a"},
             Case{"\u3000\u00A0 \u2028", "", "", ""},
             // U+00E0 ends in the byte that ends U+00A0, and U+200B is no White_Space.
             Case{"\u00E0x\u00E0", "\u00E0x\u00E0", "\u00E0x\u00E0", "\u00E0x\u00E0"},
             Case{"\u200Bx\u200B", "\u200Bx\u200B", "\u200Bx\u200B", "\u200Bx\u200B"},
         }) {
        EXPECT_EQ(trim(text), trimmed) << text;
        EXPECT_EQ(trim_start(text), start) << text;
        EXPECT_EQ(trim_end(text), end) << text;
    }
    using Pieces = std::vector<std::string_view>;
    EXPECT_EQ(split_white_space("\u3000a\u00A0 b\tc\u3000"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(split_white_space(" \u00A0"), Pieces{});
}

TEST(Text, QuotedItemsArePairedQuotesThenAnOpenRest) {
    using Items = std::vector<std::string_view>;
    EXPECT_EQ(quoted_items("(trail \"a b\" \"\" x \"c"), (Items{"a b", "", "c"}));
    EXPECT_EQ(quoted_items("(trail)"), Items{});
}

TEST(Text, JoinPutsTheSeparatorBetweenPiecesOnly) {
    using Texts = std::vector<std::string>;
    EXPECT_EQ(join(Texts{}, ", "), "");
    EXPECT_EQ(join(Texts{"a"}, ", "), "a");
    EXPECT_EQ(join(Texts{"", "b", ""}, ","), ",b,");
    EXPECT_EQ(join(std::vector<std::string_view>{"x", "y"}, " | "), "x | y");
}

TEST(Text, Utf8ValidityAcrossTheWordBoundary) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii text longer than a word", true},
        {"eight ok\xc3\xa9", true},
        {"eight ok\xc3", false},             // truncated at the end
        {"seven o\xe2\x82\xac tail", true},  // a sequence across the 8-byte mark
        {"0123456789abcdef\xff", false},
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xc0\xaf", false},          // overlong
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(lossy_utf8("a\xff"
                         "b\xe2\x82"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
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
