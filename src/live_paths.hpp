// The files a process is making and has not yet put in a lasting place or removed, noted as each
// is made, so that a process which has to end at once can remove them first.
#pragma once

#include <condition_variable>
#include <expected>
#include <functional>
#include <mutex>
#include <vector>

#include "kinds.hpp"

namespace tolvern::files {

// Make one with `new` and never destroy it: the signal watcher may end it while the process
// ends.
class LivePaths {
  public:
    // Runs `make`, which makes a file and gives its path or the errno, and notes the path:
    // ECANCELED once `end` has begun, and `end` waits for the makes under way, so that it finds
    // every file. Files are made side by side, outside the lock: making one may take a while.
    std::expected<Path, int> make(const std::function<std::expected<Path, int>()>& make);
    // The file at the path went, or has its lasting place: `end` leaves it alone.
    void forget(const Path& path);
    // Removes every file noted and not forgotten, and from then on makes none. A make under way
    // is waited for, a few seconds at most, so that a hung file system cannot hold the end.
    void end(const std::function<void(const Path&)>& remove);

  private:
    std::mutex mutex_;
    std::condition_variable made_;
    bool ended_ = false;
    int making_ = 0;
    std::vector<Path> paths_;
};

}  // namespace tolvern::files
