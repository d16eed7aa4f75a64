// The threads check (every thread count of the session gives the one-thread LTS's behaviour) and
// the vorlan check (an external corpus model's LTS against its gold).
#pragma once

#include "category/context.hpp"

namespace tolvern::category {

ModelResult check_threads(const CategoryContext& context, const model::Model& model);
ModelResult check_vorlan(const CategoryContext& context, const model::Model& model);

}  // namespace tolvern::category
