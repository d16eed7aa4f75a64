// The entry point: the two hidden helper modes on .aut files, else one test session.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "cli.hpp"
#include "comparator.hpp"
#include "files.hpp"
#include "output.hpp"
#include "session.hpp"
#include "shutdown.hpp"

namespace {

// "normalize-lts FILE" prints the normalised .aut text; "flush-actions FILE" its flush alphabet.
int helper_mode(std::string_view mode, int argc, const char* const* argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tolvern %.*s <file.aut>\n", static_cast<int>(mode.size()),
                     mode.data());
        return 2;
    }
    auto text = tolvern::files::read_text(argv[2]);
    if (!text) {
        std::fprintf(stderr, "error: %s: %s\n", argv[2], text.error().message().c_str());
        return 2;
    }
    std::string out = mode == "normalize-lts"
                          ? tolvern::comparator::tau_normalize(*text)
                          : tolvern::comparator::extract_actions_containing(*text) + "\n";
    tolvern::output::put(tolvern::output::Target::Out, std::move(out));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Progress lines written to a closed standard output would land in whatever file a check
    // opened on that number.
    tolvern::files::fill_standard_descriptors();
    // A reader that goes away must not kill the runner; children get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    int status;
    if (argc >= 2 && (std::strcmp(argv[1], "normalize-lts") == 0 ||
                      std::strcmp(argv[1], "flush-actions") == 0)) {
        status = helper_mode(argv[1], argc, argv);
    } else {
        auto cli = tolvern::Cli::parse(argc, argv);
        if (!cli) {
            tolvern::output::put(cli.error().status == 0 ? tolvern::output::Target::Out
                                                         : tolvern::output::Target::Err,
                                 std::move(cli.error().text));
            status = cli.error().status;
        } else {
            // Before the worker pool exists, so that every thread leaves the signals to the
            // watcher.
            tolvern::shutdown::watch_signals();
            tolvern::output::start();
            status = tolvern::run(*cli);
        }
    }
    // Results that could not be written must never read as success: neither those a stop kept
    // from a reader that does not read, nor those a failed write lost.
    if (!tolvern::output::flush()) status = 128 + tolvern::shutdown::requested();
    if (int error = tolvern::output::failure()) status = tolvern::output::failure_status(error);
    std::exit(status);
}
