// The command line: the Cli record and its parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace tolvern {

struct Cli {
    std::string category = "all";
    std::string filter;
    std::optional<std::size_t> jobs;
    std::optional<std::uint64_t> timeout;
    std::string output = "human";
    bool keep_going = false;
    bool list = false;
    std::filesystem::path config = "tolvern.toml";
    std::filesystem::path kestrin = "target/release/kestrin";
    std::optional<std::filesystem::path> ltscompare;
    std::filesystem::path root = ".";

    // Parses the process arguments; ends the process on a usage error (2) or after help (0).
    static Cli parse(int argc, const char* const* argv);
};

// Declares the options of `cli` to the parser (used by parse and by tests).
void declare_options(CLI::App& app, Cli& cli);
// Hands the arguments after the program name to the parser; throws its errors.
void parse_arguments(CLI::App& app, int argc, const char* const* argv);

}  // namespace tolvern
