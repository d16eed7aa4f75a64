// The two drivers of kestrin's REPL daemon (one JSON request per line in, one JSON reply per line
// out) and the two simulate-repl passes built on them: repl-verdict (does the daemon surface the
// golden's verdict?) and repl-daemon (does it reconstruct the golden's trail, step by step?).
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "category/repl_records.hpp"
#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

// ---- The conversation shared by both drivers ----

// What a driver reads of one reply line. Arrays keep only their string elements.
struct Reply {
    enum class Shape : std::uint8_t { NotJson, NotObject, Object };
    Shape shape = Shape::NotJson;
    std::string status;                                    // "status" when a string, else empty
    std::optional<std::string> error;                      // "error" when a string
    std::optional<bool> ok;                                // "ok" when a boolean
    std::optional<std::vector<std::string>> eligible;      // "eligible"
    std::optional<std::vector<std::string>> trail;         // top-level "trail"
    std::optional<std::vector<std::string>> trace_trail;   // "trail" inside the "trace" object
    std::optional<std::vector<std::string>> stderr_lines;  // "stderr"
};

Reply parse_reply(std::string_view line);

// The first bail wins: a reply with status "error", or whose error mentions "render bailed",
// sets it to its error text ("error" without one).
void apply_bail(const Reply& reply, std::optional<std::string>& bail);

// The (k+1)-th trail entry that is not a verdict marker, if there are that many.
const std::string* non_marker_at(const std::vector<std::string>& trail, std::size_t k);

// `{"op":"event","event":<event as a JSON string>}` and a line break: one request line.
std::string event_request(std::string_view event);

// One running daemon, as a feeding step sees it.
struct ReplConversation;

// Sends one event and reads the reply; nothing when the write failed or no reply came, either of
// which ends feeding.
std::optional<std::string> send_event(ReplConversation& conversation, std::string_view event);

struct ReplSetup {
    bool flush = false;  // "--flush" after "--repl"
    Duration timeout{};
};

// One whole conversation: starts the daemon, hands its opening reply to `handle`, lets `feed`
// exchange events, then quits (the quit request, one last reply to `handle`, standard input
// closed, the child reaped, its standard error drained). Returns whether that standard error held
// the blocking text, or "spawn: {}", "no stdin", "no stdout", "no stderr", and, when the daemon
// had to be ended, "interrupted", "wait: {}" or which output passed its cap (a reply line of
// more than 16 MiB, standard error of more than 256 MiB). The daemon is killed at the time limit,
// which ends the conversation with what was gathered; nothing of it outlives the call.
std::expected<bool, std::string> converse(const std::filesystem::path& kestrin,
                                          const model::Model& model, const ReplSetup& setup,
                                          const std::function<void(std::string_view)>& handle,
                                          const std::function<void(ReplConversation&)>& feed);

// ---- The verdict driver and the repl-verdict pass ----

struct VerdictDrive {
    std::optional<std::string> bail;
    std::optional<std::string> verdict;  // error text of the last "verdict" or "done" reply
    std::vector<std::string> trail;      // "trace"."trail" as last reported, markers included
    bool blocking = false;
};

void apply_verdict_reply(std::string_view line, VerdictDrive& drive,
                         std::vector<std::string>& eligible);

std::expected<VerdictDrive, std::string> drive_repl_verdict(const std::filesystem::path& kestrin,
                                                            const model::Model& model,
                                                            const std::vector<std::string>& events,
                                                            Duration timeout, bool only_eligible);

ReplTraceOut repl_verdict_pass(const ReplTrace& trace,
                               const std::set<std::string>& interactive_xfail,
                               const std::filesystem::path& kestrin, const model::Model& model,
                               Duration timeout);

// ---- The interactive driver and the repl-daemon pass ----

struct ReplDrive {
    std::optional<std::string> bail;
    std::vector<std::string> trail;          // top-level "trail" as last reported
    std::vector<std::string> never_offered;  // sent unoffered, and still not in the trail
    std::vector<std::string> confirmed;      // "(state" lines the daemon answered "ok": true
    std::optional<std::string> stderr_gap;   // the first envelope problem
    bool blocking = false;
};

// Handles one reply line; returns its "ok" flag.
bool apply_interactive_reply(std::string_view line, ReplDrive& drive,
                             std::vector<std::string>& eligible);

std::expected<ReplDrive, std::string> drive_repl_interactive(const std::filesystem::path& kestrin,
                                                             const model::Model& model,
                                                             const std::vector<std::string>& events,
                                                             Duration timeout);

// The trail entries that are not verdict markers.
std::vector<std::string> trail_without_markers(const std::vector<std::string>& trail);
// The quoted items of the first "(trail" line, verdict markers dropped.
std::vector<std::string> text_trail_tokens(std::string_view text);
// Whether a "(trail" line of the golden quotes a verdict token or "<loop>".
bool golden_has_verdict(const std::filesystem::path& golden);
// "[" then the items as quoted literals separated by ", " then "]".
std::string debug_list(const std::vector<std::string>& items);

// Renders the confirmed lines and the trail with the batch simulator; nothing when its trail
// agrees, else the difference.
std::optional<std::string> repl_quit_parity(const std::filesystem::path& kestrin,
                                            const model::Model& model,
                                            const std::vector<std::string>& confirmed,
                                            const std::vector<std::string>& trail,
                                            Duration timeout);

ReplTraceOut repl_daemon_pass(const ReplTrace& trace, bool daemon_xfail_all,
                              const std::set<std::string>& daemon_xfail,
                              const std::filesystem::path& kestrin, const model::Model& model,
                              Duration timeout);

}  // namespace tolvern::category
