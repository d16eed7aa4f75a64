// The command line as the parser fills the Cli record.
#include "cli.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using tolvern::Cli;

// Parses the arguments (after the program name); nullopt when the parser rejects them.
std::optional<Cli> parse(std::vector<std::string> args) {
    std::vector<const char*> argv = {"tolvern"};
    for (auto& arg : args) argv.push_back(arg.c_str());
    auto cli = Cli::parse(static_cast<int>(argv.size()), argv.data());
    if (!cli) return std::nullopt;
    return *cli;
}

TEST(Cli, NoArgumentsGiveTheDefaults) {
    auto cli = parse({});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->category, "all");
    EXPECT_EQ(cli->filter, "");
    EXPECT_FALSE(cli->jobs);
    EXPECT_FALSE(cli->timeout);
    EXPECT_EQ(cli->output, "human");
    EXPECT_FALSE(cli->keep_going);
    EXPECT_FALSE(cli->list);
    EXPECT_EQ(cli->config, "tolvern.toml");
    EXPECT_EQ(cli->kestrin, "target/release/kestrin");
    EXPECT_FALSE(cli->ltscompare);
    EXPECT_EQ(cli->root, ".");
}

TEST(Cli, HelpAndUsageErrorsComeBackWithTheirStatus) {
    const char* help[] = {"tolvern", "--help"};
    auto asked = Cli::parse(2, help);
    ASSERT_FALSE(asked);
    EXPECT_EQ(asked.error().status, 0);
    EXPECT_NE(asked.error().text.find("--category"), std::string::npos);
    const char* bad[] = {"tolvern", "--bogus"};
    auto refused = Cli::parse(2, bad);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().status, 2);
    EXPECT_TRUE(refused.error().text.starts_with("error: ")) << refused.error().text;
}

TEST(Cli, JobsInEveryWrittenForm) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-j4"}, {"-j", "4"}, {"--jobs", "4"}, {"--jobs=4"}}) {
        auto cli = parse(args);
        ASSERT_TRUE(cli) << args[0];
        EXPECT_EQ(cli->jobs, 4u) << args[0];
    }
}

TEST(Cli, ValuesAndFlags) {
    auto cli = parse({"--category", "lts", "--filter", "*x*", "--timeout", "0", "--output=tap",
                      "-k", "--list", "--config", "c.toml", "--kestrin", "k", "--ltscompare", "lc",
                      "--root", "r"});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->category, "lts");
    EXPECT_EQ(cli->filter, "*x*");
    EXPECT_EQ(cli->timeout, 0u);
    EXPECT_EQ(cli->output, "tap");
    EXPECT_TRUE(cli->keep_going);
    EXPECT_TRUE(cli->list);
    EXPECT_EQ(cli->config, "c.toml");
    EXPECT_EQ(cli->kestrin, "k");
    EXPECT_EQ(cli->ltscompare, "lc");
    EXPECT_EQ(cli->root, "r");
}

TEST(Cli, TimeoutTakesTheWholeUnsigned64BitRange) {
    auto cli = parse({"--timeout", "18446744073709551615"});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->timeout, std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(parse({"--timeout", "18446744073709551616"}));
}

TEST(Cli, UnknownTextsParseHereAndAreCheckedByTheRun) {
    auto cli = parse({"--category", "LTS", "--output", "xml", "--filter", ""});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->category, "LTS");
    EXPECT_EQ(cli->output, "xml");
    EXPECT_EQ(cli->filter, "");
}

TEST(Cli, EmptyValueAfterAnEqualsSign) {
    auto cli = parse({"--filter=", "--category=", "--output="});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->filter, "");
    EXPECT_EQ(cli->category, "");
    EXPECT_EQ(cli->output, "");
    // The empty value is the option's own: the next argument is not taken in its place.
    EXPECT_FALSE(parse({"--filter=", "m"}));
    // A value that merely ends in an equals sign is kept whole.
    cli = parse({"--filter=a="});
    ASSERT_TRUE(cli);
    EXPECT_EQ(cli->filter, "a=");
}

TEST(Cli, UsageErrors) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--nope"},
             {"positional"},
             {"--jobs"},
             {"--jobs", "four"},
             {"--jobs", "-1"},
             {"--timeout", "1.5"},
             {"--config", ""},
             {"--kestrin="},
             {"--root", ""},
             {"--ltscompare", ""},
             {"--list="},
             {"--", "--filter="},
         }) {
        EXPECT_FALSE(parse(args)) << args[0];
    }
}

}  // namespace
