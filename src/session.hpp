// The test session: from the command line through the category passes to the exit status.
#pragma once

#include <cstddef>
#include <span>

#include "category/context.hpp"
#include "model.hpp"

namespace tolvern {

struct Cli;

// Runs the session and returns the exit status (0, 1 or 2).
int run(const Cli& cli);

// Sizes the process-wide worker pool (at least one worker); only the first call has an effect.
void start_pool(std::size_t workers);

// One pass: the check once for every model the category accepts, in parallel on the pool (on
// the calling thread when there is exactly one).
void run_category(const CategoryContext& context, std::span<const model::Model> models,
                  const ModelCheck& check);

}  // namespace tolvern
