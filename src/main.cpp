// The entry point: the two hidden helper modes on .aut files, else one test session.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
    using tolvern::output::Target;
    if (argc < 3) {
        tolvern::output::put(Target::Err, "usage: tolvern " + std::string(mode) + " <file.aut>\n");
        return 2;
    }
    auto text = tolvern::files::read_text(argv[2]);
    if (!text) {
        tolvern::output::put(
            Target::Err, "error: " + std::string(argv[2]) + ": " + text.error().message() + "\n");
        return 2;
    }
    std::string out = mode == "normalize-lts"
                          ? tolvern::comparator::tau_normalize(*text)
                          : tolvern::comparator::extract_actions_containing(*text) + "\n";
    tolvern::output::put(Target::Out, std::move(out));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Results written nowhere would read as success: a session without a standard output runs
    // nothing.
    const bool without_stdout = ::fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
    // Progress lines written to a closed standard output would land in whatever file a check
    // opened on that number.
    tolvern::files::fill_standard_descriptors();
    if (without_stdout) std::exit(tolvern::output::failure_status(EBADF));
    // A reader that goes away must not kill the runner, nor a log that passes a file-size
    // limit: both are write errors here. Children get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Ignored, the children would be reaped by the system before they could be waited for.
    std::signal(SIGCHLD, SIG_DFL);
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
    // A stopped session ends by its signal: a shell that runs it stops its script only then.
    if (int signal = tolvern::shutdown::requested();
        signal != 0 && signal != SIGPIPE && status == 128 + signal)
        tolvern::shutdown::end_by(signal);
    std::exit(status);
}
