// 3do convert, step one: what the command line asks for.
#ifndef CONVERT3DO_CLI_3DO_CONVERT_OPTIONS_H
#define CONVERT3DO_CLI_3DO_CONVERT_OPTIONS_H

#include <string>
#include <vector>

#include "cli/3do/names.h"

namespace convert3do {

enum class Destination { None, File, Folder, InPlace };

struct ConvertOptions {
  Destination destination = Destination::None;
  std::string output;  // the -o file or the -d folder
  bool recursive = false;
  bool archives = false;  // open the zip archives a walk finds (those named always are)
  bool force = false;
  bool salvage = false;
  bool sync = true;
  bool dryRun = false;
  bool json = false;
  int verbosity = 1;  // 0: -q, 2: -v
  long workers = 0;   // 0: one per core
  NameList inputs;    // as named, then with the --files0-from names
};

// Reads the arguments after "convert" into options. Returns -1 when the run
// may go on, else the exit status (a usage error, or a list that cannot be
// read), having said why.
int parseConvertOptions(int argc, char** argv, ConvertOptions* options);

// Adds the NUL-separated names in the file from ("-": standard input) to
// names; false, having said why, when it cannot be read.
bool readNames(const std::string& from, NameList& names);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_OPTIONS_H
