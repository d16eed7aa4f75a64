// Thin file helpers over POSIX calls.
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "posix.hpp"
#include "text.hpp"

namespace tolvern::files {

std::expected<std::string, std::error_code> read_bytes(const std::filesystem::path& path) {
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return std::unexpected(std::error_code(errno, std::generic_category()));
    std::string bytes;
    struct stat st {};
    if (::fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode))
        bytes.reserve(static_cast<size_t>(st.st_size));
    if (auto read = posix::read_to_end(fd.fd, bytes); !read)
        return std::unexpected(std::error_code(read.error(), std::generic_category()));
    return bytes;
}

std::expected<std::string, std::error_code> read_text(const std::filesystem::path& path) {
    auto bytes = read_bytes(path);
    if (bytes && !text::is_valid_utf8(*bytes))
        return std::unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
    return bytes;
}

bool exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::filesystem::path canonical_or_same(const std::filesystem::path& path) {
    char* resolved = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::filesystem::path result(resolved);
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

std::string describe(const std::filesystem::path& path, const std::error_code& error) {
    return text::lossy(path) + ": " + error.message();
}

}  // namespace tolvern::files
