// The verify check: kestrin's verification report of a model against its verify golden, after a
// light whitespace normalisation.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

// The verify check. Named as kestrin's other tooling knows it; "inner" marks no outer layer here.
ModelResult check_verify_inner(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
