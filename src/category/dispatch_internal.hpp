// The part of the dispatcher that only dispatch.cpp and its tests use: a check's failure to
// return becomes that model's result.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

// The check's result; whatever it throws becomes a FAIL "internal error: {}" of that model.
using Check = ModelResult (*)(const CategoryContext&, const model::Model&);
ModelResult check_catching(const CategoryContext& context, const model::Model& model, Check check);

}  // namespace tolvern::category
