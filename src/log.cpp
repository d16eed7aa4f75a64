// Session logs: the text of the "log" file (pure rendering of the recorded notes and commands)
// and the thin file effects around it, creating the per-model output directory and writing files.
#include "log.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <string>

#include "posix.hpp"
#include "text.hpp"

namespace tolvern::log {

namespace {

constexpr std::size_t MAX_LISTED_LINES = 20;

// Lines as split_lines counts them: a last line without a line feed counts, an empty text has
// none. Counted without splitting, as artefacts may be large.
std::size_t line_count(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += c == '\n';
    return count + (!text.empty() && !text.ends_with('\n'));
}

bool is_shell_safe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("%+,-./:=@_~").find(c) != std::string_view::npos;
}

std::string ms_text(Duration elapsed) {
    return std::to_string(millis(elapsed));
}

// Appends the pieces in order: one line of the log is usually made of several.
void render_ending(std::string& out, const Exited& exited) {
    out += text::concat(
        {"exit: ", std::to_string(exited.code), "  (", ms_text(exited.elapsed), " ms)\n"});
    out += render_stream("stdout", exited.out);
    out += render_stream("stderr", exited.err);
}

void render_ending(std::string& out, const runner::TimedOut& timed_out) {
    out += text::concat({"exit: TIMEOUT  (", ms_text(timed_out.elapsed), " ms)\n"});
}

void render_ending(std::string& out, const runner::SpawnError& error) {
    out += text::concat({"exit: SPAWN_ERROR  (", error.message, ")\n"});
}

void render_cmd(std::string& out, std::size_t number, const Cmd& cmd) {
    out += text::concat({"## (", std::to_string(number), ") ", cmd.label, "\n"});
    out += text::concat({"$ ", shell_escape(text::lossy(cmd.program))});
    for (const auto& arg : cmd.args) out += text::concat({" ", shell_escape(arg)});
    out += "\n";
    std::visit([&](const auto& ending) { render_ending(out, ending); }, cmd.ending);
    out += "\n";
}

std::error_code error_code(int error) {
    return {error, std::generic_category()};
}

// A session that a signal or a crash ended keeps its temporary files; a later one steps past
// their names.
std::atomic<std::uint64_t> temporaries{0};

// So much of the final name goes into a temporary one, which must stay within the 255 bytes
// that a name may have.
constexpr std::size_t KEPT_NAME = 200;

struct Temporary {
    Path path;
    posix::Fd file;
};

// A new file ".{name}.{pid}-{n}" beside dir/name, that no other file had, with the mode of a
// file written in place (0666 before the umask).
std::expected<Temporary, int> create_beside(const Path& dir, std::string_view name) {
    const auto stem =
        text::concat({".", name.substr(0, KEPT_NAME), ".", std::to_string(::getpid()), "-"});
    for (;;) {
        Path path = dir / (stem + std::to_string(temporaries.fetch_add(1)));
        posix::Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.fd >= 0) return Temporary{std::move(path), std::move(file)};
        if (errno != EEXIST) return std::unexpected(errno);
    }
}

// Puts the file `from` in the place of `to` in one step. Where the system can, the two swap
// names and the old file is removed after: ext4 writes a file renamed over another out to the
// disk at once (its auto_da_alloc), which on a rerun over the same output root would cost more
// than the runs themselves; a swap is no such rename.
std::expected<void, int> replace(const Path& from, const Path& to) {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        if (::unlink(from.c_str()) == 0) return {};
        // What `to` held is no file to drop (a directory): it goes back in its place.
        int error = errno;
        ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
        return std::unexpected(error);
    }
    // Nothing to swap with yet, or a file system that cannot swap: a rename.
    if (errno != ENOENT && errno != EINVAL) return std::unexpected(errno);
#endif
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(errno);
    return {};
}

}  // namespace

CapturedStream capture(std::string_view text, std::optional<Path> artefact) {
    CapturedStream stream{std::nullopt, line_count(text), std::move(artefact)};
    if (!stream.artefact && stream.lines <= MAX_LISTED_LINES) stream.text = std::string(text);
    return stream;
}

Cmd record(std::string label, const runner::Invocation& invocation, const runner::Outcome& outcome,
           std::optional<Path> stdout_file, std::optional<Path> stderr_file) {
    auto ending = [&]() -> Ending {
        if (const auto* exited = std::get_if<runner::Exited>(&outcome))
            return Exited{exited->code, exited->elapsed,
                          capture(exited->stdout_text, std::move(stdout_file)),
                          capture(exited->stderr_text, std::move(stderr_file))};
        if (const auto* timed_out = std::get_if<runner::TimedOut>(&outcome)) return *timed_out;
        return std::get<runner::SpawnError>(outcome);
    };
    return Cmd{std::move(label), invocation.program, invocation.args, ending()};
}

std::string SessionLog::render(std::string_view status, std::string_view reason,
                               Duration elapsed) const {
    std::string out;
    out += text::concat(
        {"== tolvern: ", model, " (", category, ")  ", status, "  ", ms_text(elapsed), "ms ==\n"});
    if (!reason.empty()) out += text::concat({"reason: ", reason, "\n"});
    out += "\n";
    std::size_t commands = 0;
    for (const auto& entry : entries) {
        if (const auto* note = std::get_if<Note>(&entry))
            out += text::concat({"[note] ", note->text, "\n"});
        else
            render_cmd(out, ++commands, std::get<Cmd>(entry));
    }
    return out;
}

std::expected<void, std::error_code> SessionLog::write_to(const Path& dir, std::string_view status,
                                                          std::string_view reason) const {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return std::unexpected(error);
    auto written = ModelOutDir::write(dir, "log", render(status, reason, posix::since(start)));
    if (!written) return std::unexpected(written.error());
    return {};
}

namespace ModelOutDir {

// create_directories accepts a directory that another thread made meanwhile, so workers
// creating the same category directory at once need no lock.
std::expected<Path, std::error_code> create(const Path& base, std::string_view category,
                                            std::string_view model) {
    Path dir = base / category / model;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return std::unexpected(error);
    return dir;
}

std::expected<Path, std::error_code> write(const Path& dir, std::string_view name,
                                           std::string_view bytes) {
    // Written beside and put in place whole, so that a session ended at any point leaves
    // either the old file or the new one, never the start of one and the rest of the other.
    auto temporary = create_beside(dir, name);
    if (!temporary) return std::unexpected(error_code(temporary.error()));
    Path path = dir / name;
    auto written = posix::write_all(temporary->file.fd, bytes);
    if (written) written = temporary->file.close();
    if (written) written = replace(temporary->path, path);
    if (!written) {
        ::unlink(temporary->path.c_str());
        return std::unexpected(error_code(written.error()));
    }
    return path;
}

}  // namespace ModelOutDir

std::string shell_escape(std::string_view text) {
    if (text.empty()) return "''";
    bool safe = true;
    for (char c : text) safe = safe && is_shell_safe(c);
    if (safe) return std::string(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string render_stream(std::string_view name, const CapturedStream& stream) {
    std::string out;
    if (stream.artefact) {
        out += text::concat({name, " → ", text::lossy(*stream.artefact), "  (",
                             std::to_string(stream.lines), " lines)\n"});
    } else if (!stream.text) {
        out += text::concat({name, ": ", std::to_string(stream.lines),
                             " lines (long; use --keep-artefacts to dump)\n"});
    } else if (stream.text->empty()) {
        out += text::concat({name, ": (empty)\n"});
    } else {
        out += text::concat({name, ":\n"});
        for (auto line : text::split_lines(*stream.text)) out += text::concat({"  ", line, "\n"});
    }
    return out;
}

}  // namespace tolvern::log
