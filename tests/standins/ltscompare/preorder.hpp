// The weak-failures preorder between two systems over one label numbering: left <= right when
// every weak trace of left is one of right and every stable failure of left is one of right.
#pragma once

#include <optional>
#include <vector>

#include "aut.hpp"

namespace ltscompare {

struct Counterexample {
    std::vector<Label> trace;  // visible labels only
    // Present when the trace is shared but left, after it, has a stable state offering only
    // these labels (so refusing all others) and no stable state of right refuses as much.
    std::optional<std::vector<Label>> offers;
};

// Nothing when left <= right; else a counterexample with a shortest trace.
std::optional<Counterexample> weak_failures_counterexample(const Lts& left, const Lts& right);

}  // namespace ltscompare
