// The simulate and trace checks: every recorded trace of a model fed to kestrin and what it
// prints judged against the golden kept in the model's baseline.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_simulate(const CategoryContext& context, const model::Model& model);
ModelResult check_trace(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
