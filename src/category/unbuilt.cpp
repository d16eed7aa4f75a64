// Checks whose categories are not built yet: they say so as a SKIP rather than pass.
#include "category/checks.hpp"
#include "category/common.hpp"

namespace tolvern::category {

namespace {
ModelResult unbuilt(const Model& model, Category category) {
    return result(model.name, category, Status::Skip, "check not built yet", Duration{});
}
}  // namespace

ModelResult check_parsing(const CategoryContext& c, const Model& m) { return unbuilt(m, c.category); }
ModelResult check_parse_compare(const CategoryContext& c, const Model& m) { return unbuilt(m, c.category); }
ModelResult check_wfc(const CategoryContext& c, const Model& m) { return unbuilt(m, c.category); }
ModelResult check_symres(const CategoryContext& c, const Model& m) { return unbuilt(m, c.category); }
ModelResult check_misc(const CategoryContext& c, const Model& m) { return unbuilt(m, c.category); }

}  // namespace tolvern::category
