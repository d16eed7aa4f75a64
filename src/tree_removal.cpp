// Removal of a file or directory tree that a script may have tampered with: it may have put links
// anywhere in it, the root included, and taken its owner's rights away on its directories.
#include "tree_removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posix.hpp"

namespace tolvern::files {

namespace {

// Opens a directory only to name it in the *at calls, which needs no right to read it.
#if defined(O_PATH)
constexpr int SEARCH_ONLY = O_PATH;
#elif defined(O_SEARCH)
constexpr int SEARCH_ONLY = O_SEARCH;
#else
constexpr int SEARCH_ONLY = O_RDONLY;
#endif

// Which directory a descriptor is, whatever name it has now.
struct DirId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const DirId&) const = default;
};

std::expected<DirId, int> identity(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(errno);
    return DirId{st.st_dev, st.st_ino};
}

// Removes the entry; one that is gone already is no failure.
bool remove_entry(int dir, const char* name, int flags) {
    return ::unlinkat(dir, name, flags) == 0 || errno == ENOENT;
}

// The directory `name` in `dir`, opened for reading without following a link (ELOOP or ENOTDIR
// when the entry is no directory), with every right of its owner given back.
std::expected<posix::Fd, int> open_dir(int dir, const char* name) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    posix::Fd opened(::openat(dir, name, flags));
    if (opened.fd < 0 && errno == EACCES) {
        // Unreadable, so its rights can only be given back through its name, and the flag keeps
        // that from passing through a link: glibc (2.32 on) refuses a link and changes what an
        // O_PATH descriptor holds, through /proc; macOS takes the flag itself. Where neither
        // works (no /proc, an older glibc) the directory is left.
        if (::fchmodat(dir, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(errno);
        opened = posix::Fd(::openat(dir, name, flags));
    }
    if (opened.fd < 0) return std::unexpected(errno);
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0) return std::unexpected(errno);
    // What was opened is changed, never a name. A failure (a directory of another owner) is left
    // for the removals to find out.
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        (void)::fchmod(opened.fd, (st.st_mode & 07777) | S_IRWXU);
    return opened;
}

// Whether the entry is a directory (a link never is); ENOENT when it is gone.
std::expected<bool, int> is_directory(int dir, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat st {};
    if (::fstatat(dir, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(errno);
    return S_ISDIR(st.st_mode);
}

// Removes every entry of the open directory that is no directory, links included, and gives the
// names of its subdirectories.
std::expected<std::vector<std::string>, int> clear_files(int dir) {
    posix::Fd copy(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (copy.fd < 0) return std::unexpected(errno);
    std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(copy.fd), ::closedir);
    if (!stream) return std::unexpected(errno);
    copy.fd = -1;  // the stream's own now
    std::vector<std::string> subdirs;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(stream.get());
        if (entry == nullptr) break;
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        auto directory = is_directory(dir, *entry);
        if (!directory) {
            if (directory.error() == ENOENT) continue;
            return std::unexpected(directory.error());
        }
        if (*directory)
            subdirs.emplace_back(name);
        else if (!remove_entry(dir, entry->d_name, 0))
            return std::unexpected(errno);
    }
    if (errno != 0) return std::unexpected(errno);
    return subdirs;
}

// One directory on the path from the walk's top down to where it stands.
struct Level {
    DirId id;
    std::string name;                  // in the level above
    std::vector<std::string> subdirs;  // still to clear
};

struct Entered {
    posix::Fd fd;
    Level level;
};

// Enters the directory `name` in `dir`: everything in it but its subdirectories is removed.
// Nothing when the entry is gone, or was no directory (a link, say) and so was removed.
std::expected<std::optional<Entered>, int> enter(int dir, std::string name) {
    auto opened = open_dir(dir, name.c_str());
    if (!opened) {
        switch (opened.error()) {
            case ENOENT: return std::nullopt;
            case ELOOP:
            case ENOTDIR:
                if (remove_entry(dir, name.c_str(), 0)) return std::nullopt;
                return std::unexpected(errno);
            default: return std::unexpected(opened.error());
        }
    }
    auto id = identity(opened->fd);
    if (!id) return std::unexpected(id.error());
    auto subdirs = clear_files(opened->fd);
    if (!subdirs) return std::unexpected(subdirs.error());
    return Entered{std::move(*opened), Level{*id, std::move(name), std::move(*subdirs)}};
}

// The parent of the directory the walk stands on, which must be the level it came from: a
// directory moved meanwhile must never lead the walk out of the tree.
std::expected<posix::Fd, int> climb(int dir, const DirId& expected) {
    posix::Fd up(::openat(dir, "..", SEARCH_ONLY | O_DIRECTORY | O_CLOEXEC));
    if (up.fd < 0) return std::unexpected(errno);
    auto id = identity(up.fd);
    if (!id) return std::unexpected(id.error());
    if (*id != expected) return std::unexpected(ESTALE);
    return up;
}

}  // namespace

void remove_tree(const Path& path) {
    const auto parent = path.parent_path();
    posix::Fd here(
        ::open(parent.empty() ? "." : parent.c_str(), SEARCH_ONLY | O_DIRECTORY | O_CLOEXEC));
    auto top = identity(here.fd);
    if (!top) return;
    // The parent is the walk's top and the path its only subdirectory, so that the root is entered,
    // or removed as a link or file, like any entry below it. Only the directory the walk stands on
    // stays open (and for a moment the one it enters or climbs to, and a copy to list it): the
    // path down is kept as names and identities, so that depth costs memory, not descriptors.
    std::vector<Level> levels{{*top, {}, {path.filename().string()}}};
    while (levels.size() > 1 || !levels.back().subdirs.empty()) {
        if (auto& subdirs = levels.back().subdirs; !subdirs.empty()) {
            auto name = std::move(subdirs.back());
            subdirs.pop_back();
            auto entered = enter(here.fd, std::move(name));
            if (!entered) return;
            if (*entered) {
                here = std::move((*entered)->fd);
                levels.push_back(std::move((*entered)->level));
            }
            continue;
        }
        // Cleared: removed from the level above, once the walk stands there again.
        auto cleared = std::move(levels.back().name);
        levels.pop_back();
        auto up = climb(here.fd, levels.back().id);
        if (!up) return;
        here = std::move(*up);
        if (!remove_entry(here.fd, cleared.c_str(), AT_REMOVEDIR)) return;
    }
}

}  // namespace tolvern::files
