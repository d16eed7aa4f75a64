// The session's standard output and standard error. What the workers print is handed to one
// writer thread, so that no worker waits on a reader that has stopped reading, a stop is never
// held up by a write, and a write to standard output that fails stops the session.
#pragma once

#include <cstdint>
#include <string>

namespace tolvern::output {

enum class Target : std::uint8_t { Out, Err };

// Starts the writer thread. Until then, or when no thread can be made, `put` writes at once.
void start();

// Writes the text after everything put before it, through the writer once it runs. Once a write
// to standard output has failed, nothing more is written there; the failure asks the session to
// stop as SIGPIPE would.
void put(Target target, std::string text);

// Waits until everything put is written or dropped: as long as that takes while the session
// runs, and no longer than a second once it is stopping. False when it gave up.
bool flush();

// The errno of the write to standard output that failed, 0 while none has.
int failure();

// The exit status that goes with a failed write to standard output: 141 for a reader that went
// away (as SIGPIPE would give), else 74 after a line on standard error naming the error.
int failure_status(int error);

}  // namespace tolvern::output
