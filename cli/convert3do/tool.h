// The command-line front end of convert3do, the classic converter.
#ifndef CONVERT3DO_CLI_CONVERT3DO_TOOL_H
#define CONVERT3DO_CLI_CONVERT3DO_TOOL_H

namespace convert3do {

// Runs the program on its argument vector (argv[0] is the program's name) and
// returns the exit status.
int runTool(int argc, char** argv);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_CONVERT3DO_TOOL_H
