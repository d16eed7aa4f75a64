// The command line: eleven options declared to the option parser, which prints the help and
// ends the process on a usage error.
#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "pool_width.hpp"
#include "text.hpp"

namespace tolvern {

namespace {

// Paths must not be empty; the parser reports the value as a usage error.
const CLI::Validator non_empty_path(
    [](std::string& value) { return value.empty() ? std::string("empty path") : std::string(); },
    "", "non-empty path");

// Stores an unsigned decimal (the whole range of the field's type) or rejects the value.
template <typename T>
std::function<void(const std::string&)> unsigned_into(std::optional<T>& field) {
    return [&field](const std::string& value) {
        auto number = text::parse_u64(value);
        if (!number || *number > std::numeric_limits<T>::max())
            throw CLI::ValidationError(value + ": not an unsigned number in range");
        field = static_cast<T>(*number);
    };
}

// Declares the options of `cli` to the parser.
void declare_options(CLI::App& app, Cli& cli) {
    app.description("Sorvek test-corpus runner (replaces run_*.sh / gen_*.sh).");
    // The help flag goes after the options, so remove the one the parser starts with.
    app.set_help_flag();

    app.add_option("--category", cli.category,
                   "Which category to run. `all` runs every implemented category EXCEPT the "
                   "opt-in heavy ones (`selfcheck`), which must be named explicitly")
        ->type_name("<CAT>")
        ->capture_default_str();
    app.add_option("--filter", cli.filter,
                   "Glob over model names (`*precall*`, `ext_*`, `*_ready`)")
        ->type_name("<PATTERN>")
        ->capture_default_str();
    app.add_option_function<std::string>(
           "-j,--jobs", unsigned_into(cli.jobs),
           "Parallel worker count. Default from `[parallel].jobs` in `tolvern.toml`. Capped at " +
               std::to_string(MAX_JOBS) + ", and at one worker per " +
               std::to_string(DESCRIPTORS_PER_WORKER) + " open files allowed beyond " +
               std::to_string(DESCRIPTORS_RESERVED) + " (see `ulimit -n`)")
        ->type_name("<N>");
    app.add_option_function<std::string>("--timeout", unsigned_into(cli.timeout),
                                         "Per-model timeout override (seconds)")
        ->type_name("<SECS>");
    app.add_option("--output", cli.output, "Output format")
        ->type_name("<FMT>")
        ->capture_default_str();
    app.add_flag("-k,--keep-going", cli.keep_going,
                 "Keep going after the first failure (informational — tolvern always runs to "
                 "completion; this flag exists for shell-script compatibility)");
    app.add_flag("--list", cli.list,
                 "Discover models and print one line per model, then exit 0. Useful for "
                 "cataloguing what `--category X` would run");
    app.add_option("--config", cli.config,
                   "Path to tolvern config. Default: ./tolvern.toml relative to the current "
                   "working directory")
        ->type_name("<PATH>")
        ->check(non_empty_path)
        ->capture_default_str();
    app.add_option("--kestrin", cli.kestrin,
                   "Path to the kestrin binary to test. Default: looks for "
                   "`target/release/kestrin` relative to the working directory")
        ->type_name("<PATH>")
        ->check(non_empty_path)
        ->capture_default_str();
    app.add_option("--ltscompare", cli.ltscompare,
                   "Path to the `ltscompare` binary used by the lts / verify / threads / lbs "
                   "categories' weak-failures comparator. When set, this OVERRIDES discovery — "
                   "no `<root>/dist/mcrl2/<host>/bin/` probe and no `$PATH` fallback. Use this "
                   "to pin the comparator to a known, vetted build (e.g. the zig-cross-built "
                   "one bundled in a release tarball) so the test never accidentally falls "
                   "through to a system-installed mcrl2 with different bytes. When unset, falls "
                   "back to discovery")
        ->type_name("<PATH>")
        ->check(non_empty_path);
    app.add_option("--root", cli.root,
                   "Repository root (where `test-models/` lives). Default: current working "
                   "directory")
        ->type_name("<PATH>")
        ->check(non_empty_path)
        ->capture_default_str();

    app.set_help_flag("-h,--help", "Print help");
}

// Hands the arguments after the program name to the parser; throws its errors.
void parse_arguments(CLI::App& app, int argc, const char* const* argv) {
    // The parser reads "--name=" as the option without its value, and would then take the next
    // argument as the value; so an empty value written that way goes to it as an argument of
    // its own.
    std::vector<std::string> args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") options = false;
        bool empty_value = options && arg.starts_with("--") && arg.find('=') == arg.size() - 1;
        if (empty_value) arg.pop_back();
        args.push_back(std::move(arg));
        if (empty_value) args.emplace_back();
    }
    // The parser takes the arguments last first.
    std::ranges::reverse(args);
    app.parse(std::move(args));
}

}  // namespace

std::expected<Cli, CliExit> Cli::parse(int argc, const char* const* argv) {
    Cli cli;
    std::string program = argc > 0 ? Path(argv[0]).filename().string() : "";
    CLI::App app("", program.empty() ? "tolvern" : program);
    declare_options(app, cli);
    try {
        parse_arguments(app, argc, argv);
    } catch (const CLI::CallForHelp&) {
        return std::unexpected(CliExit{0, app.help()});
    } catch (const CLI::ParseError& error) {
        return std::unexpected(
            CliExit{2, "error: " + std::string(error.what()) + "\n\nUsage: " + app.get_name() +
                           " [OPTIONS]\n\nFor more information, try '--help'.\n"});
    }
    return cli;
}

}  // namespace tolvern
