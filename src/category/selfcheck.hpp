// The selfcheck: kestrin generates a model's traces itself and checks every one back against
// the model.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_selfcheck(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
