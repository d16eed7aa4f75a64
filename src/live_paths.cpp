// The registry of the files being made, for the removal of what a process ending at once leaves.
#include "live_paths.hpp"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace tolvern::files {

namespace {

// How long `end` waits for the files being made.
constexpr auto MAKING_WAIT = std::chrono::seconds(5);

}  // namespace

std::expected<Path, int> LivePaths::make(const std::function<std::expected<Path, int>()>& make) {
    {
        std::lock_guard lock(mutex_);
        if (ended_) return std::unexpected(ECANCELED);
        ++making_;
    }
    auto made = make();
    std::lock_guard lock(mutex_);
    if (made) paths_.push_back(*made);
    if (--making_ == 0) made_.notify_all();
    return made;
}

void LivePaths::forget(const Path& path) {
    std::lock_guard lock(mutex_);
    auto found = std::find(paths_.begin(), paths_.end(), path);
    if (found == paths_.end()) return;
    *found = std::move(paths_.back());
    paths_.pop_back();
}

void LivePaths::end(const std::function<void(const Path&)>& remove) {
    std::unique_lock lock(mutex_);
    ended_ = true;
    made_.wait_for(lock, MAKING_WAIT, [&] { return making_ == 0; });
    for (const auto& path : paths_) remove(path);
    paths_.clear();
}

}  // namespace tolvern::files
