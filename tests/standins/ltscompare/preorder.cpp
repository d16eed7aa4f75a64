// Breadth-first walk over pairs (state of left, set of right's states after the same weak
// trace). Right's sets are tau-closed, numbered once and their steps cached, so a deterministic
// right costs one set per state. Divergence needs no special case: a tau cycle is walked once,
// and a state on it is unstable, so it contributes traces but no refusals.
#include "preorder.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace ltscompare {

namespace {

using SetId = std::uint32_t;
constexpr std::uint32_t NONE = UINT32_MAX;

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct KeyHash {
    std::size_t operator()(std::uint64_t key) const { return mix(key); }
};

struct StatesHash {
    std::size_t operator()(const std::vector<State>& states) const {
        std::uint64_t h = states.size();
        for (State s : states) h = mix(h ^ s);
        return h;
    }
};

std::uint64_t key(std::uint32_t high, std::uint32_t low) {
    return (std::uint64_t{high} << 32) | low;
}

std::pair<std::size_t, std::size_t> edges_with(const Lts& lts, State s, Label label) {
    auto first = lts.edges.begin() + static_cast<std::ptrdiff_t>(lts.begin(s));
    auto last = lts.edges.begin() + static_cast<std::ptrdiff_t>(lts.end(s));
    auto [from, to] =
        std::equal_range(first, last, Edge{label, 0},
                         [](const Edge& a, const Edge& b) { return a.label < b.label; });
    return {static_cast<std::size_t>(from - lts.edges.begin()),
            static_cast<std::size_t>(to - lts.edges.begin())};
}

// The tau-closed sets of right's states, each numbered once, with their steps by label.
struct Sets {
    const Lts& lts;
    std::unordered_map<std::vector<State>, SetId, StatesHash> ids;
    std::vector<const std::vector<State>*> members;  // map keys never move
    std::unordered_map<std::uint64_t, SetId, KeyHash> steps;
    std::vector<std::uint32_t> mark;
    std::uint32_t stamp = 0;
    std::vector<State> stack;

    explicit Sets(const Lts& right) : lts(right), mark(right.states, 0) {}

    // The number of the tau-closure of the seeds.
    SetId closure(const std::vector<State>& seeds) {
        if (++stamp == 0) {
            std::fill(mark.begin(), mark.end(), 0);
            stamp = 1;
        }
        std::vector<State> closed;
        auto visit = [&](State s) {
            if (mark[s] == stamp) return;
            mark[s] = stamp;
            closed.push_back(s);
            stack.push_back(s);
        };
        for (State s : seeds) visit(s);
        while (!stack.empty()) {
            State s = stack.back();
            stack.pop_back();
            for (auto e = lts.begin(s); e < lts.end(s) && lts.edges[e].label == TAU; ++e)
                visit(lts.edges[e].target);
        }
        std::sort(closed.begin(), closed.end());
        auto [at, added] = ids.try_emplace(std::move(closed), static_cast<SetId>(members.size()));
        if (added) members.push_back(&at->first);
        return at->second;
    }

    // The set after one visible label, or NONE when no member can do it.
    SetId after(SetId set, Label label) {
        auto k = key(set, label);
        if (auto found = steps.find(k); found != steps.end()) return found->second;
        std::vector<State> seeds;
        for (State s : *members[set]) {
            auto [from, to] = edges_with(lts, s, label);
            for (auto e = from; e < to; ++e) seeds.push_back(lts.edges[e].target);
        }
        SetId next = seeds.empty() ? NONE : closure(seeds);
        steps.emplace(k, next);
        return next;
    }
};

// Whether every label stable state r of `small` offers is offered by stable state s of `big`.
bool offers_within(const Lts& small, State r, const Lts& big, State s) {
    auto j = big.begin(s);
    for (auto i = small.begin(r); i < small.end(r); ++i) {
        Label label = small.edges[i].label;
        while (j < big.end(s) && big.edges[j].label < label) ++j;
        if (j == big.end(s) || big.edges[j].label != label) return false;
    }
    return true;
}

std::vector<Label> offers_of(const Lts& lts, State s) {
    std::vector<Label> offers;
    for (auto e = lts.begin(s); e < lts.end(s); ++e)
        if (offers.empty() || offers.back() != lts.edges[e].label)
            offers.push_back(lts.edges[e].label);
    return offers;
}

struct Pair {
    State state;
    SetId set;
    std::uint32_t parent;
    Label via;
};

std::vector<Label> trace_to(const std::vector<Pair>& pairs, std::uint32_t at) {
    std::vector<Label> trace;
    for (; at != NONE; at = pairs[at].parent)
        if (pairs[at].parent != NONE && pairs[at].via != TAU) trace.push_back(pairs[at].via);
    std::reverse(trace.begin(), trace.end());
    return trace;
}

}  // namespace

std::optional<Counterexample> weak_failures_counterexample(const Lts& left, const Lts& right) {
    Sets sets(right);
    std::vector<Pair> pairs;
    std::unordered_map<std::uint64_t, std::uint32_t, KeyHash> seen;
    auto visit = [&](State state, SetId set, std::uint32_t parent, Label via) {
        if (seen.try_emplace(key(state, set), static_cast<std::uint32_t>(pairs.size())).second)
            pairs.push_back({state, set, parent, via});
    };
    visit(left.initial, sets.closure({right.initial}), NONE, TAU);

    for (std::uint32_t at = 0; at < pairs.size(); ++at) {
        auto [state, set, parent, via] = pairs[at];
        if (left.stable(state)) {
            const auto& members = *sets.members[set];
            bool matched = std::any_of(members.begin(), members.end(), [&](State r) {
                return right.stable(r) && offers_within(right, r, left, state);
            });
            if (!matched) return Counterexample{trace_to(pairs, at), offers_of(left, state)};
        }
        for (auto e = left.begin(state); e < left.end(state); ++e) {
            auto [label, target] = left.edges[e];
            if (label == TAU) {
                visit(target, set, at, TAU);
                continue;
            }
            SetId next = sets.after(set, label);
            if (next == NONE) {
                auto trace = trace_to(pairs, at);
                trace.push_back(label);
                return Counterexample{std::move(trace), std::nullopt};
            }
            visit(target, next, at, label);
        }
    }
    return std::nullopt;
}

}  // namespace ltscompare
