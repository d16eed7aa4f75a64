// Stopping a session early: SIGINT, SIGTERM, SIGHUP and SIGQUIT are taken by a watcher thread
// instead of ending the process, so that every running child is killed and reaped and the results
// recorded so far are summarised; then the process ends by that signal, so that a shell running
// it in a script stops the script too, as it would for any program. Any other signal whose
// default ends the process (a crash, an abort, SIGUSR1) first kills every running child with its
// group.
#pragma once

namespace tolvern::shutdown {

// Blocks those of the stop signals that the process was not started ignoring in the calling
// thread, and so in every thread it starts afterwards, and starts the thread that waits for
// them. The first signal asks the session to stop; a second one kills every running child with
// its process group, removes every temporary file of the session (its runs' scratches and the
// output files being written) and ends the process by that second signal.
// Also has every other signal that would end the process end the running children first. Call
// it once, before any other thread exists.
void watch_signals();

// Asks the session to stop as the signal would (the first request wins). A failed write to
// standard output asks it with SIGPIPE.
void request(int signal);

// The signal that asked the session to stop, or 0 while it runs on.
int requested();

// Ends the process by the signal as if it had never been caught: its default action set again,
// the signal unblocked in this thread and raised; no core file is written, since the user sent
// it. Returns only where the signal does not end the process (the first process of a PID
// namespace cannot be ended so); the caller then exits with 128 plus the signal.
void end_by(int signal);

// "SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT" or "SIGPIPE".
const char* signal_name(int signal);

// A descriptor that turns readable, and stays so, once a stop is asked for; -1 before
// watch_signals. Event loops wait on it so that a stop wakes them at once.
int wake_fd();

}  // namespace tolvern::shutdown
