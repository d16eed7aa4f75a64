// Session logs: the text of the "log" file (pure rendering of the recorded notes and commands)
// and the thin file effects around it, creating the per-model output directory and writing files
// into it, each replaced whole.
#include "log.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
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

// An old file that a replacement took the name of, where it is now and how long.
struct Spare {
    Path dir;
    Path path;
    off_t size = 0;
};

// The spares. Each is written over as a later temporary file instead of being removed, and those
// left are removed as the process ends: on ext4 without a journal, a new file searches past
// every file removed in the last half minute (its recently_deleted), so that removing every old
// file and creating every new one made a rerun over the same output root dearer by 6 to 12 %.
class Spares {
  public:
    ~Spares() {
        for (const auto& spare : kept_) ::unlink(spare.path.c_str());
    }
    // One in the directory when there is one, since it needs no move; else any.
    std::optional<Spare> take(const Path& dir) {
        std::lock_guard lock(mutex_);
        if (kept_.empty()) return std::nullopt;
        // Compared as text: comparing paths splits them into their components every time.
        auto found = std::find_if(kept_.begin(), kept_.end(), [&](const Spare& spare) {
            return spare.dir.native() == dir.native();
        });
        if (found == kept_.end()) found = kept_.end() - 1;
        Spare spare = std::move(*found);
        kept_.erase(found);
        return spare;
    }
    void give(Spare spare) {
        std::lock_guard lock(mutex_);
        kept_.push_back(std::move(spare));
    }

  private:
    std::mutex mutex_;
    std::vector<Spare> kept_;
};

Spares spares;

struct Temporary {
    Path path;
    posix::Fd file;
    off_t size = 0;  // of what it holds before it is written
};

// A name ".{name}.{pid}-{n}" beside the path that no file of this process had.
Path fresh_name(const Path& final_path) {
    const std::string name = final_path.filename().native().substr(0, KEPT_NAME);
    return final_path.parent_path() / text::concat({".", name, ".", std::to_string(::getpid()), "-",
                                                    std::to_string(temporaries.fetch_add(1))});
}

// Makes the spare the file at the path, opened to be written over; -1 when that fails, EEXIST
// when the path is taken. A spare in another directory is linked there and then unlinked where
// it was, since a rename from one directory to another waits on every other such rename of the
// file system.
int reuse(const Path& spare, const Path& path) {
    if (spare != path) {
        if (::link(spare.c_str(), path.c_str()) != 0) return -1;
        ::unlink(spare.c_str());
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) ::unlink(path.c_str());
    return fd;
}

// A file beside the path, under a name that no other file has, to be written from its start: a
// spare, or a new file with the mode of a file written in place (0666 before the umask).
std::expected<Temporary, int> open_beside(const Path& final_path) {
    const Path dir = final_path.parent_path();
    auto spare = spares.take(dir);
    for (;;) {
        Path path =
            spare && spare->dir.native() == dir.native() ? spare->path : fresh_name(final_path);
        posix::Fd file(spare ? reuse(spare->path, path)
                             : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.fd >= 0)
            return Temporary{std::move(path), std::move(file), spare ? spare->size : 0};
        if (errno == EEXIST) continue;
        if (!spare) return std::unexpected(errno);
        // A spare that cannot be used is removed: the next one, or a new file.
        ::unlink(spare->path.c_str());
        spare = spares.take(dir);
    }
}

// The old file, swapped to `from`, as a spare when it may be written over as a later temporary
// file: a regular file that no other name links to, with the mode and owner of the new file at
// `to`.
std::optional<Spare> spare_of(const Path& from, const Path& to) {
    struct stat old, now;
    if (::lstat(from.c_str(), &old) != 0 || ::lstat(to.c_str(), &now) != 0 ||
        !S_ISREG(old.st_mode) || old.st_nlink != 1 || old.st_mode != now.st_mode ||
        old.st_uid != now.st_uid)
        return std::nullopt;
    return Spare{from.parent_path(), from, old.st_size};
}

// Puts the file `from` in the place of `to` in one step. Where the system can, the two swap
// names and the old file becomes a spare: ext4 writes a file renamed over another out to the
// disk at once (its auto_da_alloc), and a rename removes the old file.
std::expected<void, int> replace(const Path& from, const Path& to) {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        if (auto spare = spare_of(from, to)) {
            spares.give(std::move(*spare));
            return {};
        }
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
    Path path = dir / name;
    auto temporary = open_beside(path);
    if (!temporary) return std::unexpected(error_code(temporary.error()));
    auto written = posix::write_all(temporary->file.fd, bytes);
    // A spare longer than the bytes is cut to them.
    const auto size = static_cast<off_t>(bytes.size());
    if (written && temporary->size > size && ::ftruncate(temporary->file.fd, size) != 0)
        written = std::unexpected(errno);
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
