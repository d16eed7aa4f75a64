// The kestrin stand-in's shared declarations: fixture plans, byte I/O, the run record, and the
// trace texts and lookups that the one-shot operations and the REPL daemon share.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text.hpp"

namespace standin {

namespace fs = std::filesystem;

// Where a stream's bytes come from: a file streamed as it stands, else literal bytes.
struct Bytes {
    std::optional<fs::path> file;
    std::string text;
};

// Everything a run does besides its operation's own work, once fixtures and defaults are merged.
struct Plan {
    Bytes out;
    Bytes err;
    int exit = 0;
    std::optional<int> signal;
    double sleep = 0;
};

// Fields come from "{op}.{key}.{field}", else "{op}.{field}" in the fixture directory (none when
// the directory path is empty), else the defaults; a malformed number is an error naming its file.
std::expected<Plan, std::string> resolve_plan(const fs::path& fixtures, std::string_view op,
                                              const std::optional<std::string>& key,
                                              Bytes default_out, Bytes default_err);
void sleep_for(double seconds);
void write_bytes(int fd, const Bytes& bytes);
// Writes the streams, then ends the process as the plan says.
[[noreturn]] void finish(const Plan& plan);
// Ends the process by the plan's signal, else with its exit status.
[[noreturn]] void end(const Plan& plan);

// Byte I/O. Writes retry partial writes and interruptions and give up silently on a closed
// pipe: the reader has gone and nobody is left to tell.
void write_all(int fd, std::string_view bytes);
void stream_file(int fd, const fs::path& path);
std::optional<std::string> read_file(const fs::path& path);
std::string read_all(int fd);
bool is_file(const fs::path& path);
// A corpus or command-line mistake: the message on standard error, exit status 2.
[[noreturn]] void fail(std::string_view message);

// Appends the run's record to $KESTRIN_STANDIN_LOG when it is set.
void log_run(std::span<const std::string> args, const std::optional<std::string>& input);

// Text helpers shared with tolvern: lines, trimming, strict unsigned decimals.
using tolvern::text::parse_u64;
using tolvern::text::split_lines;
using tolvern::text::trim;

// Trace texts. A verdict marker is an item written in angle brackets ("<deadlock>").
bool is_marker(std::string_view item);
// The trimmed, non-empty lines of a trace that are events: no "(state" lines, no markers.
std::vector<std::string> trace_events(std::string_view trace_text);
// The last verdict marker quoted on the last line starting with "(trail", if any.
std::optional<std::string> trail_verdict(std::string_view simulation);

// X of the files "trace.{X}" in the model directory, in byte order.
std::vector<std::string> trace_names(const fs::path& model_dir);
// The first X whose "trace.{X}" holds exactly these bytes.
std::optional<std::string> trace_with_bytes(const fs::path& model_dir, std::string_view bytes);

// A golden simulation "baseline/simulate.{X}" of a model directory.
struct Simulation {
    fs::path model_dir;
    std::string name;
};
// The first golden simulation under "test-models/*/" whose text, followed by its ".stderr"
// sibling when that exists, equals the bytes.
std::optional<Simulation> simulation_with_bytes(const fs::path& root, std::string_view bytes);

// The golden of a step: "eligible.{X}.{K}.override" when it exists, else "eligible.{X}.{K'}"
// with K' the largest step not above K.
std::optional<fs::path> eligible_golden(const fs::path& model_dir, std::string_view name,
                                        std::uint64_t step);

// The REPL daemon: the conversation on standard input and output for the model directory; the
// run is recorded, with the requests read as its input, when it ends or starts to hang.
[[noreturn]] void run_repl(const fs::path& model_dir, std::string_view display, const Plan& plan,
                           std::span<const std::string> args);

}  // namespace standin
