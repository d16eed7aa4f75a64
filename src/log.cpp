// Session logs: the text of the "log" file (pure rendering of the recorded notes and commands)
// and the thin file effects around it, creating the per-model output directory and writing files
// into it, each replaced whole.
#include "log.hpp"

#include <errno.h>
#include <sys/stat.h>

#include <initializer_list>
#include <string>

#include "posix.hpp"
#include "text.hpp"
#include "whole_file.hpp"

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

namespace {

// What stands at a name, as a reason names it.
std::string_view file_kind(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "no directory";
}

// Makes the directory, or takes the one that is there already (another worker may have made it
// meanwhile). Anything else at the name, a link above all, is refused and left as it is: what it
// leads to is not the session's to write.
std::expected<void, std::string> own_directory(const Path& dir) {
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    if (errno != EEXIST) return std::unexpected(posix::error_text(errno));
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return std::unexpected(posix::error_text(errno));
    if (S_ISDIR(st.st_mode)) return {};
    return std::unexpected(
        text::concat({text::lossy(dir), " is ", file_kind(st.st_mode), ", not a directory"}));
}

}  // namespace

std::expected<Path, std::string> create(const Path& base, std::string_view category,
                                        std::string_view model) {
    // The output root is the user's choice, links and all; what is below it is the session's.
    std::error_code error;
    std::filesystem::create_directories(base, error);
    if (error) return std::unexpected(error.message());
    Path dir = base;
    for (auto part : {category, model}) {
        dir /= part;
        if (auto owned = own_directory(dir); !owned) return std::unexpected(owned.error());
    }
    return dir;
}

std::expected<Path, std::error_code> write(const Path& dir, std::string_view name,
                                           std::string_view bytes) {
    Path path = dir / name;
    if (auto written = files::write_whole(path, bytes); !written)
        return std::unexpected(error_code(written.error()));
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
