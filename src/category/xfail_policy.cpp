// The .xfail marker policy. A check's result is settled here once: by the frame of a check with a
// session log, before the log takes the final status, and by the other checks at their end.
#include "category/xfail_policy.hpp"

#include <string>
#include <utility>

#include "category/xfail_policy_internal.hpp"
#include "files.hpp"

namespace tolvern::category {

bool takes_xfail_marker(Category category) {
    switch (category) {
        // Every result of the body of logged_check; none that ends the check before (a model
        // deferred or without traces, an output directory that could not be made).
        case Category::Lts:
        case Category::Lbs:
        case Category::Verify:
        case Category::Simulate:
        case Category::SimulateRepl: return true;
        // Only the outcomes the check calls markable. Parsing: all but a blocking skip.
        // Parse-compare: only a comparison's pass or divergence, not a missing or unreadable
        // golden nor a parse run that timed out or could not start. Misc: all but a missing
        // run.sh and a scratch directory that could not be made.
        case Category::Parsing:
        case Category::ParseCompare:
        case Category::Misc: return true;
        // A marker file of these categories changes nothing.
        case Category::Wfc:
        case Category::Symres:
        case Category::Threads:
        case Category::Vorlan:
        case Category::Trace:
        case Category::Selfcheck: return false;
    }
    return false;
}

ModelResult apply_xfail_marker(const Path& model_dir, ModelResult result) {
    auto marker = model_dir / "baseline" / (std::string(name(result.category)) + ".xfail");
    if (!files::is_regular_file(marker)) return result;
    result.xfail_marker = true;
    if (result.status == Status::Fail || result.status == Status::Timeout)
        result.status = Status::Xfail;
    return result;
}

ModelResult settle(const model::Model& model, Verdict verdict) {
    if (!verdict.markable || !takes_xfail_marker(verdict.result.category))
        return std::move(verdict.result);
    return apply_xfail_marker(model.dir, std::move(verdict.result));
}

}  // namespace tolvern::category
