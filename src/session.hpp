// The test session: from the command line through the category passes to the exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "kinds.hpp"
#include "model.hpp"
#include "reporter.hpp"

namespace tolvern {

struct Cli;

// What one category pass lends, read-only, to every per-model check.
struct CategoryContext {
    Category category;
    const std::filesystem::path& kestrin;
    Duration timeout;
    const std::optional<std::filesystem::path>& ltscompare;
    const std::filesystem::path& out_dir;
    std::span<const std::uint32_t> thread_counts;
    std::span<const std::filesystem::path> import_dirs;
    SharedReporter& reporter;
};

// The per-model check of a pass; it records its own result.
using ModelCheck = std::function<void(const CategoryContext&, const model::Model&)>;

// Runs the session and returns the exit status (0, 1 or 2).
int run(const Cli& cli);

// Sizes the process-wide worker pool (at least one worker); only the first call has an effect.
void start_pool(std::size_t workers);

// One pass: the check once for every model the category accepts, in parallel on the pool (on
// the calling thread when there is exactly one).
void run_category(const CategoryContext& context, std::span<const model::Model> models,
                  const ModelCheck& check);

}  // namespace tolvern
