// Writing a file whole, cheaply on a rerun over the same files: the old file that a new one
// replaces is kept and written over as a later new file, rather than removed. On ext4 a file
// renamed over another is written out to the disk at once (auto_da_alloc), and without a journal
// a new file is searched past every file removed in the last half minute (recently_deleted), so
// that removing every old file and creating every new one made a rerun dearer by 6 to 12 %.
#include "whole_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "posix.hpp"
#include "text.hpp"

namespace tolvern::files {

namespace {

// So much of the final name goes into a temporary one, which must stay within the 255 bytes
// that a name may have.
constexpr std::size_t KEPT_NAME = 200;

// An old file that a replacement took the name of, where it is now and how long.
struct Spare {
    Path dir;
    Path path;
    off_t size = 0;
};

// The spares, the temporary files being written, and whether the process is ending, after which
// none is written. Never destroyed: the signal watcher may use it while the process ends.
struct Keeper {
    std::mutex mutex;
    bool ended = false;
    std::vector<Spare> spares;
    std::vector<Path> writing;
};

Keeper& keeper() {
    static auto* kept = new Keeper;
    return *kept;
}

// A spare in the directory when there is one, since it needs no move; else any.
std::optional<Spare> take_spare(const Path& dir) {
    auto& kept = keeper();
    std::lock_guard lock(kept.mutex);
    if (kept.spares.empty()) return std::nullopt;
    // Compared as text: comparing paths splits them into their components every time.
    auto found = std::find_if(kept.spares.begin(), kept.spares.end(), [&](const Spare& spare) {
        return spare.dir.native() == dir.native();
    });
    if (found == kept.spares.end()) found = kept.spares.end() - 1;
    Spare spare = std::move(*found);
    kept.spares.erase(found);
    return spare;
}

// Notes a temporary file being written; false when the process is ending.
bool note_writing(const Path& path) {
    auto& kept = keeper();
    std::lock_guard lock(kept.mutex);
    if (kept.ended) return false;
    kept.writing.push_back(path);
    return true;
}

// The temporary file is no longer being written: it took the name, or went. The old file it
// swapped names with, if any, is kept as a spare.
void done_writing(const Path& path, std::optional<Spare> spare = std::nullopt) {
    auto& kept = keeper();
    std::lock_guard lock(kept.mutex);
    std::erase_if(kept.writing, [&](const Path& written) { return written == path; });
    if (!spare) return;
    if (kept.ended)
        ::unlink(spare->path.c_str());
    else
        kept.spares.push_back(std::move(*spare));
}

// A session that a signal or a crash ended keeps its temporary files; a later one steps past
// their names.
std::atomic<std::uint64_t> temporaries{0};

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
    auto spare = take_spare(dir);
    for (;;) {
        Path path =
            spare && spare->dir.native() == dir.native() ? spare->path : fresh_name(final_path);
        posix::Fd file(spare ? reuse(spare->path, path)
                             : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.fd >= 0) {
            if (note_writing(path))
                return Temporary{path, std::move(file), spare ? spare->size : 0};
            ::unlink(path.c_str());
            return std::unexpected(ECANCELED);
        }
        if (errno == EEXIST) continue;
        if (!spare) return std::unexpected(errno);
        // A spare that cannot be used is removed: the next one, or a new file.
        ::unlink(spare->path.c_str());
        spare = take_spare(dir);
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

// Puts the file `from` in the place of `to` in one step: the old file, when it is to be kept as
// a spare. Where the system can, the two swap names, since a rename removes the old file and
// ext4 writes a file renamed over another out to the disk at once.
std::expected<std::optional<Spare>, int> replace(const Path& from, const Path& to) {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        if (auto spare = spare_of(from, to)) return spare;
        if (::unlink(from.c_str()) == 0) return std::nullopt;
        // What `to` held is no file to drop (a directory): it goes back in its place.
        int error = errno;
        ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
        return std::unexpected(error);
    }
    // Nothing to swap with yet, or a file system that cannot swap: a rename.
    if (errno != ENOENT && errno != EINVAL) return std::unexpected(errno);
#endif
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(errno);
    return std::nullopt;
}

}  // namespace

std::expected<void, int> write_whole(const Path& path, std::string_view bytes) {
    auto temporary = open_beside(path);
    if (!temporary) return std::unexpected(temporary.error());
    auto written = posix::write_all(temporary->file.fd, bytes);
    // A spare longer than the bytes is cut to them.
    const auto size = static_cast<off_t>(bytes.size());
    if (written && temporary->size > size && ::ftruncate(temporary->file.fd, size) != 0)
        written = std::unexpected(errno);
    if (written) written = temporary->file.close();
    std::expected<std::optional<Spare>, int> replaced = std::nullopt;
    if (written) replaced = replace(temporary->path, path);
    if (!written || !replaced) {
        ::unlink(temporary->path.c_str());
        done_writing(temporary->path);
        return std::unexpected(written ? replaced.error() : written.error());
    }
    done_writing(temporary->path, std::move(*replaced));
    return {};
}

void end_whole_writes() {
    auto& kept = keeper();
    std::lock_guard lock(kept.mutex);
    kept.ended = true;
    for (const auto& spare : kept.spares) ::unlink(spare.path.c_str());
    for (const auto& path : kept.writing) ::unlink(path.c_str());
    kept.spares.clear();
    kept.writing.clear();
}

}  // namespace tolvern::files
