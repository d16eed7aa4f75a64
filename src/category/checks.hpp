// The per-model checks of the fourteen categories and the dispatcher that picks one.
#pragma once

#include <filesystem>
#include <optional>

#include "category/context.hpp"
#include "model.hpp"
#include "reporter.hpp"

namespace tolvern::category {

using model::Model;

// The per-model check of a pass: dispatches on the category and records the result.
void check_model(const CategoryContext& context, const Model& model);

// The check of the pass's category, its result returned rather than recorded.
ModelResult check(const CategoryContext& context, const Model& model);

// The check's result; whatever it throws becomes a FAIL "internal error: {}" of that model.
using Check = ModelResult (*)(const CategoryContext&, const Model&);
ModelResult check_catching(const CategoryContext& context, const Model& model, Check check);

ModelResult check_parsing(const CategoryContext& context, const Model& model);
ModelResult check_parse_compare(const CategoryContext& context, const Model& model);
ModelResult check_wfc(const CategoryContext& context, const Model& model);
ModelResult check_symres(const CategoryContext& context, const Model& model);
ModelResult check_misc(const CategoryContext& context, const Model& model);

ModelResult check_lts_as(const Model& model, const std::filesystem::path& kestrin,
                         const std::optional<std::filesystem::path>& ltscompare,
                         const std::filesystem::path& out_dir, Duration timeout, Category category);
ModelResult check_threads(const CategoryContext& context, const Model& model);
ModelResult check_vorlan(const CategoryContext& context, const Model& model);
ModelResult check_verify_inner(const CategoryContext& context, const Model& model);

ModelResult check_simulate(const CategoryContext& context, const Model& model);
ModelResult check_trace(const CategoryContext& context, const Model& model);
ModelResult check_selfcheck(const CategoryContext& context, const Model& model);

ModelResult check_simulate_repl(const Model& model, const std::filesystem::path& kestrin,
                                const std::filesystem::path& out_dir, Duration timeout);

}  // namespace tolvern::category
