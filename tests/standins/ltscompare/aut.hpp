// The comparator stand-in's view of an Aldebaran .aut file: labels interned as integers (all
// internal labels as one), transitions stored per source state, sorted by label then target.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ltscompare {

using Label = std::uint32_t;
using State = std::uint32_t;

// Every internal label, "tau" and the hidden ones alike, is this one.
inline constexpr Label TAU = 0;

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Labels shared by both systems, so that equal texts get equal numbers.
struct Labels {
    std::unordered_set<std::string, StringHash, std::equal_to<>> hidden;
    std::unordered_map<std::string, Label, StringHash, std::equal_to<>> ids;
    std::vector<std::string> names{"tau"};

    Label intern(std::string_view label);
};

struct Edge {
    Label label;
    State target;
};

struct Lts {
    State initial = 0;
    State states = 0;
    std::vector<std::size_t> offsets;  // edges of s: [offsets[s], offsets[s + 1])
    std::vector<Edge> edges;

    std::size_t begin(State s) const { return offsets[s]; }
    std::size_t end(State s) const { return offsets[s + 1]; }
    // No internal move leaves the state.
    bool stable(State s) const { return begin(s) == end(s) || edges[begin(s)].label != TAU; }
};

// The parsed text, or "line N: what is wrong".
std::expected<Lts, std::string> parse_aut(std::string_view text, Labels& labels);

}  // namespace ltscompare
