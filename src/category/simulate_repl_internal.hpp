// The parts of the simulate-repl check that only simulate_repl.cpp and its tests use: the xfail
// lists of traces and the rule that turns the summed tally into a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "category/repl_records.hpp"
#include "kinds.hpp"

namespace tolvern::category {

// The two xfail lists differ only in what "*" and "trace.*" mean.
enum class TraceListKind : std::uint8_t {
    Interactive,  // "simulate-repl.interactive.xfail": "trace.*" names a trace called "*"
    Daemon,       // "repl-daemon.xfail": "*" and "trace.*" mark every trace
};

struct TraceList {
    std::set<std::string> names;
    bool all = false;  // only a Daemon list sets it
};

// The trace names listed by an xfail list's text ("trace.{X}: comment" lines).
TraceList parse_trace_list(std::string_view text, TraceListKind kind);
// The list in a file; a missing, unreadable or non-UTF-8 file lists nothing.
TraceList read_trace_list(const Path& path, TraceListKind kind);

struct ReplStatus {
    Status status = Status::Skip;
    std::string reason;
};

// The model's status and reason from the tally of all passes over `traces` traces.
ReplStatus repl_status(const ReplTally& tally, std::size_t traces);

}  // namespace tolvern::category
