// What a category pass lends to its per-model checks, and the shape of such a check: the one
// interface between the session, which runs the passes, and the checks, which know nothing of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>

#include "kinds.hpp"
#include "model.hpp"
#include "reporter.hpp"

namespace tolvern {

// What one category pass lends, read-only, to every per-model check.
struct CategoryContext {
    Category category;
    const Path& kestrin;
    Duration timeout;
    const std::optional<Path>& ltscompare;
    const Path& out_dir;
    std::span<const std::uint32_t> thread_counts;
    std::span<const Path> import_dirs;
    SharedReporter& reporter;
};

// The per-model check of a pass; it records its own result.
using ModelCheck = std::function<void(const CategoryContext&, const model::Model&)>;

}  // namespace tolvern
