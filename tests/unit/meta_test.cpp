// META settings: the line scanner, value parsing, override and flag rules, and the file reader's
// treatment of missing and unreadable files.
#include "meta.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <system_error>

#include "support.hpp"

namespace tolvern::meta {
namespace {

using testing::TempDir;
using testing::write_file;

MetaConfig with(auto change) {
    MetaConfig config;
    change(config);
    return config;
}

struct ParseCase {
    const char* label;
    std::string_view text;
    MetaConfig expected;
};

TEST(MetaParse, Settings) {
    constexpr auto u32_max = std::numeric_limits<std::uint32_t>::max();
    const ParseCase cases[] = {
        {"empty", "", MetaConfig{}},
        {"unknown key and junk", "(colour red)\nhello (\n)", MetaConfig{}},
        {"plain value", "(queue-size 3)", with([](auto& c) { c.queue_size = 3; })},
        {"spaces and plus", "(queue-size   +7  )", with([](auto& c) { c.queue_size = 7; })},
        {"surrounding blanks", "  \t(queue-size 8)  ", with([](auto& c) { c.queue_size = 8; })},
        {"wide spaces around the value", "(queue-size \u00A09\u3000)",
         with([](auto& c) { c.queue_size = 9; })},
        {"wide spaces around the line", "\u3000;; (queue-size 3)\u00A0\n\u00A0(flush)\u3000",
         with([](auto& c) { c.flush = true; })},
        {"largest u32", "(queue-size 4294967295)", with([&](auto& c) { c.queue_size = u32_max; })},
        {"above u32", "(queue-size 4294967296)", MetaConfig{}},
        {"negative", "(queue-size -1)", MetaConfig{}},
        {"two plus signs", "(queue-size ++1)", MetaConfig{}},
        {"empty value", "(queue-size )", MetaConfig{}},
        {"no space after key", "(queue-size)", MetaConfig{}},
        {"no closing parenthesis", "(queue-size 5", MetaConfig{}},
        {"unparsable later value clears", "(queue-size 3)\n(queue-size many)", MetaConfig{}},
        {"later value overrides", "(queue-size 3)\n(queue-size 4)",
         with([](auto& c) { c.queue_size = 4; })},
        {"unrelated later line keeps it", "(queue-size 3)\n(flush)", with([](auto& c) {
             c.queue_size = 3;
             c.flush = true;
         })},
        {"unclosed later value keeps it", "(queue-size 3)\n(queue-size 9",
         with([](auto& c) { c.queue_size = 3; })},
        {"first of two on a line", "(queue-size 1) (queue-size 2)",
         with([](auto& c) { c.queue_size = 1; })},
        {"longer keys are their own", "(queue-size-defer 4)(queue-size-external 5)",
         with([](auto& c) {
             c.queue_size_defer = 4;
             c.queue_size_external = 5;
         })},
        {"setting and flag on one line", "(queue-size 3) (flush)", with([](auto& c) {
             c.queue_size = 3;
             c.flush = true;
         })},
        {"comment line", ";; (queue-size 3)", MetaConfig{}},
        {"indented comment line", "   ;;(flush)", MetaConfig{}},
        {"comment after a setting", "(queue-size 3) ;; three",
         with([](auto& c) { c.queue_size = 3; })},
        {"flag with #t", "(skip-wfc #t)", with([](auto& c) { c.skip_wfc = true; })},
        {"bare flag", "(skip-wfc)", with([](auto& c) { c.skip_wfc = true; })},
        {"flag with two spaces", "(skip-wfc  #t)", MetaConfig{}},
        {"flag with another word", "(flush #f)", MetaConfig{}},
        {"flags accumulate", "(flush)\n(flush #f)\n(skip-wfc #t)", with([](auto& c) {
             c.flush = true;
             c.skip_wfc = true;
         })},
        {"CRLF line ends", "(queue-size 3)\r\n(flush)\r\n;; x\r\n", with([](auto& c) {
             c.queue_size = 3;
             c.flush = true;
         })},
        {"decimal fraction", "(max-state-factor 1.5)",
         with([](auto& c) { c.max_state_factor = 1.5; })},
        {"exponent", "(max-state-factor 2.5e3)",
         with([](auto& c) { c.max_state_factor = 2500.0; })},
        {"plus and bare fraction", "(max-state-factor +.25)",
         with([](auto& c) { c.max_state_factor = 0.25; })},
        {"negative factor", "(max-state-factor -2)",
         with([](auto& c) { c.max_state_factor = -2.0; })},
        {"infinity word", "(max-state-factor -Infinity)",
         with([](auto& c) { c.max_state_factor = -std::numeric_limits<double>::infinity(); })},
        {"inf word", "(max-state-factor +INF)",
         with([](auto& c) { c.max_state_factor = std::numeric_limits<double>::infinity(); })},
        {"beyond the largest double", "(max-state-factor 1e400)",
         with([](auto& c) { c.max_state_factor = std::numeric_limits<double>::infinity(); })},
        {"below the smallest double", "(max-state-factor -1e-400)",
         with([](auto& c) { c.max_state_factor = -0.0; })},
        {"dangling exponent", "(max-state-factor 1e)", MetaConfig{}},
        {"hexadecimal", "(max-state-factor 0x10)", MetaConfig{}},
        {"sign twice", "(max-state-factor +-1)", MetaConfig{}},
        {"nan with payload", "(max-state-factor nan(1))", MetaConfig{}},
        {"two numbers", "(max-state-factor 1.5 2)", MetaConfig{}},
        {"word", "(max-state-factor lots)", MetaConfig{}},
        {"unparsable factor clears", "(max-state-factor 2)\n(max-state-factor x)", MetaConfig{}},
    };
    for (const auto& c : cases) EXPECT_EQ(MetaConfig::parse(c.text), c.expected) << c.label;
}

TEST(MetaParse, NotANumberWords) {
    for (auto text :
         {"(max-state-factor nan)", "(max-state-factor -NaN)", "(max-state-factor +nAn)"}) {
        auto factor = MetaConfig::parse(text).max_state_factor;
        ASSERT_TRUE(factor.has_value()) << text;
        EXPECT_TRUE(std::isnan(*factor)) << text;
    }
}

TEST(MetaScan, PairsAndFlags) {
    EXPECT_EQ(find_pair("k", "x (k  a b ) y (k c)"), "a b");
    EXPECT_EQ(find_pair("k", "(k a"), std::nullopt);
    EXPECT_EQ(find_pair("k", "(kk a)"), std::nullopt);
    EXPECT_EQ(find_pair("k", "(k )"), "");
    EXPECT_TRUE(find_flag("f", "a(f)b"));
    EXPECT_TRUE(find_flag("f", "(f #t)"));
    EXPECT_FALSE(find_flag("f", "(f #t )"));
    EXPECT_FALSE(find_flag("f", "(ff)"));
}

TEST(MetaFile, MissingFileGivesDefaults) {
    TempDir dir;
    EXPECT_EQ(MetaConfig::from_file(dir.path / "META"), MetaConfig{});
}

TEST(MetaFile, ReadsSettings) {
    TempDir dir;
    write_file(dir.path / "META", ";; settings\n(queue-size 12) (skip-wfc)\n");
    auto config = MetaConfig::from_file(dir.path / "META");
    ASSERT_TRUE(config.has_value()) << config.error();
    EXPECT_EQ(*config, with([](auto& c) {
        c.queue_size = 12;
        c.skip_wfc = true;
    }));
}

TEST(MetaFile, ReadFailuresNameThePath) {
    TempDir dir;
    auto directory = dir.path / "a" / "META";
    std::filesystem::create_directories(directory);
    auto binary = dir.path / "b" / "META";
    write_file(binary, "(queue-size 3)\xff\n");

    auto message = [](std::errc error) { return std::make_error_code(error).message(); };
    EXPECT_EQ(MetaConfig::from_file(directory).error(),
              directory.string() + ": " + message(std::errc::is_a_directory));
    EXPECT_EQ(MetaConfig::from_file(binary).error(),
              binary.string() + ": " + message(std::errc::illegal_byte_sequence));
}

}  // namespace
}  // namespace tolvern::meta
