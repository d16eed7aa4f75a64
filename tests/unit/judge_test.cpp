// The golden judge: class names, line kinds, the noise that normalisation removes, and which
// difference decides a judgement and its verdict.
#include "render/judge.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kestrin::render::judge;

TEST(ParseClassification, NamesAndAliases) {
    struct Case {
        std::string text;
        std::optional<Classification> expected;
    };
    const std::vector<Case> cases = {
        {"shape", Classification::Shape},
        {"  Exact\t", Classification::Exact},
        {"ARTIFACT", Classification::GoldenArtifact},
        {"GoldenArtifact", Classification::GoldenArtifact},
        {"golden_artifact", Classification::GoldenArtifact},
        {"nondet", Classification::Nondet},
        {"NonDeterministic", Classification::Nondet},
        {"stateartifact", Classification::StateArtifact},
        {"State_Artifact", Classification::StateArtifact},
        {"\u00A0exact\u3000", Classification::Exact},
        {"", std::nullopt},
        {" \t ", std::nullopt},
        {"golden-artifact", std::nullopt},
        {"exact shape", std::nullopt},
        {"shapes", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_classification(c.text), c.expected) << c.text;
}

TEST(PrintedNames, AreTheEnumeratorNames) {
    std::ostringstream out;
    out << Classification::StateArtifact << ' ' << Classification::GoldenArtifact << ' '
        << DiffKind::QueueMarkersDiffer << ' ' << DiffKind::SectionExtra;
    EXPECT_EQ(out.str(), "StateArtifact GoldenArtifact QueueMarkersDiffer SectionExtra");
}

TEST(LineKind, FirstMatchingRuleAfterLeadingBlanks) {
    struct Case {
        std::string line;
        LineKind expected;
    };
    const std::vector<Case> cases = {
        {"(header m", LineKind::Header},
        {"  (state a -> b error: x", LineKind::State},
        {"\u00A0(trail \"<deadlock>\"", LineKind::Trail},
        {"(labels a b", LineKind::Labels},
        {"(eligible a", LineKind::Eligible},
        {"<deadlock>", LineKind::Verdict},
        {"\t<x -> y>", LineKind::Verdict},
        {"parse error: a -> b", LineKind::Verdict},
        {"a -> b", LineKind::Arrow},
        {"a <- b", LineKind::Arrow},
        {"and so on...", LineKind::Arrow},
        {"<open", LineKind::Other},
        {"", LineKind::Other},
        {"plain text", LineKind::Other},
    };
    for (const auto& c : cases) EXPECT_EQ(line_kind(c.line), c.expected) << c.line;
}

TEST(Normalize, RemovesKnownNoise) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Line ends and trailing white space, Unicode included.
        {"a  \r\nb\t\n\n \n", "a\nb"},
        {"a\u00A0\u3000\u2028\nb\r", "a\nb"},
        {"\n\na", "\n\na"},
        {"", ""},
        {"\n\n", ""},
        {"x\u200B", "x\u200B"},
        // Eligible sets are sorted; repeated heads and closing parentheses go.
        {"(eligible b a c)", "(eligible a b c)"},
        {"(eligible a c b))", "(eligible a b c)"},
        {"(eligible(eligible b\u3000a a", "(eligible a a b)"},
        {"(eligible)", "(eligible)"},
        {"(eligible )", "(eligible)"},
        {"  (eligible b a", "  (eligible b a"},
        // Doubled slashes only on error lines, scanned once.
        {"error: //a//b///c", "error: /a/b//c"},
        {"see //a", "see //a"},
        // Temporaries in states.
        {"(state x (svk_tmp 1 2) y", "(state x y"},
        {"(state x (svk_tmp 1 2)", "(state x"},
        {"(state (svk_tmp a)(svk_tmp b)  c", "(state  c"},
        {"(state x (svk_tmp 1 2", "(state x (svk_tmp 1 2"},
        {"(stat (svk_tmp 1) y", "(stat (svk_tmp 1) y"},
        // Instance paths before a colon and a name.
        {"(state sys.client.port:Idle q.r:_x", "(state port:Idle r:_x"},
        {"(state a.b:1 c.d: e f.g::h i.j:", "(state a.b:1 c.d: e f.g::h i.j:"},
        {"(state 2sys.port:Idle .a.b:C", "(state 2sys.port:Idle .a.b:C"},
        {"(state x\u2192y.z:Q é", "(state x\u2192z:Q é"},
        {"sys.client.port:Idle", "sys.client.port:Idle"},
        // Temporaries go before paths are shortened.
        {"(state (svk_tmp t) a.b:C ", "(state b:C"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalize(c.text), c.expected) << c.text;
}

TEST(Judge, WaivedClassesAreNeverCompared) {
    for (auto cls : {Classification::Nondet, Classification::GoldenArtifact}) {
        auto j = judge("a -> b", "<deadlock>", cls);
        EXPECT_EQ(j.label, std::string(name(cls)) + "=>Excused");
        EXPECT_EQ(j.detail, "golden comparison waived; correctness on L1-L3");
        EXPECT_EQ(j.verdict, JudgeVerdict::Excused);
        EXPECT_EQ(j.kind, DiffKind::Identical);
    }
}

// One pair of texts per kind, judged under each comparing class.
TEST(Judge, VerdictTable) {
    constexpr auto P = JudgeVerdict::Pass, F = JudgeVerdict::Fail, E = JudgeVerdict::Excused;
    struct Case {
        std::string golden, ours;
        DiffKind kind;
        std::string detail;
        JudgeVerdict exact, shape, state_artifact;
    };
    const std::vector<Case> cases = {
        {"a\n(trail x)\n", "a  \n(trail x)\n\n", DiffKind::Identical, "", P, P, P},
        {"(trail x)", "(trail y)", DiffKind::CosmeticOnly,
         "line 1: golden `(trail x)` vs ours `(trail y)`", F, P, P},
        {"(labels a)\nplain", "(labels b)\nother", DiffKind::CosmeticOnly,
         "line 1: golden `(labels a)` vs ours `(labels b)`", F, P, P},
        {"(eligible a)", "(eligible b)", DiffKind::EligibleDiffers,
         "line 1: golden `(eligible a)` vs ours `(eligible b)`", F, F, F},
        {"(state a)", "(state b)", DiffKind::StateValuesDiffer,
         "line 1: golden `(state a)` vs ours `(state b)`", F, F, E},
        {"(state a)", "(state a *q*)", DiffKind::QueueMarkersDiffer,
         "line 1: golden `(state a)` vs ours `(state a *q*)`", F, F, E},
        {"plain", "a -> b", DiffKind::ArrowsDiffer, "line 1: golden `plain` vs ours `a -> b`", F, F,
         F},
        {"(header m)", "(header n)", DiffKind::ArrowsDiffer,
         "line 1: golden `(header m)` vs ours `(header n)`", F, F, F},
        {"plain", "<deadlock>", DiffKind::VerdictDiffers,
         "line 1: golden `plain` vs ours `<deadlock>`", F, F, F},
        {"a\nb\nc\n", "a\nb\n", DiffKind::SectionMissing, "line 3: golden has `c`, ours ends", F, F,
         F},
        {"", "a", DiffKind::SectionExtra, "line 1: ours has extra `a`", F, F, F},
    };
    for (const auto& c : cases) {
        for (auto [cls, expected] :
             {std::pair{Classification::Exact, c.exact}, std::pair{Classification::Shape, c.shape},
              std::pair{Classification::StateArtifact, c.state_artifact}}) {
            auto j = judge(c.golden, c.ours, cls);
            EXPECT_EQ(j.kind, c.kind) << c.golden << " | " << c.ours;
            EXPECT_EQ(j.detail, c.detail);
            EXPECT_EQ(j.verdict, expected) << c.golden << " | " << c.ours << " as " << cls;
            std::ostringstream label;
            label << cls << 'x' << c.kind;
            EXPECT_EQ(j.label, label.str());
        }
    }
}

TEST(Judge, MostSevereDifferenceDecides) {
    struct Case {
        std::string golden, ours;
        DiffKind kind;
        std::string detail;
    };
    const std::vector<Case> cases = {
        // State values (rank 6) outrank queue markers (rank 5) wherever they stand.
        {"(state a *q*)\n(state x)", "(state b *q*)\n(state y)", DiffKind::StateValuesDiffer,
         "line 2: golden `(state x)` vs ours `(state y)`"},
        {"(state x)\n(state a *q*)", "(state y)\n(state b)", DiffKind::StateValuesDiffer,
         "line 1: golden `(state x)` vs ours `(state y)`"},
        // Queue markers (5) outrank eligible sets (4).
        {"(eligible a)\n(state a *q*)", "(eligible b)\n(state b *q*)", DiffKind::QueueMarkersDiffer,
         "line 2: golden `(state a *q*)` vs ours `(state b *q*)`"},
        // Arrows (7) outrank state values; a missing section (8) outranks arrows.
        {"(state a)\nx -> y", "(state b)\nx -> z", DiffKind::ArrowsDiffer,
         "line 2: golden `x -> y` vs ours `x -> z`"},
        {"x -> y\nb\nc", "x -> z\nb", DiffKind::SectionMissing,
         "line 3: golden has `c`, ours ends"},
        // A verdict (9) outranks a missing section.
        {"a\n<x>\nc", "a\n<y>", DiffKind::VerdictDiffers, "line 2: golden `<x>` vs ours `<y>`"},
        // Equal ranks: the earliest line is reported.
        {"p\nq\nr", "p1\nq\nr1", DiffKind::CosmeticOnly, "line 1: golden `p` vs ours `p1`"},
        {"(state a)\n(state b)", "(state c)\n(state d)", DiffKind::StateValuesDiffer,
         "line 1: golden `(state a)` vs ours `(state c)`"},
        // Kinds come from the golden line, except that either side may hold an arrow or verdict.
        {"(state a)", "(eligible a)", DiffKind::StateValuesDiffer,
         "line 1: golden `(state a)` vs ours `(eligible a)`"},
        {"(trail a)", "(state a)", DiffKind::CosmeticOnly,
         "line 1: golden `(trail a)` vs ours `(state a)`"},
        {"(state a)", "x error: y", DiffKind::VerdictDiffers,
         "line 1: golden `(state a)` vs ours `x error: y`"},
        // Details show the normalised lines.
        {"(state sys.p:Idle (svk_tmp 3)", "(state p:Busy", DiffKind::StateValuesDiffer,
         "line 1: golden `(state p:Idle` vs ours `(state p:Busy`"},
    };
    for (const auto& c : cases) {
        auto j = judge(c.golden, c.ours, Classification::StateArtifact);
        EXPECT_EQ(j.kind, c.kind) << c.golden << " | " << c.ours;
        EXPECT_EQ(j.detail, c.detail);
    }
}

TEST(Judge, NormalisedNoiseIsIdentical) {
    auto j = judge("error: //tmp//m.svk\n(eligible b a)\n(state (svk_tmp 1) sys.p:Idle)\n",
                   "error: /tmp/m.svk  \r\n(eligible a b))\n(state p:Idle)", Classification::Exact);
    EXPECT_EQ(j.kind, DiffKind::Identical);
    EXPECT_EQ(j.verdict, JudgeVerdict::Pass);
    EXPECT_EQ(j.detail, "");
    EXPECT_EQ(j.label, "ExactxIdentical");
}

}  // namespace
