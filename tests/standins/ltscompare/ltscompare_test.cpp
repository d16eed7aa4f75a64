// Tests of the comparator stand-in through its built binary: hand-checked pairs of systems
// (nondeterminism, divergence, hidden labels) and its handling of bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

namespace tolvern::testing {
namespace {

struct Pair {
    std::string name, left, right;
    std::vector<std::string> extra;  // options before the two files
    std::string answer;              // last line of standard output
    std::string counterexample;      // file contents, "<missing>" when none is written
};

TEST(LtscompareStandin, DecidesHandCheckedPairs) {
    const std::string stop = "des (0, 0, 1)\n";
    const std::string a_then_b_or_c =
        "des (0, 3, 4)\n(0, \"a\", 1)\n(1, \"b\", 2)\n(1, \"c\", 3)\n";
    const std::string a_b_or_a_c =
        "des (0, 4, 5)\n(0, \"a\", 1)\n(1, \"b\", 2)\n(0, \"a\", 3)\n(3, \"c\", 4)\n";
    const std::string internal_choice =
        "des (0, 4, 5)\n(0, tau, 1)\n(0, tau, 2)\n"
        "(1, \"a\", 3)\n(2, \"b\", 4)\n";
    const std::string only_a = "des (0, 1, 2)\n(0, \"a\", 1)\n";
    const std::string divergent = "des (0, 2, 2)\n(0, \"tau\", 1)\n(1, \"tau\", 0)\n";
    const std::string divergent_then_a = "des (0, 2, 2)\n(0, \"tau\", 0)\n(0, \"a\", 1)\n";
    const std::string a_or_b = "des (0, 2, 3)\n(0, \"a\", 1)\n(0, \"b\", 2)\n";
    // a, or after an internal move only b: the stable state after the move refuses a.
    const std::string a_else_b = "des (0, 3, 4)\n(0, \"a\", 1)\n(0, tau, 2)\n(2, \"b\", 3)\n";
    const std::string divergent_beside_a =
        "des (0, 3, 3)\n(0, tau, 0)\n(0, tau, 1)\n(1, \"a\", 2)\n";
    const std::string a_tau_b = "des (0, 3, 4)\n(0, \"a\", 1)\n(1, tau, 2)\n(2, \"b\", 3)\n";
    const std::string none = "<missing>";
    const std::vector<Pair> pairs = {
        {"external choice below its internal fallback", a_or_b, a_else_b, {}, "true", none},
        {"internal fallback refuses a at the start", a_else_b, a_or_b, {}, "false", ""},
        {"divergence beside a below a", divergent_beside_a, only_a, {}, "true", none},
        {"a below divergence beside a", only_a, divergent_beside_a, {}, "true", none},
        {"internal step inside a trace",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         a_tau_b,
         {},
         "true",
         none},
        {"the stable state after the internal step refuses c",
         a_tau_b,
         a_then_b_or_c,
         {},
         "false",
         "\"a\"\n"},
        {"renumbered",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         "des (1, 2, 3)\n(2, \"b\", 0)\n(1, \"a\", 2)\n",
         {},
         "true",
         none},
        {"fewer refusals", a_then_b_or_c, a_b_or_a_c, {}, "true", none},
        {"more refusals", a_b_or_a_c, a_then_b_or_c, {}, "false", "\"a\"\n"},
        {"missing trace",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         only_a,
         {},
         "false",
         "\"a\"\n\"b\"\n"},
        {"one branch of an internal choice", only_a, internal_choice, {}, "true", none},
        {"internal choice refuses what a does not", internal_choice, only_a, {}, "false", ""},
        // Divergence has no stable state, so no refusals: it is below everything.
        {"divergence below stop", divergent, stop, {}, "true", none},
        {"stop not below divergence", stop, divergent, {}, "false", ""},
        {"divergence before a", divergent_then_a, only_a, {}, "true", none},
        {"a refuses more than divergence before a", only_a, divergent_then_a, {}, "false", ""},
        {"hidden label",
         "des (0, 3, 4)\n(0, a, 1)\n(1, h(1), 2)\n(2, \"b\", 3)\n",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         {"--tau=x,h"},
         "true",
         none},
        {"shown label",
         "des (0, 3, 4)\n(0, a, 1)\n(1, h(1), 2)\n(2, \"b\", 3)\n",
         "des (0, 2, 3)\n(0, \"a\", 1)\n(1, \"b\", 2)\n",
         {"--tau=x"},
         "false",
         "\"a\"\n"},
    };
    for (const auto& pair : pairs) {
        TempDir dir;
        write_file(dir.path / "left.aut", pair.left);
        write_file(dir.path / "right.aut", pair.right);
        std::vector<std::string> args = {"-pweak-failures", "-c", "--counter-example-file=ce"};
        args.insert(args.end(), pair.extra.begin(), pair.extra.end());
        args.insert(args.end(), {"left.aut", "right.aut"});
        auto run = run_program(LTSCOMPARE_STANDIN, args, dir.path);
        EXPECT_EQ(run.code, 0) << pair.name << "\n" << run.err;
        EXPECT_TRUE(run.out.ends_with("\n" + pair.answer + "\n") || run.out == pair.answer + "\n")
            << pair.name << "\n"
            << run.out;
        EXPECT_EQ(read_file(dir.path / "ce"), pair.counterexample) << pair.name;
    }
}

TEST(LtscompareStandin, RejectsBadInputOnStandardError) {
    struct Case {
        std::string name, left;
        std::vector<std::string> args;
        std::string message;
    };
    const std::string good = "des (0, 1, 2)\n(0, \"a\", 1)\n";
    const std::vector<Case> cases = {
        {"bad header",
         "des 0 1 2\n",
         {"-pweak-failures", "left.aut", "good.aut"},
         "ltscompare: left.aut: line 1: "},
        {"state out of range",
         "des (0, 1, 2)\n(0, \"a\", 2)\n",
         {"-pweak-failures", "left.aut", "good.aut"},
         "ltscompare: left.aut: line 2: "},
        {"unclosed label",
         "des (0, 1, 2)\n(0, \"a, 1)\n",
         {"-pweak-failures", "left.aut", "good.aut"},
         "ltscompare: left.aut: line 2: "},
        {"count",
         "des (0, 2, 2)\n(0, \"a\", 1)\n",
         {"-pweak-failures", "left.aut", "good.aut"},
         "ltscompare: left.aut: the header announces 2 transitions, the file has 1"},
        {"unreadable",
         good,
         {"-pweak-failures", "absent.aut", "good.aut"},
         "ltscompare: cannot read absent.aut: No such file or directory"},
        {"other preorder",
         good,
         {"-ptrace", "left.aut", "good.aut"},
         "ltscompare: unsupported preorder"},
        {"one file", good, {"-pweak-failures", "left.aut"}, "ltscompare: two .aut files"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.path / "left.aut", c.left);
        write_file(dir.path / "good.aut", good);
        auto run = run_program(LTSCOMPARE_STANDIN, c.args, dir.path);
        EXPECT_EQ(run.code, 1) << c.name;
        EXPECT_TRUE(run.err.starts_with(c.message)) << c.name << "\n" << run.err;
        EXPECT_EQ(run.out, "") << c.name;
    }
}

}  // namespace
}  // namespace tolvern::testing
