// The REPL daemon conversation that both drivers share: the daemon under the event loop, reply
// lines and requests. Several conversations run at once on the worker pool, each on the thread
// of its own driver.
#include "category/repl_daemon.hpp"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "category/common.hpp"
#include "category/golden.hpp"
#include "category/kestrin_cli.hpp"
#include "category/repl_daemon_internal.hpp"
#include "posix.hpp"
#include "supervisor.hpp"

namespace tolvern::category {

namespace {

using posix::Clock;
using supervisor::Stop;
using supervisor::Stream;
// The daemon is killed at its deadline, which ends its output. Reads give up this long after the
// deadline all the same, in case a process the daemon started still holds its pipes.
constexpr auto READ_GRACE = std::chrono::seconds(1);
constexpr std::string_view QUIT_REQUEST = "{\"op\":\"quit\"}\n";

std::string launch_failure(const supervisor::LaunchError& failure) {
    using Step = supervisor::LaunchError::Step;
    switch (failure.step) {
        case Step::Input: return "no stdin";
        case Step::Output: return "no stdout";
        case Step::Error: return "no stderr";
        case Step::Start: break;
    }
    if (failure.error == ECANCELED) return supervisor::INTERRUPTED;
    return "spawn: " + posix::error_text(failure.error);
}

std::vector<std::string> string_elements(const nlohmann::json& array) {
    std::vector<std::string> items;
    for (const auto& item : array)
        if (item.is_string()) items.push_back(item.get<std::string>());
    return items;
}

std::optional<std::vector<std::string>> string_array(const nlohmann::json& object,
                                                     std::string_view key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_array()) return std::nullopt;
    return string_elements(*found);
}

}  // namespace

// A reply line longer than this ends the conversation: a daemon that never ends its line must not
// take the session's memory. A power of two, like the stream caps.
constexpr std::size_t REPLY_LINE_CAP = std::size_t{16} << 20;

struct ReplConversation {
    supervisor::Supervisor daemon;
    Clock::time_point give_up;
    std::size_t scanned = 0;  // the daemon's output holds no "\n" before this
    std::optional<std::string> failure{};
    bool timed_out = false;

    // Ends the conversation for a reason of its own: the daemon is killed and reaped.
    void fail(std::string reason) {
        daemon.end();
        if (!failure) failure = std::move(reason);
    }

    // Whether the conversation can go on after a pump. A daemon killed at its deadline can: the
    // replies it left in the pipe are still read, then its output has ended.
    bool settled(Stop stop) {
        switch (stop) {
            case Stop::TimedOut: timed_out = true; return true;
            case Stop::Done:
            case Stop::GaveUp: return true;
            case Stop::OverCap:
            case Stop::Interrupted:
            case Stop::WaitFailed: break;
        }
        fail(daemon.failure(stop));
        return false;
    }

    // The next reply line, up to and including its "\n"; a last line without one is still a
    // reply. Nothing once the output has ended.
    std::optional<std::string> next_line() {
        auto& out = daemon.bytes(Stream::Out);
        auto line_end = [&] {
            auto end = out.find('\n', scanned);
            scanned = end == std::string::npos ? out.size() : end;
            return end != std::string::npos;
        };
        auto stop = daemon.pump(give_up, [&] {
            return line_end() || !daemon.open(Stream::Out) || out.size() > REPLY_LINE_CAP;
        });
        if (!settled(stop)) return std::nullopt;
        if (line_end()) {
            std::string line = out.substr(0, scanned + 1);
            out.erase(0, scanned + 1);
            scanned = 0;
            return line;
        }
        if (out.size() > REPLY_LINE_CAP) {
            fail(supervisor::over_cap_message("a reply line", REPLY_LINE_CAP));
            return std::nullopt;
        }
        if (out.empty()) return std::nullopt;
        scanned = 0;
        return std::exchange(out, {});
    }

    // Writes a request; false when the daemon no longer takes input.
    bool send(std::string_view request) {
        if (!daemon.input_open()) return false;
        daemon.feed(request);
        return settled(daemon.pump(give_up, [&] { return !daemon.feeding(); })) &&
               daemon.input_open();
    }
};

Reply parse_reply(std::string_view line) {
    nlohmann::json value;
    try {
        value = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        return {};
    }
    Reply reply;
    if (!value.is_object()) {
        reply.shape = Reply::Shape::NotObject;
        return reply;
    }
    reply.shape = Reply::Shape::Object;
    if (auto status = value.find("status"); status != value.end() && status->is_string())
        reply.status = status->get<std::string>();
    if (auto error = value.find("error"); error != value.end() && error->is_string())
        reply.error = error->get<std::string>();
    if (auto ok = value.find("ok"); ok != value.end() && ok->is_boolean())
        reply.ok = ok->get<bool>();
    reply.eligible = string_array(value, "eligible");
    reply.trail = string_array(value, "trail");
    if (auto trace = value.find("trace"); trace != value.end() && trace->is_object())
        reply.trace_trail = string_array(*trace, "trail");
    reply.stderr_lines = string_array(value, "stderr");
    return reply;
}

void apply_bail(const Reply& reply, std::optional<std::string>& bail) {
    bool bails = reply.status == "error" ||
                 (reply.error && reply.error->find("render bailed") != std::string::npos);
    if (bails && !bail) bail = reply.error.value_or("error");
}

const std::string* non_marker_at(const std::vector<std::string>& trail, std::size_t k) {
    for (const auto& entry : trail) {
        if (is_verdict_token(entry)) continue;
        if (k == 0) return &entry;
        --k;
    }
    return nullptr;
}

bool listed(const std::vector<std::string>& items, std::string_view item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

std::string event_request(std::string_view event) {
    std::string line = R"({"op":"event","event":)";
    line += nlohmann::json(std::string(event))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return line += "}\n";
}

std::optional<std::string> send_event(ReplConversation& conversation, std::string_view event) {
    if (!conversation.send(event_request(event))) return std::nullopt;
    return conversation.next_line();
}

std::expected<ConversationEnd, std::string> converse(
    const Path& kestrin, const model::Model& model, const ReplSetup& setup,
    const std::function<void(std::string_view)>& handle,
    const std::function<void(ReplConversation&)>& feed) {
    auto deadline = posix::deadline_after(Clock::now(), setup.timeout);
    auto invocation =
        kestrin_invocation(kestrin, model, repl_args(model, setup.flush), setup.timeout);
    auto launched = supervisor::Supervisor::start({
        .plan = runner::spawn_plan(invocation),
        .with_input = true,
        .deadline = deadline,
    });
    if (!launched) return std::unexpected(launch_failure(launched.error()));

    ReplConversation conversation{std::move(*launched),
                                  posix::deadline_after(deadline, READ_GRACE)};
    if (auto opening = conversation.next_line()) handle(*opening);
    feed(conversation);
    (void)conversation.send(QUIT_REQUEST);
    if (auto last = conversation.next_line()) handle(*last);
    // Closing standard output too: a daemon still writing after its last reply gets EPIPE
    // instead of blocking on a full pipe until the deadline.
    auto& daemon = conversation.daemon;
    daemon.close_input();
    daemon.close(Stream::Out);
    // Its standard error is read as long as its replies were.
    if (!conversation.settled(daemon.finish(READ_GRACE)))
        return std::unexpected(*conversation.failure);
    if (conversation.failure) return std::unexpected(*conversation.failure);
    return ConversationEnd{is_blocking(daemon.bytes(Stream::Err)), conversation.timed_out};
}

std::string timed_out_note(Duration timeout) {
    return "daemon killed at its time limit of " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s";
}

}  // namespace tolvern::category
