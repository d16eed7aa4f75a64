// The selfcheck: kestrin checks the traces it generated itself for a model.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_selfcheck(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
