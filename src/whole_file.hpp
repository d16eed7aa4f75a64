// Files written whole: the bytes go to a new file beside the name, which then takes the name in
// one step, so that a session ended at any point (a second signal, a crash, SIGKILL) leaves there
// the old file or the new one, never the start of one and the rest of the other.
#pragma once

#include <expected>
#include <string_view>

#include "kinds.hpp"

namespace tolvern::files {

// Writes the bytes as a new file at `path`, whose directory must exist; the file that held the
// name is removed, never written. On a failure, the errno: the old file stays as it was and
// nothing of the new one is left.
std::expected<void, int> write_whole(const Path& path, std::string_view bytes);

// Removes the files being written, and from then on writes none (ECANCELED): for a process that
// is about to exit at once, while other threads may still be writing.
void end_whole_writes();

}  // namespace tolvern::files
