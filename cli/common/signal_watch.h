// Signals for a program with threads: the caught signals are blocked in every
// thread and one thread waits for them with sigwait, so what a signal sets off
// (removing temporary files, a summary) runs in normal code rather than in a
// handler. (xz has the same aim another way: its handler only sets a flag
// that its single thread looks at; here a thread of its own waits instead.)
#ifndef CONVERT3DO_CLI_COMMON_SIGNAL_WATCH_H
#define CONVERT3DO_CLI_COMMON_SIGNAL_WATCH_H

#include <functional>

namespace convert3do {

// Blocks the caught signals (process.h) in the calling thread, and so in every
// thread it starts from now on, and starts a thread that waits for them and
// calls onSignal(signal) for the first; a signal that comes after that, or
// after the run ends, ends the process at once. Signals ignored when the
// process started stay ignored. Returns 0, or errno when the thread cannot be
// started: the signals are then let through again, to end the process as
// their defaults do. Does nothing on Windows.
int watchSignals(std::function<void(int)> onSignal);

// The signal's name ("SIGTERM"), or "a signal" for one not caught.
const char* signalName(int signal);

// Ends the process by the signal, as if it had never been caught, so that the
// parent sees how it ended.
void dieBySignal(int signal);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_SIGNAL_WATCH_H
