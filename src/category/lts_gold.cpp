// The comparison of a captured LTS with its gold: both normalised and kept, the actions to hide
// worked out from flush labels and provided ports, and ltscompare run both ways into the log.
#include "category/lts_gold.hpp"

#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <utility>
#include <variant>

#include "category/common.hpp"
#include "category/kestrin_cli.hpp"
#include "category/lts_gold_internal.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tolvern::category {

using comparator::WeakFailuresVerdict;

namespace {

// The provided-port events that either normalised text mentions, from the JSON port description
// that kestrin prints; anything unexpected in it contributes nothing.
std::string port_events(std::string_view ports_json, std::string_view ours, std::string_view gold) {
    std::set<std::string, std::less<>> events;
    try {
        auto doc = nlohmann::json::parse(ports_json, nullptr, /*allow_exceptions=*/false);
        if (!doc.is_object()) return {};
        auto ports = doc.find("ports");
        if (ports == doc.end() || !ports->is_array()) return {};
        for (const auto& port : *ports) {
            if (!port.is_object()) continue;
            auto direction = port.find("direction");
            auto name = port.find("name");
            if (direction == port.end() || name == port.end() || !name->is_string() ||
                *direction != "provides")
                continue;
            for (std::string_view kind : {".inevitable", ".optional"}) {
                auto event = name->get<std::string>() + std::string(kind);
                auto quoted = '"' + event + '"';
                if (ours.find(quoted) != std::string_view::npos ||
                    gold.find(quoted) != std::string_view::npos)
                    events.insert(std::move(event));
            }
        }
    } catch (const nlohmann::json::exception&) {
        return {};
    }
    return text::join(events, ",");
}

// kestrin's port description of the model: its standard output when it exited, else nothing.
std::string inspect_ports(const Model& model, const Path& kestrin, Duration timeout) {
    auto outcome =
        runner::run(kestrin_invocation(kestrin, model, inspect_ports_args(model), timeout));
    auto* exited = std::get_if<runner::Exited>(&outcome);
    return exited ? std::move(exited->stdout_text) : std::string();
}

// The reason of a comparison verdict other than Equivalent; nothing for Equivalent.
std::optional<std::string> divergence_reason(WeakFailuresVerdict verdict) {
    switch (verdict) {
        case WeakFailuresVerdict::Equivalent: return std::nullopt;
        case WeakFailuresVerdict::CompareError: return "ltscompare error";
        case WeakFailuresVerdict::OursInGold:
        case WeakFailuresVerdict::GoldInOurs:
        case WeakFailuresVerdict::Incomparable: break;
    }
    return "lts diverges: " + std::string(comparator::wording(verdict)) + " (see ltscompare-*.trc)";
}

// How a comparator run ended, as the log shows any command.
runner::Outcome outcome_of(const comparator::LtsCompareRun& run) {
    switch (run.end) {
        case comparator::RunEnd::Exited: break;
        case comparator::RunEnd::TimedOut: return runner::TimedOut{run.elapsed};
        case comparator::RunEnd::Unfinished:
            return runner::SpawnError{run.stderr_text, run.elapsed};
    }
    return runner::Exited{run.stdout_text, run.stderr_text, run.elapsed, run.exit_code};
}

// One comparator run as a command of the log, with both streams inline.
void record_ltscompare(log::SessionLog& log, const Path& ltscompare, std::string label,
                       const comparator::LtsCompareRun& run) {
    runner::Invocation invocation{ltscompare,   run.argv,     isolated_env(),
                                  std::nullopt, std::nullopt, Duration{}};
    log.cmd(std::move(label), invocation, outcome_of(run));
}

}  // namespace

std::string merge_csv(std::string_view a, std::string_view b) {
    std::set<std::string, std::less<>> pieces;
    for (auto list : {a, b})
        for (auto piece : text::split(list, ','))
            if (!piece.empty()) pieces.emplace(piece);
    return text::join(pieces, ",");
}

std::string flush_alphabet(std::string_view first, std::string_view second) {
    return merge_csv(comparator::extract_actions_containing(first),
                     comparator::extract_actions_containing(second));
}

std::optional<std::array<Path, 2>> write_normalized(log::SessionLog& log, const Path& dir,
                                                    const std::array<NamedText, 2>& files) {
    std::array<Path, 2> paths;
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto written = log::ModelOutDir::write(dir, files[i].name, files[i].text);
        if (written) {
            paths[i] = std::move(*written);
            continue;
        }
        log.note(text::concat({"write ", files[i].name, ": ", written.error().message()}));
        for (const auto& stale : std::span(files).subspan(i))
            if (auto stays = remove_previous(dir, stale.name))
                log.note(text::concat({"the previous ", stale.name, " stays: ", *stays}));
        return std::nullopt;
    }
    return paths;
}

WeakFailuresVerdict compare_recorded(log::SessionLog& log, const Path& ltscompare,
                                     const Path& first, const Path& second, std::string_view tau,
                                     const Path& forward_trc, const Path& backward_trc,
                                     std::string forward_label, std::string backward_label,
                                     Duration timeout) {
    auto compared = comparator::compare_weak_failures(ltscompare, first, second, tau, forward_trc,
                                                      backward_trc, timeout);
    record_ltscompare(log, ltscompare, std::move(forward_label), compared.forward);
    record_ltscompare(log, ltscompare, std::move(backward_label), compared.backward);
    return compared.verdict;
}

namespace {

// Normalises both LTSs, keeps the normalised files, works out the tau alphabet and compares
// ours with the gold both ways, recording the two comparator runs.
WeakFailuresVerdict compare_lts_to_gold(std::string_view ours, const Path& gold,
                                        const Path& ltscompare, const Model& model,
                                        const Path& kestrin, const Path& dir, Duration timeout,
                                        log::SessionLog& log) {
    auto gold_text = files::read_text(gold);
    if (!gold_text) {
        log.note("could not read gold " + files::describe(gold, gold_text.error()));
        return WeakFailuresVerdict::CompareError;
    }
    auto ours_norm = comparator::tau_normalize(ours);
    auto gold_norm = comparator::tau_normalize(*gold_text);
    auto written = write_normalized(
        log, dir, {{{"ours.normalized.aut", ours_norm}, {"gold.normalized.aut", gold_norm}}});
    if (!written) return WeakFailuresVerdict::CompareError;

    std::string tau;
    if (model.name.starts_with("system_") || model.kind == Category::Lbs) {
        tau = merge_csv(flush_alphabet(ours_norm, gold_norm),
                        port_events(inspect_ports(model, kestrin, timeout), ours_norm, gold_norm));
        if (!tau.empty()) log.note("tau alphabet: " + tau);
    }
    return compare_recorded(log, ltscompare, (*written)[0], (*written)[1], tau,
                            dir / "ltscompare-fwd.trc", dir / "ltscompare-bwd.trc",
                            "ltscompare ours <= gold", "ltscompare gold <= ours", timeout);
}

}  // namespace

std::string comparator_note(const std::optional<Path>& ltscompare, std::string_view missing) {
    return "ltscompare: " + (ltscompare ? text::lossy(*ltscompare) : std::string(missing));
}

std::expected<LtsCapture, ModelResult> against_gold(
    const Model& model, Category category, std::expected<LtsCapture, LtsCaptureFailure> capture,
    const Path& gold, const Path& kestrin, const std::optional<Path>& ltscompare, Duration timeout,
    CheckLog& check, std::string_view no_comparator) {
    if (!capture)
        return std::unexpected(
            capture_failure_result(model, category, capture.error(), std::nullopt, Duration{}));
    // The comparison's own time is not the tool's: every verdict carries the kestrin run's.
    auto settled = [&](Status status, std::string reason) {
        return std::unexpected(
            result(model.name, category, status, std::move(reason), capture->elapsed));
    };
    if (!ltscompare) return settled(Status::Skip, std::string(no_comparator));
    auto verdict = compare_lts_to_gold(capture->aut, gold, *ltscompare, model, kestrin, check.dir,
                                       timeout, check.log);
    if (auto reason = divergence_reason(verdict)) return settled(Status::Fail, std::move(*reason));
    return std::move(*capture);
}

}  // namespace tolvern::category
