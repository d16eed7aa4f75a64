// The golden judge. Normalisation builds its output in one pass with reused scratch buffers,
// and the comparison keeps only views of the deciding lines, so both stay linear in the size of
// the texts however many lines differ.
#include "render/judge.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "render/white_space.hpp"

namespace kestrin::render::judge {

namespace {

constexpr std::array<std::string_view, 5> CLASSIFICATION_NAMES = {
    "Shape", "Exact", "GoldenArtifact", "Nondet", "StateArtifact",
};

constexpr std::array<std::string_view, 9> DIFF_KIND_NAMES = {
    "Identical",    "CosmeticOnly",   "EligibleDiffers", "StateValuesDiffer", "QueueMarkersDiffer",
    "ArrowsDiffer", "VerdictDiffers", "SectionMissing",  "SectionExtra",
};

// The next line of the rest of a text (at "\n", a "\r" before it dropped); none at the end.
std::optional<std::string_view> next_line(std::string_view& rest) {
    if (rest.empty()) return std::nullopt;
    auto end = rest.find('\n');
    auto line = rest.substr(0, end);
    if (end == std::string_view::npos) {
        rest = {};
    } else {
        rest.remove_prefix(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
    }
    return line;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool starts_word(char c) {
    return is_letter(c) || c == '_';
}
bool is_word_char(char c) {
    return starts_word(c) || is_digit(c) || c == '.';
}

constexpr std::string_view ELIGIBLE = "(eligible";
constexpr std::string_view STATE = "(state";
constexpr std::string_view SVK_TMP = "(svk_tmp";
constexpr std::string_view ERROR_MARK = "error:";

// Scratch buffers reused from line to line, so that a long text costs no allocation per line.
struct Scratch {
    std::string slashes;
    std::string temporaries;
};

// Paths in error messages are printed with "//" by some platforms and "/" by others.
std::string_view collapse_double_slashes(std::string_view line, std::string& into) {
    into.clear();
    for (std::size_t i = 0;;) {
        auto at = line.find("//", i);
        into.append(line.substr(i, at == std::string_view::npos ? at : at - i));
        if (at == std::string_view::npos) return into;
        into += '/';
        i = at + 2;
    }
}

// The eligible set is printed in hash order: sort it.
void append_eligible(std::string& out, std::string_view line) {
    while (line.starts_with(ELIGIBLE)) line.remove_prefix(ELIGIBLE.size());
    while (line.ends_with(')')) line.remove_suffix(1);
    auto tokens = split_white_space(line);
    std::sort(tokens.begin(), tokens.end());
    out += ELIGIBLE;
    for (auto token : tokens) {
        out += ' ';
        out += token;
    }
    out += ')';
}

// Compiler temporaries in a state are numbered per run: drop each closed "(svk_tmp ...)" group
// with one blank after it.
std::string_view drop_temporaries(std::string_view line, std::string& into) {
    into.clear();
    for (std::size_t i = 0;;) {
        auto at = line.find(SVK_TMP, i);
        auto close = at == std::string_view::npos ? at : line.find(')', at);
        if (close == std::string_view::npos) {
            // No ")" follows this group, so none follows any later one either.
            into.append(line.substr(i));
            return trim_end(into);
        }
        into.append(line.substr(i, at - i));
        i = close + 1;
        if (i < line.size() && line[i] == ' ') ++i;
    }
}

// Instance paths differ with the model's nesting: "sys.client.port:Idle" keeps "port:Idle".
void append_short_paths(std::string& out, std::string_view line) {
    for (std::size_t i = 0; i < line.size();) {
        auto start = i;
        if (!is_word_char(line[i])) {
            while (i < line.size() && !is_word_char(line[i])) ++i;
            out.append(line.substr(start, i - start));
            continue;
        }
        while (i < line.size() && is_word_char(line[i])) ++i;
        auto word = line.substr(start, i - start);
        bool before_name = i + 1 < line.size() && line[i] == ':' && starts_word(line[i + 1]);
        if (starts_word(word.front()) && before_name) {
            auto dot = word.rfind('.');
            if (dot != std::string_view::npos) word.remove_prefix(dot + 1);
        }
        out.append(word);
    }
}

void append_normalized_line(std::string& out, std::string_view line, Scratch& scratch) {
    line = trim_end(line);
    if (contains(line, ERROR_MARK)) line = collapse_double_slashes(line, scratch.slashes);
    if (line.starts_with(ELIGIBLE)) {
        append_eligible(out, line);
    } else if (line.starts_with(STATE)) {
        if (contains(line, "svk_tmp")) line = drop_temporaries(line, scratch.temporaries);
        append_short_paths(out, line);
    } else {
        out.append(line);
    }
}

struct Rating {
    DiffKind kind;
    int rank;
};

// The rank order is severity, not the order of DiffKind: state values outrank queue markers.
Rating rate(std::string_view golden, std::string_view ours) {
    auto g = line_kind(golden);
    auto o = line_kind(ours);
    if (g == LineKind::Verdict || o == LineKind::Verdict) return {DiffKind::VerdictDiffers, 9};
    if (g == LineKind::Arrow || o == LineKind::Arrow || g == LineKind::Header)
        return {DiffKind::ArrowsDiffer, 7};
    if (g == LineKind::Eligible) return {DiffKind::EligibleDiffers, 4};
    if (g == LineKind::State) {
        if (contains(golden, "*q*") || contains(ours, "*q*"))
            return {DiffKind::QueueMarkersDiffer, 5};
        return {DiffKind::StateValuesDiffer, 6};
    }
    return {DiffKind::CosmeticOnly, 1};
}

// One differing line position; views into the normalised texts, none where a text has ended.
struct Difference {
    Rating rating;
    std::size_t line;
    std::optional<std::string_view> golden;
    std::optional<std::string_view> ours;
};

std::string describe(const Difference& d) {
    auto number = std::to_string(d.line);
    if (!d.ours)
        return "line " + number + ": golden has `" + std::string(*d.golden) + "`, ours ends";
    if (!d.golden) return "line " + number + ": ours has extra `" + std::string(*d.ours) + "`";
    return "line " + number + ": golden `" + std::string(*d.golden) + "` vs ours `" +
           std::string(*d.ours) + "`";
}

// The most severe differing position; among equal ranks the earliest.
std::optional<Difference> worst_difference(std::string_view golden, std::string_view ours) {
    std::optional<Difference> worst;
    for (std::size_t number = 1;; ++number) {
        auto g = next_line(golden);
        auto o = next_line(ours);
        if (!g && !o) return worst;
        if (g && o && *g == *o) continue;
        Rating rating = !o   ? Rating{DiffKind::SectionMissing, 8}
                        : !g ? Rating{DiffKind::SectionExtra, 8}
                             : rate(*g, *o);
        if (!worst || rating.rank > worst->rating.rank) worst = Difference{rating, number, g, o};
    }
}

JudgeVerdict verdict(Classification cls, DiffKind kind) {
    switch (kind) {
        case DiffKind::Identical: return JudgeVerdict::Pass;
        case DiffKind::CosmeticOnly:
            return cls == Classification::Exact ? JudgeVerdict::Fail : JudgeVerdict::Pass;
        case DiffKind::StateValuesDiffer:
        case DiffKind::QueueMarkersDiffer:
            return cls == Classification::StateArtifact ? JudgeVerdict::Excused
                                                        : JudgeVerdict::Fail;
        case DiffKind::EligibleDiffers:
        case DiffKind::ArrowsDiffer:
        case DiffKind::VerdictDiffers:
        case DiffKind::SectionMissing:
        case DiffKind::SectionExtra: return JudgeVerdict::Fail;
    }
    return JudgeVerdict::Fail;
}

}  // namespace

std::optional<Classification> parse_classification(std::string_view text) {
    std::string word(trim(text));
    for (auto& c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (word == "shape") return Classification::Shape;
    if (word == "exact") return Classification::Exact;
    if (word == "artifact" || word == "goldenartifact" || word == "golden_artifact")
        return Classification::GoldenArtifact;
    if (word == "nondet" || word == "nondeterministic") return Classification::Nondet;
    if (word == "stateartifact" || word == "state_artifact") return Classification::StateArtifact;
    return std::nullopt;
}

std::string_view name(Classification c) {
    return CLASSIFICATION_NAMES[static_cast<std::size_t>(c)];
}

std::string_view name(DiffKind k) {
    return DIFF_KIND_NAMES[static_cast<std::size_t>(k)];
}

std::ostream& operator<<(std::ostream& out, Classification c) {
    return out << name(c);
}
std::ostream& operator<<(std::ostream& out, DiffKind k) {
    return out << name(k);
}

LineKind line_kind(std::string_view line) {
    line = trim_start(line);
    if (line.starts_with("(header")) return LineKind::Header;
    if (line.starts_with(STATE)) return LineKind::State;
    if (line.starts_with("(trail")) return LineKind::Trail;
    if (line.starts_with("(labels")) return LineKind::Labels;
    if (line.starts_with(ELIGIBLE)) return LineKind::Eligible;
    if (contains(line, ERROR_MARK) || (line.starts_with('<') && line.ends_with('>')))
        return LineKind::Verdict;
    if (contains(line, "->") || contains(line, "<-") || contains(line, "..."))
        return LineKind::Arrow;
    return LineKind::Other;
}

std::string normalize(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    Scratch scratch;
    std::size_t kept = 0;  // the end of the last line that is not empty
    for (bool first = true; auto line = next_line(text); first = false) {
        if (!first) out += '\n';
        auto start = out.size();
        append_normalized_line(out, *line, scratch);
        if (out.size() > start) kept = out.size();
    }
    out.resize(kept);
    return out;
}

Judgement judge(std::string_view golden, std::string_view ours, Classification cls) {
    if (cls == Classification::GoldenArtifact || cls == Classification::Nondet)
        return {std::string(name(cls)) + "=>Excused",
                "golden comparison waived; correctness on L1-L3", JudgeVerdict::Excused,
                DiffKind::Identical};
    auto golden_normal = normalize(golden);
    auto ours_normal = normalize(ours);
    DiffKind kind = DiffKind::Identical;
    std::string detail;
    if (golden_normal != ours_normal) {
        auto worst = worst_difference(golden_normal, ours_normal);
        kind = worst ? worst->rating.kind : DiffKind::CosmeticOnly;
        detail = worst ? describe(*worst) : "differs only in normalized noise";
    }
    return {std::string(name(cls)) + "x" + std::string(name(kind)), std::move(detail),
            verdict(cls, kind), kind};
}

}  // namespace kestrin::render::judge
