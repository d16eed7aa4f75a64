// Which checks' results the category's .xfail marker may turn into XFAIL: the policy, category by
// category, in one table, and the one place where the marker is applied.
#pragma once

#include <utility>

#include "kinds.hpp"
#include "model.hpp"
#include "reporter.hpp"

namespace tolvern::category {

// A check's result, and whether the check lets the marker judge it. A result is markable unless
// the check says otherwise: some outcomes say nothing about the model (a feature kestrin lacks, a
// missing golden), and a marker must not claim them.
struct Verdict {
    // Implicit, so that a check returns its markable results as they are.
    Verdict(ModelResult result, bool markable = true)
        : result(std::move(result)), markable(markable) {}
    ModelResult result;
    bool markable;
};

// A result that no marker may claim.
inline Verdict unmarkable(ModelResult result) {
    return {std::move(result), false};
}

// Whether the checks of the category consult its .xfail marker at all.
bool takes_xfail_marker(Category category);

// The result after the marker rule: apply_xfail_marker when the category takes markers and the
// verdict is markable, else the result as it is (its marker flag false).
ModelResult settle(const model::Model& model, Verdict verdict);

}  // namespace tolvern::category
