// The misc check: a model's own run.sh, run in a scratch directory, decides by its exit
// status.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_misc(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
