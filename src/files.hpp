// Thin file helpers: whole-file reads with the system's error, existence tests, and the
// temporary files and directories that belong to one run.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "kinds.hpp"

namespace tolvern::files {

// The whole file's bytes. Only regular files (links followed) are read, so that a FIFO cannot
// block and a device cannot be read without end: a directory is EISDIR, anything else "not a
// regular file", and a file too large to hold in memory EFBIG.
std::expected<std::string, std::error_code> read_bytes(const Path& path);
// The whole file as UTF-8 text; bytes that are not valid UTF-8 are an error (EILSEQ).
std::expected<std::string, std::error_code> read_text(const Path& path);
// Whether the path's status can be read (any file type; links followed).
bool exists(const Path& path);
// Whether the path is a regular file (links followed; unreadable counts as not).
bool is_regular_file(const Path& path);
// The canonical absolute path, or the path unchanged when that cannot be formed.
Path canonical_or_same(const Path& path);
// Opens the null device on each of the standard descriptors 0, 1 and 2 that is closed, so that
// no file opened later takes one of their numbers.
void fill_standard_descriptors();
// The directory for temporary files: $TMPDIR when set and not empty, else /tmp, made absolute
// against the working directory (kept as it is when that fails). Unlike
// std::filesystem::temp_directory_path it never throws.
Path temp_dir();
// "{path}: {error}" as the checks and start-up print input/output errors.
std::string describe(const Path& path, const std::error_code& error);

// A file or directory tree that one run made under the temporary directory, removed with
// everything in it when its owner goes, whatever way the run ended. Removal never follows a link,
// at the root or below: a link the run left is removed, never what it names.
struct Scratch {
    Path path;

    Scratch(Scratch&& other) noexcept : path(std::exchange(other.path, {})) {}
    Scratch& operator=(Scratch&&) = delete;
    ~Scratch();

  private:
    // Only the two below make one, as they note it for `end_all_scratch`.
    explicit Scratch(Path path) : path(std::move(path)) {}
    friend std::expected<Scratch, std::string> make_scratch_dir(std::string_view stem);
    friend std::expected<Scratch, std::string> make_scratch_file(std::string_view stem,
                                                                 std::string_view suffix,
                                                                 std::string_view bytes);
};

// A new directory "{stem}XXXXXX" in the temporary directory, the X replaced so that no other
// run can have it; its mode is 0700. The error is "{path}: {system error}".
std::expected<Scratch, std::string> make_scratch_dir(std::string_view stem);
// A new file "{stem}XXXXXX{suffix}" in the temporary directory, named as above, with mode 0600
// and the bytes written whole.
std::expected<Scratch, std::string> make_scratch_file(std::string_view stem,
                                                      std::string_view suffix,
                                                      std::string_view bytes);
// Removes every scratch that a live `Scratch` holds, and from then on makes no new one (the two
// above fail with ECANCELED): for a process that is about to exit at once, while other threads
// may still be dropping their own.
void end_all_scratch();

}  // namespace tolvern::files
