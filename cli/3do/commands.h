// The 3do program: a front end with subcommands over the same library as
// convert3do.
#ifndef CONVERT3DO_CLI_3DO_COMMANDS_H
#define CONVERT3DO_CLI_3DO_COMMANDS_H

#include <string>

namespace convert3do {

// Runs `3do ARGS...` and returns the exit status.
int runThreeDo(int argc, char** argv);

// The subcommands, given the arguments after their name.
int runInfo(int argc, char** argv);
int runCheck(int argc, char** argv);
int runConvert(int argc, char** argv);

// The first line of a command's help: its usage.
std::string usageLine(const char* command);

// Prints a message on standard error as "3do: NAME: what", NAME quoted.
void complain(const char* name, const char* what);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_COMMANDS_H
