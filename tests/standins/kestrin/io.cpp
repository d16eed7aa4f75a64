// Byte I/O of the stand-in: exact writes to descriptors, files streamed in chunks so that any
// size works, whole-file and whole-stream reads.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "standin.hpp"

namespace standin {

namespace {

constexpr std::size_t CHUNK = 1 << 16;

// Closes a descriptor at the end of its scope.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string read_all(int fd) {
    std::string bytes;
    std::array<char, CHUNK> buffer;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return bytes;
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

void stream_file(int fd, const fs::path& path) {
    Fd in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return;
    std::array<char, CHUNK> buffer;
    for (;;) {
        ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        write_all(fd, {buffer.data(), static_cast<std::size_t>(n)});
    }
}

std::optional<std::string> read_file(const fs::path& path) {
    Fd in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return std::nullopt;
    return read_all(in.fd);
}

void fail(std::string_view message) {
    write_all(2, "kestrin stand-in: " + std::string(message) + "\n");
    _exit(2);
}

bool is_file(const fs::path& path) {
    std::error_code ignored;
    return fs::is_regular_file(path, ignored);
}

}  // namespace standin
