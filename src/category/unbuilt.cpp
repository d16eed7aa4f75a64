// Checks whose categories are not built yet: they say so as a SKIP rather than pass.
#include "category/checks.hpp"
#include "category/common.hpp"

namespace tolvern::category {

namespace {
ModelResult unbuilt(const Model& model, Category category) {
    return result(model.name, category, Status::Skip, "check not built yet", Duration{});
}
}  // namespace

ModelResult check_simulate_repl(const Model& m, const std::filesystem::path&, const std::filesystem::path&, Duration) { return unbuilt(m, Category::SimulateRepl); }

}  // namespace tolvern::category
