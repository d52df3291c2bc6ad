// The command-line front end of convert3do.
#ifndef CONVERT3DO_CLI_TOOL_H
#define CONVERT3DO_CLI_TOOL_H

#include "convert/convert.h"

namespace convert3do {

// Exit statuses of the program.
constexpr int kExitOk = 0;             // converted, or the input is not a 3do file
constexpr int kExitInputNotFound = 1;  // the input cannot be opened
constexpr int kExitUsage = 2;          // bad arguments, or the output names the input
constexpr int kExitOutputFailed = 3;   // the output cannot be created or written
constexpr int kExitDamagedInput = 4;   // the input is cut short, too large or unreadable

// The exit status that belongs to an outcome of the conversion pass.
int exitStatusFor(Outcome outcome);

// Runs the program on its argument vector (argv[0] is the program's name) and
// returns the exit status.
int runTool(int argc, char** argv);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_TOOL_H
