// The per-model check that the session runs in every category pass: the session knows the
// checks through this alone.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

// Dispatches on the pass's category and records the result, unless the session is stopping.
void check_model(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
