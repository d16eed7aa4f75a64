// End-to-end tests of tolvern's two hidden .aut helper modes: normalised text and flush
// alphabet on standard output, usage and read errors with status 2.
#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "support.hpp"

namespace tolvern::testing {
namespace {

TEST(HelperModes, PrintTheNormalisedTextAndTheFlushAlphabet) {
    TempDir dir;
    const std::string aut =
        "des (0, 4, 4)\r\n(0, \"b.<flush>\", 1)\r\n(1, \"tag(1, 2)\", 2)\r\n"
        "(2, \"<declarative-illegal>\", 3)\r\n(3, \"a.<flush>\", 0)";
    write_file(dir.path / "x.aut", aut);

    auto normalized = run_program(TOLVERN_BIN, {"normalize-lts", "x.aut"}, dir.path);
    EXPECT_EQ(normalized.code, 0);
    EXPECT_EQ(normalized.out,
              "des (0, 4, 4)\n(0, \"b.<flush>\", 1)\n(1, \"tau\", 2)\n"
              "(2, \"<illegal>\", 3)\n(3, \"a.<flush>\", 0)");

    // A further argument is ignored.
    auto flushes = run_program(TOLVERN_BIN, {"flush-actions", "x.aut", "extra"}, dir.path);
    EXPECT_EQ(flushes.code, 0);
    EXPECT_EQ(flushes.out, "a.<flush>,b.<flush>\n");

    write_file(dir.path / "empty.aut", "");
    EXPECT_EQ(run_program(TOLVERN_BIN, {"flush-actions", "empty.aut"}, dir.path).out, "\n");
    EXPECT_EQ(run_program(TOLVERN_BIN, {"normalize-lts", "empty.aut"}, dir.path).out, "");
}

TEST(HelperModes, ReportUsageAndReadErrors) {
    TempDir dir;
    write_file(dir.path / "latin1.aut", "des (0, 0, 1)\n\xe9\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"normalize-lts"}, "usage: tolvern normalize-lts <file.aut>\n"},
        {{"flush-actions"}, "usage: tolvern flush-actions <file.aut>\n"},
        {{"normalize-lts", "absent.aut"}, "error: absent.aut: No such file or directory\n"},
        {{"flush-actions", "latin1.aut"},
         "error: latin1.aut: " + std::make_error_code(std::errc::illegal_byte_sequence).message() +
             "\n"},
        // Neither a device nor a pipe may be read without end.
        {{"normalize-lts", "/dev/zero"}, "error: /dev/zero: not a regular file\n"},
        {{"flush-actions", "/dev/zero"}, "error: /dev/zero: not a regular file\n"},
        {{"flush-actions", "/dev/stdin"}, "error: /dev/stdin: not a regular file\n"},
    };
    for (const auto& c : cases) {
        auto run = run_program(TOLVERN_BIN, c.args, dir.path, {}, "des (0, 0, 1)\n");
        EXPECT_EQ(run.code, 2) << c.args[0];
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }
}

// A sparse file larger than the memory the process may take is a read error too.
TEST(HelperModes, AFileTooLargeToHoldIsAReadError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a memory limit";
#endif
    TempDir dir;
    write_file(dir.path / "big.aut", "");
    fs::resize_file(dir.path / "big.aut", std::uintmax_t{4} << 30);
    for (std::string mode : {"normalize-lts", "flush-actions"}) {
        auto run = run_program(
            "/bin/sh",
            {"-c", "ulimit -v 1000000 && exec '" + TOLVERN_BIN.string() + "' " + mode + " big.aut"},
            dir.path);
        EXPECT_EQ(run.code, 2) << mode;
        EXPECT_EQ(run.err, "error: big.aut: " +
                               std::make_error_code(std::errc::file_too_large).message() + "\n");
    }
}

}  // namespace
}  // namespace tolvern::testing
