// The verdict driver of the repl-verdict pass: what only repl_verdict.cpp and its tests use.
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

struct VerdictDrive {
    std::optional<std::string> bail;
    std::optional<std::string> verdict;  // error text of the last "verdict" or "done" reply
    std::vector<std::string> trail;      // "trace"."trail" as last reported, markers included
    bool blocking = false;
    bool timed_out = false;  // the daemon was killed at its time limit
};

// Handles one reply line of the verdict driver.
void apply_verdict_reply(std::string_view line, VerdictDrive& drive,
                         std::vector<std::string>& eligible);

// One conversation that feeds the events the daemon has not taken by itself (with `only_eligible`,
// only those it offers) until it bails or reports a verdict.
std::expected<VerdictDrive, std::string> drive_repl_verdict(const Path& kestrin,
                                                            const model::Model& model,
                                                            const std::vector<std::string>& events,
                                                            Duration timeout, bool only_eligible);

}  // namespace tolvern::category
