// kestrin's REPL daemon as both drivers talk to it: one JSON request per line in, one JSON reply
// per line out. A conversation starts the daemon, lets the driver exchange events, then quits.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kinds.hpp"
#include "model.hpp"

namespace tolvern::category {

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

// Whether the list (of eligible events, or a trail) holds the item.
bool listed(const std::vector<std::string>& items, std::string_view item);

// One running daemon, as a feeding step sees it.
struct ReplConversation;

// Sends one event and reads the reply; nothing when the write failed or no reply came, either of
// which ends feeding.
std::optional<std::string> send_event(ReplConversation& conversation, std::string_view event);

struct ReplSetup {
    bool flush = false;  // "--flush" after "--repl"
    Duration timeout{};
};

// How a conversation ended.
struct ConversationEnd {
    bool blocking = false;   // the daemon's standard error held the blocking text
    bool timed_out = false;  // the daemon was killed at its time limit
};

// One whole conversation: starts the daemon, hands its opening reply to `handle`, lets `feed`
// exchange events, then quits (the quit request, one last reply to `handle`, standard input
// closed, the child reaped, its standard error drained). Returns how it ended, or "spawn: {}",
// "no stdin", "no stdout", "no stderr", and, when the daemon had to be ended, "interrupted",
// "wait: {}" or which output passed its cap (a reply line of more than 16 MiB, standard error of
// more than 256 MiB). The daemon is killed at the time limit, which ends the conversation with
// what was gathered; nothing of it outlives the call.
std::expected<ConversationEnd, std::string> converse(
    const Path& kestrin, const model::Model& model, const ReplSetup& setup,
    const std::function<void(std::string_view)>& handle,
    const std::function<void(ReplConversation&)>& feed);

// A trace's note that its daemon was killed: "daemon killed at its time limit of {N} s".
std::string timed_out_note(Duration timeout);

}  // namespace tolvern::category
