// The pool width under this process's open-file limit.
#include "pool_width.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace tolvern {

std::size_t pool_width(std::size_t requested, std::uint64_t open_file_limit) {
    const std::uint64_t room =
        open_file_limit > DESCRIPTORS_RESERVED
            ? (open_file_limit - DESCRIPTORS_RESERVED) / DESCRIPTORS_PER_WORKER
            : 0;
    const auto cap = static_cast<std::size_t>(std::min<std::uint64_t>(MAX_JOBS, room));
    return std::clamp<std::size_t>(requested, 1, std::max<std::size_t>(cap, 1));
}

std::size_t pool_width(std::size_t requested) {
    struct rlimit limit {};
    // Without an answer (or without a limit) only the fixed cap applies.
    std::uint64_t open_files = std::numeric_limits<std::uint64_t>::max();
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        open_files = static_cast<std::uint64_t>(limit.rlim_cur);
    return pool_width(requested, open_files);
}

}  // namespace tolvern
