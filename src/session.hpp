// The test session: from the command line through the category passes to the exit status.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "category/context.hpp"
#include "model.hpp"

namespace tolvern {

struct Cli;

// Runs the session and returns the exit status (0, 1 or 2).
int run(const Cli& cli);

// Sizes the process-wide worker pool and starts its threads; only the first call has an
// effect. Under a limit on processes the pool is narrower, leaving each worker room for the
// `processes` it runs at once; under a limit on address space, room for each worker thread's
// stack and heap. The "error: cannot start a thread: {error}" line when not one worker fits.
std::expected<void, std::string> start_pool(std::size_t workers, std::size_t processes);

// One pass: the check once for every model the category accepts, in parallel on the pool (on
// the calling thread when there is exactly one).
void run_category(const CategoryContext& context, std::span<const model::Model> models,
                  const ModelCheck& check);

}  // namespace tolvern
