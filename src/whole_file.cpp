// Writing a file whole: the bytes go to a new file beside the name, which then takes the name
// in one step, and the old file is removed. A replaced file is never written again, so that a
// reader that holds it open keeps reading its old bytes.
#include "whole_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "live_paths.hpp"
#include "posix.hpp"
#include "text.hpp"

namespace tolvern::files {

namespace {

// So much of the final name goes into a temporary one, which must stay within the 255 bytes
// that a name may have.
constexpr std::size_t NAME_PART = 200;

// The temporary files being written. A hard stop removes them; a session that a crash or
// SIGKILL ended leaves them, and a later one steps past their names.
LivePaths& being_written() {
    static auto* live = new LivePaths;
    return *live;
}

std::atomic<std::uint64_t> temporaries{0};

// ".{name}.{pid}-{n}" beside the path, with the next number of this process.
Path fresh_name(const Path& final_path) {
    const std::string name = final_path.filename().native().substr(0, NAME_PART);
    return final_path.parent_path() / text::concat({".", name, ".", std::to_string(::getpid()), "-",
                                                    std::to_string(temporaries.fetch_add(1))});
}

// A new file beside the path, with the mode of a file written in place (0666 before the umask),
// made by this call: whatever else holds a name it would take (a link, a FIFO) is stepped past,
// never opened.
std::expected<Path, int> create_beside(const Path& final_path, posix::Fd& file) {
    for (;;) {
        Path path = fresh_name(final_path);
        file = posix::Fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.fd >= 0) return path;
        if (errno != EEXIST) return std::unexpected(errno);
    }
}

// Puts the file `from` in the place of `to` in one step and removes the old file. Where the
// system can, the two swap names and the old file is then unlinked: ext4 writes a file renamed
// over another out to the disk at once.
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

std::expected<void, int> write_whole(const Path& path, std::string_view bytes) {
    auto& live = being_written();
    posix::Fd file;
    auto temporary = live.make([&] { return create_beside(path, file); });
    if (!temporary) return std::unexpected(temporary.error());
    auto written = posix::write_all(file.fd, bytes);
    if (written) written = file.close();
    if (written) written = replace(*temporary, path);
    if (!written) ::unlink(temporary->c_str());
    live.forget(*temporary);
    return written;
}

void end_whole_writes() {
    being_written().end([](const Path& path) { ::unlink(path.c_str()); });
}

}  // namespace tolvern::files
