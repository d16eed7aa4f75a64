// The per-step eligible pass of the simulate-repl check: every proper prefix of a trace is
// replayed, and the events kestrin calls eligible after it are compared with the golden set
// recorded for that step.
#include "category/eligible.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "category/common.hpp"
#include "category/eligible_internal.hpp"
#include "category/kestrin_cli.hpp"
#include "category/traces.hpp"
#include "files.hpp"
#include "runner.hpp"
#include "text.hpp"

namespace tolvern::category {

namespace {

// A step number K with its golden "eligible.{X}.{K}" as found in the listing.
struct Step {
    std::uint64_t number;
    Path golden;
};

// The goldens of the trace's steps, ascending, from the model's baseline directory; overrides,
// stderr goldens and names that are not numbers fail to parse and so add no step.
std::vector<Step> step_goldens(const model::Model& model, std::string_view trace_name) {
    std::vector<Step> steps;
    for (auto& found : list_trace_goldens(model.dir, "eligible." + std::string(trace_name) + "."))
        if (auto number = text::parse_u64(found.name))
            steps.push_back({*number, std::move(found.golden)});
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.number < b.number; });
    return steps;
}

// kestrin's run on the prefix of step k, written to a file of its own that no other run, in
// this session or another, can have, and removed once the run is over, however it ended;
// nothing when that file could not be written.
std::optional<runner::Outcome> run_on_prefix(const ReplTrace& trace, const ReplRun& repl,
                                             std::uint64_t k, std::string_view prefix) {
    auto file = files::make_scratch_file(
        "tolvern_elig_" + repl.model.name + "_" + trace.name + "_" + std::to_string(k) + "_",
        ".trace", prefix);
    if (!file) return std::nullopt;
    return runner::run(check_trace_invocation(repl.kestrin, repl.model, file->path, repl.timeout));
}

// The golden of step k: its override, else the listed step closest below or at k.
std::optional<Path> golden_of_step(const Path& baseline_dir, std::string_view trace_name,
                                   std::uint64_t k, const std::vector<Step>& steps) {
    auto override_path = baseline_dir / ("eligible." + std::string(trace_name) + "." +
                                         std::to_string(k) + ".override");
    if (files::exists(override_path)) return override_path;
    auto beyond =
        std::upper_bound(steps.begin(), steps.end(), k,
                         [](std::uint64_t n, const Step& step) { return n < step.number; });
    if (beyond == steps.begin()) return std::nullopt;
    return std::prev(beyond)->golden;
}

// Checks step k; an entry's suffix after "{X}-elig:{k}" when it fails, nothing when it passes
// or kestrin could not judge it.
std::optional<std::string> check_step(const ReplTrace& trace, const ReplRun& repl,
                                      const Path& baseline_dir, const std::vector<Step>& steps,
                                      std::uint64_t k, std::string_view prefix) {
    auto outcome = run_on_prefix(trace, repl, k, prefix);
    if (!outcome) return "(prefix-write)";
    if (std::holds_alternative<runner::TimedOut>(*outcome)) return "(timeout)";
    if (const auto* error = std::get_if<runner::SpawnError>(&*outcome))
        return "(spawn:" + error->message + ")";
    const auto& run = std::get<runner::Exited>(*outcome);
    if (is_blocking(run.stderr_text) || run.stderr_text.find("render bailed") != std::string::npos)
        return std::nullopt;

    auto golden = golden_of_step(baseline_dir, trace.name, k, steps);
    if (!golden) return "(missing)";
    auto expected = files::read_text(*golden);
    if (eligible_set_of(expected.value_or(std::string())) == eligible_set_of(run.stdout_text))
        return std::nullopt;
    return "";
}

}  // namespace

std::set<std::string> eligible_set_of(std::string_view text) {
    auto lines = text::split_lines(text);
    auto line = std::find_if(lines.rbegin(), lines.rend(), [](std::string_view candidate) {
        return text::trim_start(candidate).starts_with("(eligible");
    });
    if (line == lines.rend()) return {};
    std::set<std::string> items;
    for (auto item : text::quoted_items(*line))
        if (item != "<defer>") items.emplace(item);
    return items;
}

ReplTraceOut check_eligible_steps(const ReplTrace& trace, const ReplRun& repl,
                                  const Path& baseline_dir) {
    ReplTraceOut out;
    const auto steps = step_goldens(repl.model, trace.name);
    if (steps.empty()) return out;

    std::vector<std::string> entries;
    const std::string entry_head = trace.name + "-elig:";
    if (auto text = files::read_text(trace.trace)) {
        auto lines = text::split_lines(*text);
        std::string prefix;
        for (std::uint64_t k = 1; k < lines.size(); ++k) {
            prefix.append(lines[k - 1]).append("\n");
            if (auto failure = check_step(trace, repl, baseline_dir, steps, k, prefix))
                entries.push_back(entry_head + std::to_string(k) + *failure);
        }
    } else {
        entries.push_back(entry_head + "(trace-read)");
    }
    if (entries.empty()) return out;

    out.note("per-step eligible DIVERGE: " + text::join(entries, ","));
    out.tally.diverged = std::move(entries);
    return out;
}

}  // namespace tolvern::category
