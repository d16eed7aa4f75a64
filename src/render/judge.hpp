// The golden judge: decides whether the text kestrin printed matches a stored golden under the
// golden's classification. Pure: both texts are normalised, differing lines rated, and the most
// severe difference mapped to a verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace kestrin::render::judge {

// How a golden is judged: structure only (Shape), byte for byte after normalisation (Exact),
// not at all (GoldenArtifact, Nondet), or like Shape with state values excused (StateArtifact).
enum class Classification : std::uint8_t { Shape, Exact, GoldenArtifact, Nondet, StateArtifact };

enum class DiffKind : std::uint8_t {
    Identical,
    CosmeticOnly,
    EligibleDiffers,
    StateValuesDiffer,
    QueueMarkersDiffer,
    ArrowsDiffer,
    VerdictDiffers,
    SectionMissing,
    SectionExtra,
};

enum class LineKind : std::uint8_t {
    Header,
    State,
    Arrow,
    Trail,
    Labels,
    Eligible,
    Verdict,
    Other
};

enum class JudgeVerdict : std::uint8_t { Pass, Fail, Excused };

struct Judgement {
    std::string label;   // "{class}x{kind}", or "{class}=>Excused" for a waived golden
    std::string detail;  // the deciding difference; empty when identical
    JudgeVerdict verdict = JudgeVerdict::Pass;
    DiffKind kind = DiffKind::Identical;
};

// A class name as a sidecar writes it: trimmed, ASCII case ignored, with the accepted aliases.
std::optional<Classification> parse_classification(std::string_view text);

std::string_view name(Classification c);
std::string_view name(DiffKind k);
std::ostream& operator<<(std::ostream& out, Classification c);
std::ostream& operator<<(std::ostream& out, DiffKind k);

LineKind line_kind(std::string_view line);

// Both texts are compared in this form: noise that varies between runs (trailing blanks, the
// order of eligible events, temporaries and instance paths in states) removed.
std::string normalize(std::string_view text);

// Golden first, ours second: line kinds come mostly from the golden line.
Judgement judge(std::string_view golden, std::string_view ours, Classification cls);

}  // namespace kestrin::render::judge
