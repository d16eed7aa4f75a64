// Thin file helpers over POSIX calls.
#include "files.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <utility>

#include "live_paths.hpp"
#include "posix.hpp"
#include "text.hpp"
#include "tree_removal.hpp"

namespace tolvern::files {

namespace {

std::error_code system_error(int error) {
    return {error, std::generic_category()};
}

// The one error of this category: a file that is there but is no regular file, which a read
// must not try (a FIFO may block for ever, a device may never end).
struct FileTypeCategory final : std::error_category {
    const char* name() const noexcept override { return "file type"; }
    std::string message(int) const override { return "not a regular file"; }
};

std::error_code not_regular_file() {
    static const FileTypeCategory category;
    return {1, category};
}

// Whether memory can hold a text of this size. The allocator linked into tolvern ends the
// process when a throwing allocation fails, so a file too large to hold is found out by a
// non-throwing one first, and a huge or sparse file stays an error like any other.
bool can_hold(std::size_t size) {
    void* probe = ::operator new(size + 1, std::nothrow);
    ::operator delete(probe);
    return probe != nullptr;
}

// The rest of an open regular file of the given size.
std::expected<std::string, std::error_code> read_whole(int fd, off_t size) {
    auto length = static_cast<std::size_t>(size);
    if (!can_hold(length)) return std::unexpected(system_error(EFBIG));
    std::string bytes;
    bytes.reserve(length);
    if (auto read = posix::read_to_end(fd, bytes); !read)
        return std::unexpected(system_error(read.error()));
    return bytes;
}

// "{temp_dir}/{stem}XXXXXX{suffix}", as the mk*temp calls take it; they change it even when
// they fail, so errors name the pattern kept aside.
std::string scratch_template(std::string_view stem, std::string_view suffix) {
    std::string name(stem);
    name.append("XXXXXX").append(suffix);
    return (temp_dir() / name).string();
}

std::string scratch_error(const std::string& path, int error) {
    return describe(path, system_error(error));
}

// The scratches that live `Scratch` owners hold, one entry per owner.
LivePaths& live_scratches() {
    static auto* live = new LivePaths;
    return *live;
}

// The name that `make` made from the pattern (false, with errno, when it failed), noted among the
// live scratches.
template <typename Make>
std::expected<std::string, std::string> make_live(const std::string& pattern, Make make) {
    auto made = live_scratches().make([&]() -> std::expected<Path, int> {
        auto name = pattern;
        if (!make(name)) return std::unexpected(errno);
        return name;
    });
    if (!made) return std::unexpected(scratch_error(pattern, made.error()));
    return made->native();
}

}  // namespace

std::expected<std::string, std::error_code> read_bytes(const Path& path) {
    // Opening a FIFO without a writer must not wait, and the type is asked of what was opened,
    // so that nothing can be put in its place in between.
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.fd < 0) return std::unexpected(system_error(errno));
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) return std::unexpected(system_error(errno));
    if (S_ISDIR(st.st_mode)) return std::unexpected(system_error(EISDIR));
    if (!S_ISREG(st.st_mode)) return std::unexpected(not_regular_file());
    return read_whole(fd.fd, st.st_size);
}

std::expected<std::string, std::error_code> read_text(const Path& path) {
    auto bytes = read_bytes(path);
    if (bytes && !text::is_valid_utf8(*bytes))
        return std::unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
    return bytes;
}

bool exists(const Path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const Path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Path canonical_or_same(const Path& path) {
    char* resolved = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    Path result(resolved);
    std::free(resolved);
    return result;
}

void fill_standard_descriptors() {
    // open() takes the lowest free number, which is the closed one as the lower ones are open.
    // Children get their standard streams from the spawn, never these.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            (void)::open("/dev/null", O_RDWR | O_CLOEXEC);
}

Path temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    Path path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    // A child started elsewhere must reach the same directory by the same text.
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute;
}

Scratch::~Scratch() {
    if (path.empty()) return;
    remove_tree(path);
    // Forgotten only once removed, so that a session ending meanwhile still removes it.
    live_scratches().forget(path);
}

std::expected<Scratch, std::string> make_scratch_dir(std::string_view stem) {
    auto made = make_live(scratch_template(stem, ""),
                          [](std::string& name) { return ::mkdtemp(name.data()) != nullptr; });
    if (!made) return std::unexpected(made.error());
    return Scratch(std::move(*made));
}

std::expected<Scratch, std::string> make_scratch_file(std::string_view stem,
                                                      std::string_view suffix,
                                                      std::string_view bytes) {
    posix::Fd fd;
    auto made = make_live(scratch_template(stem, suffix), [&](std::string& name) {
        fd = posix::Fd(::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
        return fd.fd >= 0;
    });
    if (!made) return std::unexpected(made.error());
    // From here on the file is ours, and goes again if it cannot be written whole.
    Scratch file(std::move(*made));
    const auto name = file.path.string();
    if (auto written = posix::write_all(fd.fd, bytes); !written)
        return std::unexpected(scratch_error(name, written.error()));
    if (auto closed = fd.close(); !closed)
        return std::unexpected(scratch_error(name, closed.error()));
    return file;
}

void end_all_scratch() {
    live_scratches().end([](const Path& path) { remove_tree(path); });
}

std::string describe(const Path& path, const std::error_code& error) {
    return text::lossy(path) + ": " + error.message();
}

}  // namespace tolvern::files
