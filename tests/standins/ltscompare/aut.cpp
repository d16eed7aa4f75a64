// Reads .aut text into the compact form the preorder check walks. Labels are quoted (ending at
// the next quote) or bare (ending at the next comma); every number is checked against the header.
#include "aut.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

namespace ltscompare {

Label Labels::intern(std::string_view label) {
    if (auto found = ids.find(label); found != ids.end()) return found->second;
    // A hidden action hides its parameterised forms too: "a" hides "a(1)".
    auto action = label.substr(0, label.find('('));
    bool internal = label == "tau" || hidden.contains(label) || hidden.contains(action);
    Label id = internal ? TAU : static_cast<Label>(names.size());
    if (!internal) names.emplace_back(label);
    ids.emplace(std::string(label), id);
    return id;
}

namespace {

// A cursor over one line; every reader skips the blanks in front of what it reads.
struct Line {
    std::string_view rest;

    void skip_blanks() {
        while (!rest.empty() &&
               (rest.front() == ' ' || rest.front() == '\t' || rest.front() == '\r'))
            rest.remove_prefix(1);
    }
    bool take(char c) {
        skip_blanks();
        if (rest.empty() || rest.front() != c) return false;
        rest.remove_prefix(1);
        return true;
    }
    bool take(std::string_view word) {
        skip_blanks();
        if (!rest.starts_with(word)) return false;
        rest.remove_prefix(word.size());
        return true;
    }
    std::optional<std::uint64_t> number() {
        skip_blanks();
        std::uint64_t value = 0;
        auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || end == rest.data()) return std::nullopt;
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        return value;
    }
    std::optional<std::string_view> label() {
        skip_blanks();
        if (!rest.empty() && rest.front() == '"') {
            auto close = rest.find('"', 1);
            if (close == std::string_view::npos) return std::nullopt;
            auto text = rest.substr(1, close - 1);
            rest.remove_prefix(close + 1);
            return text;
        }
        auto comma = rest.find(',');
        if (comma == std::string_view::npos) return std::nullopt;
        auto text = rest.substr(0, comma);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
        if (text.empty()) return std::nullopt;
        rest.remove_prefix(comma);
        return text;
    }
    bool at_end() {
        skip_blanks();
        return rest.empty();
    }
};

struct Transition {
    State source;
    Label label;
    State target;
};

std::string at_line(std::size_t number, std::string_view what) {
    return "line " + std::to_string(number) + ": " + std::string(what);
}

// Groups the transitions by source state, each group sorted by label and target.
Lts index(State initial, State states, std::vector<Transition>& transitions) {
    Lts lts;
    lts.initial = initial;
    lts.states = states;
    lts.offsets.assign(std::size_t{states} + 1, 0);
    for (const auto& t : transitions) ++lts.offsets[t.source + 1];
    for (std::size_t s = 0; s < states; ++s) lts.offsets[s + 1] += lts.offsets[s];
    lts.edges.resize(transitions.size());
    std::vector<std::size_t> fill(lts.offsets.begin(), lts.offsets.end() - 1);
    for (const auto& t : transitions) lts.edges[fill[t.source]++] = {t.label, t.target};
    auto order = [](const Edge& a, const Edge& b) {
        return a.label != b.label ? a.label < b.label : a.target < b.target;
    };
    for (State s = 0; s < states; ++s)
        std::sort(lts.edges.begin() + static_cast<std::ptrdiff_t>(lts.begin(s)),
                  lts.edges.begin() + static_cast<std::ptrdiff_t>(lts.end(s)), order);
    return lts;
}

}  // namespace

std::expected<Lts, std::string> parse_aut(std::string_view text, Labels& labels) {
    std::size_t number = 0;
    auto next_line = [&]() -> std::optional<std::string_view> {
        if (text.empty()) return std::nullopt;
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        return line;
    };

    auto header = next_line();
    if (!header)
        return std::unexpected(
            at_line(1, "empty file, expected \"des (init, transitions, states)\""));
    Line line{*header};
    std::optional<std::uint64_t> initial, count, states;
    if (!line.take("des") || !line.take('(') || !(initial = line.number()) || !line.take(',') ||
        !(count = line.number()) || !line.take(',') || !(states = line.number()) ||
        !line.take(')') || !line.at_end())
        return std::unexpected(at_line(1, "expected \"des (init, transitions, states)\""));
    if (*states == 0 || *states > UINT32_MAX)
        return std::unexpected(at_line(1, "the number of states must be between 1 and 2^32-1"));
    if (*initial >= *states)
        return std::unexpected(at_line(1, "the initial state is not below the number of states"));

    std::vector<Transition> transitions;
    transitions.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*count, 1u << 26)));
    while (auto next = next_line()) {
        line = Line{*next};
        if (line.at_end()) continue;
        std::optional<std::uint64_t> source, target;
        std::optional<std::string_view> label;
        if (!line.take('(') || !(source = line.number()) || !line.take(',') ||
            !(label = line.label()) || !line.take(',') || !(target = line.number()) ||
            !line.take(')') || !line.at_end())
            return std::unexpected(at_line(number, "expected (source, \"label\", target)"));
        if (*source >= *states || *target >= *states)
            return std::unexpected(at_line(number, "state number not below the number of states"));
        transitions.push_back(
            {static_cast<State>(*source), labels.intern(*label), static_cast<State>(*target)});
    }
    if (transitions.size() != *count)
        return std::unexpected("the header announces " + std::to_string(*count) +
                               " transitions, the file has " + std::to_string(transitions.size()));
    return index(static_cast<State>(*initial), static_cast<State>(*states), transitions);
}

}  // namespace ltscompare
