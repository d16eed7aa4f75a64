// The threads check (the LTS generated with every thread count of the session behaves as the
// one-thread LTS) and the vorlan check (an external corpus model's LTS against its gold).
#include "category/threads_vorlan.hpp"

#include <cstdint>
#include <ranges>
#include <string>
#include <vector>

#include "category/common.hpp"
#include "category/kestrin_cli.hpp"
#include "category/lts_capture.hpp"
#include "category/lts_gold.hpp"
#include "text.hpp"

namespace tolvern::category {

using comparator::WeakFailuresVerdict;

namespace {

std::string thread_file(std::uint32_t threads, std::string_view suffix) {
    return "ours.t" + std::to_string(threads) + std::string(suffix);
}

// The t=1 and t=N LTSs compared both ways, after label normalisation.
WeakFailuresVerdict compare_thread_counts(const Model& model, const Path& ltscompare,
                                          std::string_view t1_normalized, std::string_view tn_aut,
                                          std::uint32_t n, Duration timeout, CheckLog& check) {
    auto tn_normalized = comparator::tau_normalize(tn_aut);
    const auto tn_name = thread_file(n, ".normalized.aut");
    auto written =
        write_normalized(check.log, check.dir,
                         {{{"ours.t1.normalized.aut", t1_normalized}, {tn_name, tn_normalized}}});
    if (!written) return WeakFailuresVerdict::CompareError;
    auto tau = model.name.starts_with("system_") ? flush_alphabet(t1_normalized, tn_normalized)
                                                 : std::string();
    // Appended rather than added, which g++ 12 misreads as an overlapping copy at -O3.
    std::string tn = "t";
    tn += std::to_string(n);
    return compare_recorded(check.log, ltscompare, (*written)[0], (*written)[1], tau,
                            check.dir / ("ltscompare-t1-vs-" + tn + ".fwd.trc"),
                            check.dir / ("ltscompare-t1-vs-" + tn + ".bwd.trc"),
                            "ltscompare t1 <= " + tn, "ltscompare " + tn + " <= t1", timeout);
}

std::string bracketed(const std::vector<std::uint32_t>& counts) {
    auto texts = counts | std::views::transform([](std::uint32_t n) { return std::to_string(n); });
    std::string list = "[";
    list += text::join(texts, ", ");
    return list += "]";
}

ModelResult threads_result(const CategoryContext& context, const Model& model, CheckLog& check) {
    auto done = [&](Status status, std::string reason, Duration elapsed) {
        return result(model.name, Category::Threads, status, std::move(reason), elapsed);
    };
    auto capture = [&](std::uint32_t n) {
        return run_lts_capture(model, context.kestrin, n, context.timeout, check.log, check.dir,
                               thread_file(n, ".aut"));
    };
    auto base = capture(1);
    if (!base) return capture_failure_result(model, Category::Threads, base.error(), 1, Duration{});
    Duration elapsed = base->elapsed;
    std::optional<std::string> base_normalized;  // made when a first output differs
    std::vector<std::uint32_t> divergent;

    for (auto n : context.thread_counts) {
        if (n == 1) continue;
        auto other = capture(n);
        if (!other)
            return capture_failure_result(model, Category::Threads, other.error(), n, elapsed);
        elapsed += other->elapsed;
        auto label = "threads=" + std::to_string(n) + ": ";
        if (other->aut == base->aut) {
            check.log.note(label + "byte-identical to t=1");
            continue;
        }
        if (!context.ltscompare) {
            check.log.note(label + "byte-different but ltscompare missing");
            return done(Status::Skip, "ltscompare missing", elapsed);
        }
        if (!base_normalized) base_normalized = comparator::tau_normalize(base->aut);
        auto verdict = compare_thread_counts(model, *context.ltscompare, *base_normalized,
                                             other->aut, n, context.timeout, check);
        if (verdict == WeakFailuresVerdict::Equivalent) {
            check.log.note(label + "weak-failures equivalent to t=1");
        } else {
            check.log.note(label + "diverges (" + std::string(comparator::wording(verdict)) + ")");
            divergent.push_back(n);
        }
    }
    if (!divergent.empty())
        return done(Status::Fail, "threads-divergent N=" + bracketed(divergent), elapsed);
    return done(Status::Pass, "", elapsed);
}

ModelResult vorlan_result(const CategoryContext& context, const Model& model, CheckLog& check) {
    if (!model.baselines.lts)
        return result(model.name, Category::Vorlan, Status::Fail,
                      "missing golden — run scripts/gen-vorlan-goldens.sh", Duration{});
    check.log.note(comparator_note(context.ltscompare, "NOT FOUND"));

    auto capture =
        capture_lts(model, context.kestrin, lts_args(model, std::nullopt, context.import_dirs),
                    context.timeout, check.log, check.dir, "ours.aut", "kestrin lts (vorlan)");
    auto settled = against_gold(model, Category::Vorlan, std::move(capture), *model.baselines.lts,
                                context.kestrin, context.ltscompare, context.timeout, check,
                                "ltscompare missing");
    if (!settled) return std::move(settled.error());
    return result(model.name, Category::Vorlan, Status::Pass, "", settled->elapsed);
}

}  // namespace

ModelResult check_threads(const CategoryContext& context, const Model& model) {
    return logged_check(context.out_dir, Category::Threads, model,
                        [&](CheckLog& check) { return threads_result(context, model, check); });
}

ModelResult check_vorlan(const CategoryContext& context, const Model& model) {
    return logged_check(context.out_dir, Category::Vorlan, model,
                        [&](CheckLog& check) { return vorlan_result(context, model, check); });
}

}  // namespace tolvern::category
