// The verify check: kestrin's verification report of a model against its verify golden, after a
// light whitespace normalisation.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_verify_inner(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
