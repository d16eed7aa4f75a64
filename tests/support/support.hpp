// Test helpers: temporary directories, files, corpora with their .aut texts, and runs of the
// built binaries.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner.hpp"

namespace tolvern::testing {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

inline const fs::path TOLVERN_BIN = TOLVERN_BIN_PATH;
inline const fs::path KESTRIN_STANDIN = KESTRIN_STANDIN_PATH;
inline const fs::path LTSCOMPARE_STANDIN = LTSCOMPARE_STANDIN_PATH;
inline const fs::path SOURCE_DIR = SOURCE_DIR_PATH;
// The build type that these binaries were configured with ("" when none was given).
inline const std::string BUILD_TYPE = BUILD_TYPE_NAME;

// A fresh directory under $TMPDIR, removed with everything in it at the end of its scope.
struct TempDir {
    fs::path path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// Writes the bytes, creating missing parent directories.
void write_file(const fs::path& path, std::string_view bytes);
// The whole file, or "<missing>" when it cannot be read.
std::string read_file(const fs::path& path);

struct Run {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end and returns its status and both streams (fails the test on a
// spawn error or time-out).
Run run_program(const fs::path& program, std::vector<std::string> args, const fs::path& cwd,
                std::vector<std::pair<std::string, std::string>> env = {},
                std::optional<std::string> input = std::nullopt);

// A corpus in a temporary directory: test-models/NAME/ directories with files.
struct Corpus {
    TempDir dir;
    fs::path root = dir.path;

    // test-models/NAME, created with NAME.svk unless `with_source` is false.
    fs::path model(std::string_view name, bool with_source = true);
    // Writes files relative to a model directory.
    void files(std::string_view name,
               std::initializer_list<std::pair<std::string_view, std::string_view>> files);

    // Runs tolvern in the corpus root with the kestrin stand-in and the given arguments.
    Run tolvern(std::vector<std::string> args,
                std::vector<std::pair<std::string, std::string>> env = {}) const;
    // The same with another program in kestrin's place.
    Run tolvern_with(const fs::path& kestrin, std::vector<std::string> args,
                     std::vector<std::pair<std::string, std::string>> env = {}) const;
};

// Runs tolvern in both corpora at the same time with one kestrin, the same arguments and the
// same environment, each also told where to meet the other (MEET_DIR, MEET_ME, MEET_OTHER) for
// the shell lines of MEET.
std::pair<Run, Run> run_together(const Corpus& first, const Corpus& second, const fs::path& kestrin,
                                 const Strings& args,
                                 const std::vector<std::pair<std::string, std::string>>& env,
                                 const fs::path& meet_dir);
// Shell lines that note this party's arrival and wait, ten seconds at most, for the other's, so
// that what follows runs while the other party has come as far.
inline constexpr std::string_view MEET =
    "touch \"$MEET_DIR/$MEET_ME\"; waited=0\n"
    "while [ ! -e \"$MEET_DIR/$MEET_OTHER\" ] && [ $waited -lt 200 ]; do\n"
    "  sleep 0.05; waited=$((waited + 1))\n"
    "done\n";

// The arguments with the comparator stand-in named after them.
Strings with_comparator(Strings args);
// A PATH setting on which no program can be found (an empty directory in the corpus).
std::pair<std::string, std::string> empty_path(const Corpus& corpus);

// An .aut text from (source, label, target) triples, with the header counting `states`.
struct Edge {
    unsigned from;
    std::string label;
    unsigned to;
};
std::string aut_text(unsigned states, const std::vector<Edge>& edges);

// A shell command prefix that runs what follows as an unprivileged user (by default nobody),
// since root's rights lift the limits some tests must meet: empty when this process is not
// root, nothing when no such user can be taken. What the command reads or writes must be open
// to that user.
std::optional<std::string> unprivileged_prefix(unsigned uid = 65534);

// The lines of a text that contain the needle.
std::vector<std::string> lines_with(std::string_view text, std::string_view needle);

}  // namespace tolvern::testing
