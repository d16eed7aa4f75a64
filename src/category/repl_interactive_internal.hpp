// The interactive driver of the repl-daemon pass and its trail texts: what only
// repl_interactive.cpp and its tests use.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

struct ReplDrive {
    std::optional<std::string> bail;
    std::vector<std::string> trail;          // top-level "trail" as last reported
    std::vector<std::string> never_offered;  // sent unoffered, and still not in the trail
    std::vector<std::string> confirmed;      // "(state" lines the daemon answered "ok": true
    std::optional<std::string> stderr_gap;   // the first envelope problem
    bool blocking = false;
    bool timed_out = false;  // the daemon was killed at its time limit
};

// Handles one reply line; returns its "ok" flag.
bool apply_interactive_reply(std::string_view line, ReplDrive& drive,
                             std::vector<std::string>& eligible);

// One conversation that walks the daemon through the events step by step: "(state" lines are
// confirmed, an event already at its place in the trail is skipped, and one the daemon did not
// offer is sent all the same and noted when it stays out of the trail.
std::expected<ReplDrive, std::string> drive_repl_interactive(const Path& kestrin,
                                                             const model::Model& model,
                                                             const std::vector<std::string>& events,
                                                             Duration timeout);

// The trail entries that are not verdict markers.
std::vector<std::string> trail_without_markers(const std::vector<std::string>& trail);
// The quoted items of the first "(trail" line, verdict markers dropped.
std::vector<std::string> text_trail_tokens(std::string_view text);
// Whether a "(trail" line of the golden quotes a verdict token or "<loop>".
bool golden_has_verdict(const Path& golden);
// "[" then the items as quoted literals separated by ", " then "]".
std::string debug_list(const std::vector<std::string>& items);

// Renders the confirmed lines and the trail with the batch simulator; nothing when its trail
// agrees, else the difference.
std::optional<std::string> repl_quit_parity(const Path& kestrin, const model::Model& model,
                                            const std::vector<std::string>& confirmed,
                                            const std::vector<std::string>& trail,
                                            Duration timeout);

}  // namespace tolvern::category
