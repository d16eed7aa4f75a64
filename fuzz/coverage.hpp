// What the fuzzing driver learns from a run: which code it reached (edges reported by the
// compiler's trace-pc instrumentation, bucketed by hit count) and which byte strings the code
// compared its input with (from the sanitizers' memcmp hook), to feed back into the mutations.
#pragma once

#include <cstddef>
#include <string_view>

namespace fuzz::coverage {

// Clears the counters of the last run.
void reset();
// Adds the last run's edges to everything seen so far; true when it reached anything new.
bool merge_new();
// The number of distinct edge and hit-count pairs seen so far.
std::size_t points();

// One of the operands recently compared without a match, or empty when there is none yet.
std::string_view recent_operand(std::size_t pick);

}  // namespace fuzz::coverage
