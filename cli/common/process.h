// Process-level safety shared by both programs: the standard descriptors, and
// the removal of a partial output when a signal ends the run.
#ifndef CONVERT3DO_CLI_COMMON_PROCESS_H
#define CONVERT3DO_CLI_COMMON_PROCESS_H

#include "cli/common/files.h"

namespace convert3do {

// The program's entry: makes the process safe to run (the two calls below),
// then runs the program on its arguments, given as UTF-8 on every host (on
// Windows they arrive as UTF-16 and are converted), and returns its status.
using Program = int (*)(int argc, char** argv);
#ifdef _WIN32
int runProgram(int argc, wchar_t** argv, Program program);
#else
int runProgram(int argc, char** argv, Program program);
#endif

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that no
// file opened later takes their place and receives messages. Standard output
// gets it for reading only: whatever is meant for it then fails to be
// written, and is reported, rather than vanishing as if written.
void ensureStandardDescriptors();

// Prepares the process for its run: a file-size limit fails the write (which
// is reported) instead of killing the process, and the caught signals (below)
// remove the armed partial output before the process dies by the signal.
void installSignalCleanup();

// Holds the cleanup signals back in the calling thread (while an output is
// being opened and armed) or lets them through again.
void holdSignals(bool hold);

// From now until disarmOutput, a cleanup signal empties the regular file fd
// and removes name if it is still that file (same device and inode). name
// must stay valid until then. Call it with the signals held back since before
// the output was opened, so no moment is left uncovered.
void armOutput(int fd, const char* name, const FileIdentity& identity);
void disarmOutput();

#ifndef _WIN32
// The signals whose default ends the process and that can be caught: a run
// cleans up after each of them, unless it was ignored when the process
// started (nohup), and dies by it. SIGXFSZ is ignored instead, so that a
// file-size limit fails the write, which is reported.
constexpr int kCaughtSignalCount = 11;
extern const int kCaughtSignals[kCaughtSignalCount];
#endif

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_PROCESS_H
