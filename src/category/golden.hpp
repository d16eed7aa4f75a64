// Golden-file helpers: override and stderr siblings, the judging class of a golden, the judge as
// pass or fail, the stderr gate, difference texts, expected-line checks, verify normalisation and
// the verdict tokens of trails.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kinds.hpp"
#include "render/judge.hpp"

namespace tolvern::category {

inline constexpr std::array<std::string_view, 13> VERDICT_TOKENS = {
    "<non-compliance>", "<illegal>",      "<declarative-illegal>", "<explicit-illegal>",
    "<deadlock>",       "<livelock>",     "<range-error>",         "<queue-full>",
    "<missing-reply>",  "<second-reply>", "<non-deterministic>",   "<invariant>",
    "<match>",
};

// One of the 13 tokens or "<loop>", byte for byte.
bool is_verdict_token(std::string_view text);

// "{golden}.override" when it exists, else the golden.
Path stdout_golden_path(const Path& golden);
// The class named by the last meaningful line of "{golden}.judge"; Shape when there is none.
kestrin::render::judge::Classification judge_class(const Path& golden);
// False exactly when the judge fails ours against the golden (unreadable golden: empty).
// Named as kestrin's other tooling knows it: the judge's pass on one golden, overrides aside.
bool l4_judge_pass(const Path& golden, std::string_view ours,
                   kestrin::render::judge::Classification cls);
// Whether the judge passes ours against the golden or, when there is one, its ".override"; the
// plain golden's class judges both.
bool stdout_judge_pass(const Path& golden, std::string_view ours,
                       kestrin::render::judge::Classification cls);
// Whether a run's standard error is acceptable against the golden's stderr siblings.
bool stderr_gate_ok(const Path& golden, std::string_view stderr_text);
// Equal once every trailing "\n" is removed from both.
bool equal_but_trailing_newlines(std::string_view a, std::string_view b);

// The first differing line, a length difference, or "no line-level diff?".
std::string first_diff_line(std::string_view golden, std::string_view ours);
// The expected lines (not empty, not "#" comments) that the output does not contain.
std::vector<std::string> missing_substrings(std::string_view expected, std::string_view output);
// Trailing Unicode white space removed from every line, trailing line breaks removed.
std::string normalize_verify(std::string_view text);

// Whether the golden's last "(trail" line holds a quoted verdict token (not "<loop>").
bool baseline_ends_in_verdict(const Path& golden);
// Whether the golden's last "(trail" line holds "\"<match>\"".
bool baseline_ends_in_match(const Path& golden);

// Whether the line holds the token between double quotes.
bool holds_quoted(std::string_view line, std::string_view token);
// Whether the line holds one of the 13 verdict tokens between double quotes.
bool holds_quoted_verdict(std::string_view line);

// The text as a double-quoted literal in which nothing invisible goes unnoticed: quote,
// backslash, NUL, tab, CR and LF backslash-escaped, other unprintable characters as "\u{hex}",
// invalid UTF-8 as U+FFFD.
std::string quoted(std::string_view raw);

// "{golden}.repl.override" and "{golden}.repl.override.stderr".
std::pair<Path, Path> repl_override_paths(const Path& golden);

}  // namespace tolvern::category
