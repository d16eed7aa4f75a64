// The front-end checks (parsing, parse-compare, wfc, symres): each runs kestrin's "parse" once on
// the model and judges the outcome.
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

using model::Model;

ModelResult check_parsing(const CategoryContext& context, const Model& model);
ModelResult check_parse_compare(const CategoryContext& context, const Model& model);
ModelResult check_wfc(const CategoryContext& context, const Model& model);
ModelResult check_symres(const CategoryContext& context, const Model& model);

}  // namespace tolvern::category
