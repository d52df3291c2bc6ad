// The command lines of 3do's subcommands, read as getopt_long reads them:
// bundled short options (-rv), values attached or apart (-j2, -j 2, -dDIR),
// --long=value and --long value, options anywhere among the names, and --
// ending the options.
#ifndef CONVERT3DO_CLI_3DO_ARGUMENTS_H
#define CONVERT3DO_CLI_3DO_ARGUMENTS_H

#include <functional>
#include <string>
#include <vector>

namespace convert3do {

struct OptionRule {
  const char* longName;
  char shortName;  // '\0' when the option has only its long name
  bool takesValue;
  int id;
};

// Reads argv (the arguments after the subcommand's name), calling onOption(id,
// value) for each option in order (value is null for a flag) and adding the
// other arguments to names. On an unknown option, a missing value or a onOption
// that returns false, says why ("3do: COMMAND: ...") and returns false.
bool readArguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& rules,
                   const std::function<bool(int id, const char* value)>& onOption,
                   std::vector<std::string>* names);

// Says "3do: COMMAND: what (see 3do help COMMAND)", then the command's usage
// line.
void usageError(const char* command, const std::string& what);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_ARGUMENTS_H
