// The per-model check of a category pass: one check by category, then the result to the
// reporter under its lock, unless the session is stopping.
#include "category/dispatch.hpp"

#include <exception>
#include <string>

#include "category/common.hpp"
#include "category/dispatch_internal.hpp"
#include "category/lts.hpp"
#include "category/misc.hpp"
#include "category/parse_checks.hpp"
#include "category/selfcheck.hpp"
#include "category/simulate.hpp"
#include "category/simulate_repl.hpp"
#include "category/threads_vorlan.hpp"
#include "category/verify.hpp"
#include "shutdown.hpp"

namespace tolvern::category {

using model::Model;

namespace {

// The check of the pass's category, its result returned rather than recorded.
ModelResult check(const CategoryContext& context, const Model& model) {
    switch (context.category) {
        case Category::Parsing: return check_parsing(context, model);
        case Category::ParseCompare: return check_parse_compare(context, model);
        case Category::Wfc: return check_wfc(context, model);
        case Category::Symres: return check_symres(context, model);
        case Category::Lts:
        case Category::Lbs:
            return check_lts_as(model, context.kestrin, context.ltscompare, context.out_dir,
                                context.timeout, context.category);
        case Category::Verify: return check_verify_inner(context, model);
        case Category::Vorlan: return check_vorlan(context, model);
        case Category::Threads: return check_threads(context, model);
        case Category::Misc: return check_misc(context, model);
        case Category::Simulate: return check_simulate(context, model);
        case Category::SimulateRepl:
            return check_simulate_repl(model, context.kestrin, context.out_dir, context.timeout);
        case Category::Trace: return check_trace(context, model);
        case Category::Selfcheck: return check_selfcheck(context, model);
    }
    // Only a corrupt category value gets here; it must not count as a pass.
    return result(model.name, context.category, Status::Fail, "unknown category", Duration{});
}

}  // namespace

// Whatever a check throws (out of memory, a library's exception) is that model's failure: left
// to leave the worker pool, it would end the session and lose every result.
ModelResult check_catching(const CategoryContext& context, const Model& model, Check check) {
    std::string what;
    try {
        return check(context, model);
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        what = "unknown exception";
    }
    return result(model.name, context.category, Status::Fail, "internal error: " + what,
                  Duration{});
}

void check_model(const CategoryContext& context, const Model& model) {
    // Once the session stops, nothing new is checked, and a check that the stop cut short is
    // not reported: its runs were ended, not judged.
    if (shutdown::requested() != 0) return;
    auto checked = check_catching(context, model, category::check);
    if (shutdown::requested() != 0) return;
    Reporter::record(context.reporter, std::move(checked));
}

}  // namespace tolvern::category
