// Per-model session logs (the notes and commands of one check, written as the text file "log")
// and the per-model output directories they live in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "kinds.hpp"
#include "runner.hpp"

namespace tolvern::log {

// What the log keeps of one output stream: the text only where the log lists it (no artefact
// file and at most 20 lines), else its line count alone, so that a log holds no large output.
struct CapturedStream {
    std::optional<std::string> text;
    std::size_t lines = 0;
    std::optional<Path> artefact;
};

CapturedStream capture(std::string_view text, std::optional<Path> artefact);

// A command that exited, as the log keeps it.
struct Exited {
    std::int32_t code = 0;
    Duration elapsed{};
    CapturedStream out;
    CapturedStream err;
};

using Ending = std::variant<Exited, runner::TimedOut, runner::SpawnError>;

struct Note {
    std::string text;
};

struct Cmd {
    std::string label;
    Path program;
    std::vector<std::string> args;
    Ending ending;
};

// The log's own record of a tool run, with the artefact files its streams were kept in.
Cmd record(std::string label, const runner::Invocation& invocation, const runner::Outcome& outcome,
           std::optional<Path> stdout_file = std::nullopt,
           std::optional<Path> stderr_file = std::nullopt);

using Entry = std::variant<Note, Cmd>;

struct SessionLog {
    std::string model;
    std::string category;
    std::vector<Entry> entries;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    SessionLog(std::string model, std::string category)
        : model(std::move(model)), category(std::move(category)) {}

    void cmd(std::string label, const runner::Invocation& invocation,
             const runner::Outcome& outcome, std::optional<Path> stdout_file = std::nullopt,
             std::optional<Path> stderr_file = std::nullopt) {
        entries.emplace_back(record(std::move(label), invocation, outcome, std::move(stdout_file),
                                    std::move(stderr_file)));
    }
    void note(std::string text) { entries.emplace_back(Note{std::move(text)}); }

    // The text of the "log" file, for a log that has run for `elapsed`.
    std::string render(std::string_view status, std::string_view reason, Duration elapsed) const;
    // Renders the log and writes it to dir/"log", creating dir with its parents.
    std::expected<void, std::error_code> write_to(const Path& dir, std::string_view status,
                                                  std::string_view reason) const;
};

// The per-model output directory: output root, then category name, then model name.
namespace ModelOutDir {
// Makes the output root with its missing parents, then the category's and the model's
// directories below it, and returns the model's. A name below the root that holds anything but
// a directory (a symbolic link, a file) is not followed: the error names what is there
// ("{path} is a symbolic link, not a directory"); any other error is the system's text.
std::expected<Path, std::string> create(const Path& base, std::string_view category,
                                        std::string_view model);
// Writes bytes as dir/name, whole (files::write_whole), and returns that path: dir/name is
// always either the old file or the new one; on a failure the old one stays.
std::expected<Path, std::error_code> write(const Path& dir, std::string_view name,
                                           std::string_view bytes);
}  // namespace ModelOutDir

// The text as one word a POSIX shell reads back unchanged.
std::string shell_escape(std::string_view text);
// One captured stream of a command entry, as its lines of the log (each ending in "\n").
std::string render_stream(std::string_view name, const CapturedStream& stream);

}  // namespace tolvern::log
