// The lts and lbs checks: kestrin's LTS of a model against its gold LTS, weak-failures equivalent
// and within a state-count budget.
#include "category/lts.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "category/common.hpp"
#include "category/lts_capture.hpp"
#include "category/lts_gold.hpp"
#include "category/lts_internal.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tolvern::category {

std::optional<std::uint64_t> aut_states(std::string_view aut) {
    auto header = text::trim(text::first_line(aut));
    if (!header.starts_with("des")) return std::nullopt;
    auto triple = text::trim(header.substr(3));
    while (triple.starts_with('(')) triple.remove_prefix(1);
    while (triple.ends_with(')')) triple.remove_suffix(1);
    auto pieces = text::split(triple, ',');
    if (pieces.size() < 3) return std::nullopt;
    return text::parse_u64(text::trim(pieces[2]));
}

std::uint64_t state_budget(double factor, std::uint64_t gold) {
    double budget = std::ceil(factor * static_cast<double>(gold));
    if (!(budget > 0)) return 0;  // negative, zero or not a number
    // 2^64 is the first double beyond the range; the cast of anything at or above it is undefined.
    if (budget >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    // A double holds counts beyond 2^53 only to their leading digits: a factor of one or more
    // must still allow the golden's own count.
    auto whole = static_cast<std::uint64_t>(budget);
    return factor >= 1 && whole < gold ? gold : whole;
}

namespace {

// The shortest decimal that reads back as the same double: 20 for 20.0, 1.5 for 1.5, and
// 100000 rather than 1e+05. The buffer holds the longest fixed form of any double.
std::string shortest(double value) {
    char buffer[400];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, end);
}

constexpr double DEFAULT_STATE_FACTOR = 20.0;

}  // namespace

std::optional<std::string> budget_excess(std::string_view ours, std::string_view gold,
                                         std::optional<double> factor) {
    auto ours_states = aut_states(ours);
    auto gold_states = aut_states(gold);
    if (!ours_states || !gold_states || *gold_states == 0) return std::nullopt;
    double f = factor.value_or(DEFAULT_STATE_FACTOR);
    auto budget = state_budget(f, *gold_states);
    if (*ours_states <= budget) return std::nullopt;
    return "lts state-count budget exceeded: " + std::to_string(*ours_states) + " states > " +
           std::to_string(budget) + " (= " + shortest(f) + "x golden " +
           std::to_string(*gold_states) + "); weak-failures EQUAL but blown up";
}

namespace {

// Steps after the log is open: the skip marker, the gold, the capture, the comparison and the
// budget.
ModelResult lts_result(const Model& model, const Path& kestrin,
                       const std::optional<Path>& ltscompare, Duration timeout, Category category,
                       CheckLog& check) {
    auto done = [&](Status status, std::string reason, Duration elapsed) {
        return result(model.name, category, status, std::move(reason), elapsed);
    };
    check.log.note(
        comparator_note(ltscompare, "NOT FOUND (run scripts/build-mcrl2.sh --host-only)"));
    if (auto reason = skip_marker(model.dir, "lts.skip"))
        return done(Status::Skip, std::move(*reason), Duration{});
    if (!model.baselines.lts)
        return done(Status::Fail, "missing golden: no baseline lts (.aut) — regenerate it",
                    Duration{});
    const Path& gold = *model.baselines.lts;

    auto settled = against_gold(
        model, category,
        run_lts_capture(model, kestrin, std::nullopt, timeout, check.log, check.dir, "ours.aut"),
        gold, kestrin, ltscompare, timeout, check,
        "ltscompare not found (scripts/build-mcrl2.sh --host-only)");
    if (!settled) return std::move(settled.error());

    // Equivalent: the LTS must also not have grown far beyond the gold.
    if (auto gold_text = files::read_text(gold))
        if (auto excess = budget_excess(settled->aut, *gold_text, model.meta.max_state_factor))
            return done(Status::Fail, std::move(*excess), settled->elapsed);
    return done(Status::Pass, model.baselines.lts_overridden ? "lts-overridden" : "",
                settled->elapsed);
}

}  // namespace

ModelResult check_lts_as(const Model& model, const Path& kestrin,
                         const std::optional<Path>& ltscompare, const Path& out_dir,
                         Duration timeout, Category category) {
    return logged_check(out_dir, category, model, [&](CheckLog& check) {
        return lts_result(model, kestrin, ltscompare, timeout, category, check);
    });
}

}  // namespace tolvern::category
