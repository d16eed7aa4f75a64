// The session's exclusive hold on its output root: two sessions writing and comparing the same
// artefacts at once would read each other's half-written files.
#pragma once

#include <filesystem>
#include <optional>

#include "kinds.hpp"
#include "posix.hpp"

namespace tolvern {

// Makes the output root (with its missing parents) and takes the exclusive lock on it; while
// another session holds it, says so in one line on standard error and waits, until the session
// is asked to stop. The lock lasts as long as the descriptor. None when the root cannot be made,
// opened or locked, or the wait was stopped: the session then runs unlocked and its checks
// report what they cannot write.
std::optional<posix::Fd> lock_output_root(const Path& root);

}  // namespace tolvern
