// The command line: the Cli record and its parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "kinds.hpp"

namespace tolvern {

// A command line that asks for no session: the help (status 0, printed on standard output) or a
// usage error (status 2, printed on standard error).
struct CliExit {
    int status = 0;
    std::string text;
};

struct Cli {
    std::string category = "all";
    std::string filter;
    std::optional<std::size_t> jobs;
    std::optional<std::uint64_t> timeout;
    std::string output = "human";
    bool keep_going = false;
    bool list = false;
    Path config = "tolvern.toml";
    Path kestrin = "target/release/kestrin";
    std::optional<Path> ltscompare;
    Path root = ".";

    // Parses the process arguments (argv[0] names the program in the usage text).
    static std::expected<Cli, CliExit> parse(int argc, const char* const* argv);
};

}  // namespace tolvern
