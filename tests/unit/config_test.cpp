// Configuration loading: the four tables in every TOML form, the typing messages, read errors and
// the environment-dependent vorlan defaults.
#include "config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "support.hpp"
#include "text.hpp"

namespace tolvern::config {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_file;

// Sets or unsets an environment variable for one scope and puts the old value back.
struct EnvVar {
    std::string name;
    std::optional<std::string> saved;
    EnvVar(std::string name_, const char* value) : name(std::move(name_)) {
        if (const char* old = std::getenv(name.c_str())) saved = old;
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }
    ~EnvVar() {
        if (saved)
            ::setenv(name.c_str(), saved->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
};

Config parsed(std::string_view text) {
    auto config = Config::parse(text);
    EXPECT_TRUE(config.has_value()) << text << "\n" << config.error();
    return config.value_or(Config{});
}

std::string failure(std::string_view text) {
    auto config = Config::parse(text);
    EXPECT_FALSE(config.has_value()) << text;
    return config ? std::string() : config.error();
}

const std::string VORLAN_TABLE =
    "path = \"/v\"\ncomplist = \"c.txt\"\ngoldens_subdir = \"g\"\nimport_dirs = [\"/v\", "
    "\"/v/x\"]\n"
    "queue_size_external = 7\n";

TEST(ConfigParse, TablesInEveryForm) {
    struct Case {
        std::string text;
        std::optional<std::size_t> jobs;
        std::vector<std::uint32_t> threads;
        std::uint64_t default_secs, vorlan_secs, lbs_secs;
        std::string dir;
    };
    const Case cases[] = {
        {"", {}, {}, 30, 60, 60, "build/outputs/tolvern"},
        {"\xEF\xBB\xBF[timeout]\ndefault_secs = 1\nvorlan_secs = 2\nlbs_secs = 3\n",
         {},
         {},
         1,
         2,
         3,
         "build/outputs/tolvern"},
        {"[parallel]\n", {}, {}, 30, 60, 60, "build/outputs/tolvern"},
        {"[parallel]\njobs = 0\nthreads_under_test = []\n",
         0,
         {},
         30,
         60,
         60,
         "build/outputs/tolvern"},
        {"[parallel]\njobs = 4\nthreads_under_test = [1, 4294967295]\n",
         4,
         {1, 4294967295u},
         30,
         60,
         60,
         "build/outputs/tolvern"},
        {"parallel.jobs = 3\ntimeout.default_secs = 5\ntimeout.vorlan_secs = 6\n"
         "timeout.lbs_secs = 7\noutput.dir = \"o\"\n",
         3,
         {},
         5,
         6,
         7,
         "o"},
        {"parallel = { threads_under_test = [2] }\ntimeout = { default_secs = 8, vorlan_secs = 9, "
         "lbs_secs = 10 }\noutput = { dir = \"/abs\" }\n",
         {},
         {2},
         8,
         9,
         10,
         "/abs"},
        {"parallel = [6, [1, 2, 3], \"beyond\"]\ntimeout = [10, 20, 30, 40]\noutput = [\"p\"]\n",
         6,
         {1, 2, 3},
         10,
         20,
         30,
         "p"},
        {"parallel = [5]\n", 5, {}, 30, 60, 60, "build/outputs/tolvern"},
        {"title = \"x\"\n[unknown]\na = 1\n[timeout]\ndefault_secs = 1\nvorlan_secs = 2\n"
         "lbs_secs = 3\nextra = \"ignored\"\n[output]\ndir = \"d\"\nother = []\n",
         {},
         {},
         1,
         2,
         3,
         "d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Config config = parsed(c.text);
        EXPECT_EQ(config.parallel.jobs, c.jobs);
        EXPECT_EQ(config.parallel.threads_under_test, c.threads);
        EXPECT_EQ(config.timeout.default_secs, c.default_secs);
        EXPECT_EQ(config.timeout.vorlan_secs, c.vorlan_secs);
        EXPECT_EQ(config.timeout.lbs_secs, c.lbs_secs);
        EXPECT_EQ(config.output.dir, fs::path(c.dir));
    }
}

TEST(ConfigParse, VorlanTableInEveryForm) {
    const std::string texts[] = {
        "[vorlan]\n" + VORLAN_TABLE,
        "vorlan = { path = \"/v\", complist = \"c.txt\", goldens_subdir = \"g\", import_dirs = "
        "[\"/v\", \"/v/x\"], queue_size_external = 7, unknown = 1 }\n",
        "vorlan = [\"/v\", \"c.txt\", \"g\", [\"/v\", \"/v/x\"], 7, \"beyond\"]\n",
    };
    EnvVar vorlan("VORLAN", "/from/env");
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        VorlanConfig v = parsed(text).vorlan;
        EXPECT_EQ(v.path, fs::path("/v"));
        EXPECT_EQ(v.complist, fs::path("c.txt"));
        EXPECT_EQ(v.goldens_subdir, "g");
        EXPECT_EQ(v.import_dirs, (std::vector<fs::path>{"/v", "/v/x"}));
        EXPECT_EQ(v.queue_size_external, 7u);
    }
}

TEST(ConfigParse, TypingMessages) {
    struct Case {
        std::string text;
        std::string message;  // the first line; the place follows on the next lines
    };
    const Case cases[] = {
        {"[timeout]\ndefault_secs = 1\n", "missing field `vorlan_secs`"},
        {"timeout.lbs_secs = 1\n", "missing field `default_secs`"},
        {"[output]\n", "missing field `dir`"},
        {"[vorlan]\npath = \"p\"\nimport_dirs = []\n", "missing field `complist`"},
        {"timeout = [10]\n", "invalid length 1, expected struct TimeoutConfig with 3 elements"},
        {"output = []\n", "invalid length 0, expected struct OutputConfig with 1 element"},
        {"vorlan = [\"p\", \"c\", \"g\", []]\n",
         "invalid length 4, expected struct VorlanConfig with 5 elements"},
        {"parallel = \"x\"\n", "invalid type: string \"x\", expected struct ParallelConfig"},
        {"timeout = 5\n", "invalid type: integer `5`, expected struct TimeoutConfig"},
        {"output = true\n", "invalid type: boolean `true`, expected struct OutputConfig"},
        {"vorlan = 1.5\n", "invalid type: floating point `1.5`, expected struct VorlanConfig"},
        {"vorlan = 2.0\n", "invalid type: floating point `2.0`, expected struct VorlanConfig"},
        {"timeout = 1979-05-27T07:32:00Z\n",
         "invalid type: datetime, expected struct TimeoutConfig"},
        {"parallel.jobs = \"a\\\"b\\n\"\n",
         "invalid type: string \"a\\\"b\\n\", expected a non-negative integer"},
        {"parallel.jobs = -1\n", "invalid value: integer `-1`, expected a non-negative integer"},
        {"parallel.jobs = 1.0\n",
         "invalid type: floating point `1.0`, expected a non-negative integer"},
        {"parallel.threads_under_test = 4\n", "invalid type: integer `4`, expected a sequence"},
        {"parallel.threads_under_test = [1, 4294967296]\n",
         "invalid value: integer `4294967296`, expected an integer from 0 to 4294967295"},
        {"parallel.threads_under_test = [[1]]\n",
         "invalid type: sequence, expected an integer from 0 to 4294967295"},
        {"timeout = [1, -2, 3]\n", "invalid value: integer `-2`, expected a non-negative integer"},
        {"[[timeout]]\ndefault_secs = 1\n", "invalid type: map, expected a non-negative integer"},
        {"output.dir = 3\n", "invalid type: integer `3`, expected a string"},
        // A path would be cut short at a NUL.
        {"output.dir = \"a\\u0000b\"\n",
         "invalid value: string \"a\\u{0}b\", expected a path without NUL characters"},
        {"vorlan = [\"p\", \"c\", \"g\\u0000\", [], 2]\n",
         "invalid value: string \"g\\u{0}\", expected a path without NUL characters"},
        {"vorlan = [\"p\", \"c\", \"g\", [\"/v\", \"\\u0000\"], 2]\n",
         "invalid value: string \"\\u{0}\", expected a path without NUL characters"},
        {"vorlan = [\"p\", \"c\", \"g\", [], 4294967296]\n",
         "invalid value: integer `4294967296`, expected an integer from 0 to 4294967295"},
        {"vorlan = [\"p\", \"c\", \"g\", [1], 2]\n",
         "invalid type: integer `1`, expected a string"},
        // A value of the wrong type is reported before a key that is missing.
        {"[timeout]\nlbs_secs = false\n",
         "invalid type: boolean `false`, expected a non-negative integer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(text::first_line(failure(c.text)), c.message);
    }
}

TEST(ConfigParse, MessagesShowTheLineAndColumn) {
    EXPECT_EQ(failure("# limits\n[parallel]\n\tjobs = -1\n"),
              "invalid value: integer `-1`, expected a non-negative integer\n"
              "  at line 3, column 9:\n"
              "    \tjobs = -1\n"
              "    \t       ^");
    EXPECT_EQ(failure("[timeout]\ndefault_secs = 1\n"),
              "missing field `vorlan_secs`\n"
              "  at line 1, column 1:\n"
              "    [timeout]\n"
              "    ^");
    EXPECT_EQ(failure("\xEF\xBB\xBFtimeout = 5\n"),
              "invalid type: integer `5`, expected struct TimeoutConfig\n"
              "  at line 1, column 11:\n"
              "    timeout = 5\n"
              "              ^");
    // A syntax error: the library's description, then the place.
    std::string syntax = failure("[a]\nb = = 1\n");
    auto lines = text::split_lines(syntax);
    ASSERT_EQ(lines.size(), 4u) << syntax;
    EXPECT_FALSE(lines[0].empty());
    EXPECT_EQ(lines[1], "  at line 2, column 5:");
    EXPECT_EQ(lines[2], "    b = = 1");
    EXPECT_EQ(lines[3], "        ^");
    // A fault at the end of the text names the place without a line to show.
    EXPECT_NE(failure("a = [1,").find("\n  at line 1, column"), std::string::npos);
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
}

// "a.a.a" with the given number of parts.
std::string dotted(std::size_t parts) {
    return repeated("a.", parts - 1) + "a";
}

TEST(ConfigParse, NestingDeeperThanTheLimitIsAFaultAtItsPlace) {
    // Up to the limit, and dots and brackets that belong to no key or array, are fine.
    const std::string accepted[] = {
        "[" + dotted(100) + "]\n",
        "[" + dotted(98) + "]\nb.c = 1\n",
        "x = " + repeated("[", 99) + "1" + repeated("]", 99) + "\n",
        "x = {" + dotted(98) + " = [1]}\n",
        "\"" + dotted(300) + "\" = '" + dotted(300) + "'\n",
        "f = [" + repeated("1.5, ", 300) + "1979-05-27 07:32:00.5]\n",
        "m = \"\"\"\\\"\"\"\n[" + dotted(300) + "]\"\"\"\"\"\nl = '''\n[" + dotted(300) +
            "]\n'''\n",
        "# " + dotted(300) + "\n",
    };
    for (const auto& text : accepted) {
        auto config = Config::parse(text);
        EXPECT_TRUE(config.has_value()) << text << (config ? "" : config.error());
    }

    struct Case {
        std::string text;
        std::string place;
    };
    const Case refused[] = {
        {"[" + dotted(101) + "]\n", "at line 1, column 202:"},
        {"[" + dotted(60) + "]\n" + dotted(41) + " = 1\n", "at line 2, column 81:"},
        {"x = " + repeated("[", 100) + repeated("]", 100) + "\n", "at line 1, column 104:"},
        {"x = [1, [" + repeated("{a = [", 49) + "]]\n", "at line 1, column 303:"},
        {"x = " + repeated("{a = ", 100) + "1" + repeated("}", 100) + "\n",
         "at line 1, column 501:"},
        // What overflowed the library's stack.
        {"[" + dotted(50'000) + "]\n", "at line 1, column 202:"},
        {"# \u00e9\n\t" + dotted(50'000) + " = 1\n", "at line 2, column 202:"},
    };
    for (const auto& c : refused) {
        auto message = failure(c.text);
        auto lines = text::split_lines(message);
        ASSERT_GE(lines.size(), 2u) << c.text.substr(0, 40);
        EXPECT_EQ(lines[0], "nested deeper than 100 levels");
        EXPECT_EQ(lines[1], "  " + c.place) << c.text.substr(0, 40);
    }
}

TEST(ConfigDefaults, VorlanFromEnvironment) {
    struct Case {
        const char* vorlan;
        const char* home;
        fs::path path;
    };
    const Case cases[] = {
        {"/corpus", "/home/u", "/corpus"},
        {"", "/home/u", ""},
        {nullptr, "/home/u", "/home/u/src/vorlan"},
        {nullptr, nullptr, "/var/empty/src/vorlan"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EnvVar vorlan("VORLAN", c.vorlan);
        EnvVar home("HOME", c.home);
        for (const VorlanConfig& v : {VorlanConfig::defaults(), parsed("").vorlan}) {
            EXPECT_EQ(v.path, c.path);
            ASSERT_EQ(v.import_dirs.size(), 16u);
            EXPECT_EQ(v.import_dirs[0], c.path);
            EXPECT_EQ(v.import_dirs[2], c.path / "lib/std");
            for (std::size_t i = 1; i < v.import_dirs.size(); ++i) {
                if (i == 2) continue;
                EXPECT_EQ(v.import_dirs[i].parent_path(), c.path) << v.import_dirs[i];
            }
            EXPECT_EQ(v.complist, fs::path("build/artifacts/vorlan_components.txt"));
            EXPECT_EQ(v.goldens_subdir, ".tolvern-goldens");
            EXPECT_EQ(v.queue_size_external, 2u);
        }
    }
}

TEST(ConfigDefaults, JobsResolved) {
    ParallelConfig parallel;
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(parallel.jobs_resolved(), online > 0 ? std::size_t(online) : 1u);
    parallel.jobs = 0;
    EXPECT_EQ(parallel.jobs_resolved(), 0u);
    parallel.jobs = 12;
    EXPECT_EQ(parallel.jobs_resolved(), 12u);
}

TEST(ConfigLoad, ReadErrors) {
    TempDir dir;
    auto message = [](const fs::path& path, int error) {
        return path.string() + ": " + std::error_code(error, std::generic_category()).message();
    };

    auto missing = Config::load(dir.path / "absent.toml");
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->timeout.default_secs, 30u);
    EXPECT_EQ(missing->output.dir, fs::path("build/outputs/tolvern"));

    auto directory = Config::load(dir.path);
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(directory.error(), message(dir.path, EISDIR));

    write_file(dir.path / "latin1.toml", "[output]\ndir = \"caf\xE9\"\n");
    auto latin1 = Config::load(dir.path / "latin1.toml");
    ASSERT_FALSE(latin1.has_value());
    EXPECT_EQ(latin1.error(), message(dir.path / "latin1.toml", EILSEQ));

    write_file(dir.path / "empty.toml", "");
    EXPECT_TRUE(Config::load(dir.path / "empty.toml").has_value());
}

TEST(ConfigLoad, FaultsNameThePath) {
    TempDir dir;
    write_file(dir.path / "bad.toml", "[timeout]\ndefault_secs = 1\n");
    auto bad = Config::load(dir.path / "bad.toml");
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(text::first_line(bad.error()),
              (dir.path / "bad.toml").string() + ": missing field `vorlan_secs`");

    write_file(dir.path / "good.toml", "\xEF\xBB\xBFoutput.dir = \"out\"\n");
    auto good = Config::load(dir.path / "good.toml");
    ASSERT_TRUE(good.has_value()) << good.error();
    EXPECT_EQ(good->output.dir, fs::path("out"));
}

}  // namespace
}  // namespace tolvern::config
