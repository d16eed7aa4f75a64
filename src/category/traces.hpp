// Trace names, the trace goldens of a model with their inputs ("simulate.{X}" with "trace.{X}")
// and the verdict on diverging traces, shared by the simulate, trace and simulate-repl checks.
#pragma once

#include <compare>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"

namespace tolvern::category {

// Numeric when both names are unsigned decimals, else by bytes.
std::strong_ordering compare_trace_names(std::string_view a, std::string_view b);

// Whether a file name can name a trace. Trace paths are built from the name as text, so a name
// that is not UTF-8 would turn into one that names no file: such a file is no trace at all.
bool is_trace_name(std::string_view file_name);

// A baseline entry whose name starts with a prefix: X is the rest of the name.
struct TraceGolden {
    std::string name;  // X
    Path golden;       // the baseline entry
};

// The entries of the model's "baseline" directory with trace names that start with the prefix,
// in listing order; an unlistable directory gives none, unreadable entries are skipped.
std::vector<TraceGolden> list_trace_goldens(const Path& model_dir, std::string_view prefix);

struct Divergence {
    Status status;
    std::string reason;
};

// The verdict on a model with diverging traces: "{n}/{traces} trace(s) diverge: " and the first
// eight entries joined by ",", then " (+{k} more)" for the others. A lone time-out is the model's
// time-out; among other divergences it is a failure.
Divergence divergence(const std::vector<std::string>& diverged, std::size_t traces, bool timed_out);

// A trace golden with the file that kestrin is given for it.
struct TraceInput {
    std::string name;  // X
    Path input;
    Path golden;
};

// The model's goldens "{golden_prefix}{X}" whose input "{input_prefix}{X}" exists in
// `input_dir`, sorted by trace name.
std::vector<TraceInput> traces_with_input(const Path& model_dir, std::string_view golden_prefix,
                                          const Path& input_dir, std::string_view input_prefix);

// Sorts by name with compare_trace_names, stably, for any element with a `name` field.
template <typename T>
void sort_by_trace_name(std::vector<T>& items);

}  // namespace tolvern::category

#include <algorithm>

template <typename T>
void tolvern::category::sort_by_trace_name(std::vector<T>& items) {
    // A merge sort: it finishes and keeps listing order among equal names even when mixed
    // numeric and text names make the order intransitive.
    std::stable_sort(items.begin(), items.end(), [](const T& a, const T& b) {
        return compare_trace_names(a.name, b.name) == std::strong_ordering::less;
    });
}
