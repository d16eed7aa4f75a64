// The REPL daemon: one JSON reply line per request line, taken from the model's script
// "standin/repl.jsonl" when it has one, else made by walking the model's recorded traces.
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "standin.hpp"

namespace standin {

namespace {

using Json = nlohmann::ordered_json;

// Each reply is written at once: the client waits for it before sending its next request.
void reply(const Json& json) {
    write_all(1, json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
}

// The request lines of standard input; every byte read is kept for the run's record.
struct Requests {
    std::string seen;
    std::size_t next = 0;
    bool closed = false;

    std::optional<std::string> line() {
        for (;;) {
            if (auto end = seen.find('\n', next); end != std::string::npos) {
                auto line = seen.substr(next, end - next);
                next = end + 1;
                return line;
            }
            if (closed) {
                if (next == seen.size()) return std::nullopt;
                auto line = seen.substr(next);
                next = seen.size();
                return line;
            }
            char buffer[4096];
            ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                closed = true;
            else
                seen.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

// The ways a conversation ends; each records the run first.
struct Conversation {
    std::span<const std::string> args;
    const Plan& plan;
    Requests requests;

    [[noreturn]] void end() {
        log_run(args, requests.seen);
        standin::end(plan);
    }
    [[noreturn]] void exit_now(int status) {
        log_run(args, requests.seen);
        _exit(status);
    }
    // Blocks until killed, without using the processor.
    [[noreturn]] void hang() {
        log_run(args, requests.seen);
        for (;;) ::pause();
    }
};

// A string member of a request line that is a JSON object.
std::optional<std::string> request_field(const std::string& line, const char* name) {
    auto request = Json::parse(line, nullptr, false);
    if (!request.is_object()) return std::nullopt;
    auto member = request.find(name);
    if (member == request.end() || !member->is_string()) return std::nullopt;
    return member->get<std::string>();
}

bool is_quit(const std::string& line) {
    return request_field(line, "op") == "quit";
}

const Json AFTER_SCRIPT = {{"status", "ok"}, {"ok", true}, {"stderr", Json::array()}};
const Json BYE = {{"status", "bye"}, {"stderr", Json::array()}};

[[noreturn]] void scripted(Conversation& talk, std::string_view script_text) {
    auto script = split_lines(script_text);
    std::size_t cursor = 0;
    // Writes the script's next reply, carrying out the special lines before it.
    auto next_reply = [&](const Json& fallback) {
        while (cursor < script.size()) {
            auto line = script[cursor++];
            if (line == "@hang") talk.hang();
            if (line.starts_with("@exit ")) {
                auto status = parse_u64(trim(line.substr(6)));
                if (!status || *status > 255) fail("repl.jsonl: bad line: " + std::string(line));
                talk.exit_now(static_cast<int>(*status));
            }
            if (line == "@stderr" || line.starts_with("@stderr ")) {
                write_all(2,
                          std::string(line.substr(std::min<std::size_t>(line.size(), 8))) + "\n");
                continue;
            }
            write_all(1, std::string(line) + "\n");
            return;
        }
        reply(fallback);
    };
    next_reply(AFTER_SCRIPT);
    while (auto request = talk.requests.line()) {
        bool quit = is_quit(*request);
        next_reply(quit ? BYE : AFTER_SCRIPT);
        if (quit) break;
    }
    talk.end();
}

// A recorded trace as the default daemon knows it.
struct Recorded {
    std::vector<std::string> events;
    std::optional<std::string> verdict;
};

// The default daemon: every recorded event is eligible; the trail grows with every event sent,
// and completing a trace whose golden trail ends in a verdict surfaces that verdict.
struct Walk {
    std::string display;
    std::vector<Recorded> traces;
    std::vector<std::string> eligible;
    std::vector<std::string> trail;

    Json envelope(std::string_view status, bool ok, std::optional<std::string> error = {}) const {
        Json json = {{"status", status}, {"ok", ok}};
        if (error) json["error"] = *error;
        json["eligible"] = eligible;
        json["trail"] = trail;
        json["trace"] = {{"trail", trail}};
        json["stderr"] = error ? Json::array({*error}) : Json::array();
        return json;
    }

    Json event(std::string_view event) {
        if (event.starts_with("(state")) return envelope("ok", true);
        trail.emplace_back(event);
        for (auto& trace : traces) {
            if (!trace.verdict || trace.events != trail) continue;
            trail.push_back(*trace.verdict);
            return envelope("verdict", true, display + ":1:1: error: " + *trace.verdict);
        }
        return envelope("ok", true);
    }
};

Walk load_walk(const fs::path& model_dir, std::string_view display) {
    Walk walk{std::string(display), {}, {}, {}};
    for (auto& name : trace_names(model_dir)) {
        auto golden = model_dir / "baseline" / ("simulate." + name);
        if (auto override_path = fs::path(golden.string() + ".override"); is_file(override_path))
            golden = override_path;
        Recorded trace{trace_events(read_file(model_dir / ("trace." + name)).value_or("")),
                       trail_verdict(read_file(golden).value_or(""))};
        for (auto& event : trace.events)
            if (std::ranges::find(walk.eligible, event) == walk.eligible.end())
                walk.eligible.push_back(event);
        walk.traces.push_back(std::move(trace));
    }
    return walk;
}

[[noreturn]] void walk_traces(Conversation& talk, Walk walk) {
    reply(walk.envelope("ok", true));
    while (auto line = talk.requests.line()) {
        if (is_quit(*line)) {
            reply(walk.envelope("bye", true));
            break;
        }
        auto event = request_field(*line, "event");
        if (request_field(*line, "op") == "event" && event)
            reply(walk.event(*event));
        else
            reply(walk.envelope("error", false, "bad request: " + *line));
    }
    talk.end();
}

}  // namespace

void run_repl(const fs::path& model_dir, std::string_view display, const Plan& plan,
              std::span<const std::string> args) {
    write_bytes(2, plan.err);
    Conversation talk{args, plan, {}};
    if (auto script = read_file(model_dir / "standin" / "repl.jsonl")) scripted(talk, *script);
    walk_traces(talk, load_walk(model_dir, display));
}

}  // namespace standin
