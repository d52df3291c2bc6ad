// 3do convert, step three: one file, on the files opened rather than on
// names. The input is opened below its folder without following symlinks,
// converted into a temporary file in the destination's folder, and the
// temporary file renamed into place only if the name still holds what was
// read (in place) or nothing the user did not ask to replace.
#ifndef CONVERT3DO_CLI_3DO_CONVERT_ACT_H
#define CONVERT3DO_CLI_3DO_CONVERT_ACT_H

#include <memory>
#include <string>

#include "cli/3do/convert_options.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/convert_report.h"
#include "cli/common/file_convert.h"
#include "cli/common/folder.h"
#include "cli/common/temporary.h"
#include "convert/convert.h"

namespace convert3do {

// What one worker keeps from file to file: its window, and the folders it
// opened last.
struct Worker {
  explicit Worker(TemporaryFiles& files) : temporaries(files.newShare()) {}
  TemporaryFiles::Share& temporaries;  // its own share: workers never wait on each other
  WindowMemory window;
  InputFolder input;
  Folder output;
  std::string outputKey;  // the folder's path
  bool outputOpen = false;
};

// The input of a job, open.
struct Input {
  Descriptor owned;  // closed at the end (standard input stays open)
  int fd = -1;
  FileIdentity identity;           // as it was opened
  const Folder* folder = nullptr;  // where it was found, for files
  // A small regular file is read whole into the worker's window, once:
  // where its bytes are there (null when it is not held), and how many.
  unsigned char* held = nullptr;
  std::size_t length = 0;
};

// Opens the job's input below its folder, never through a symlink the plan
// did not resolve; in place, regular files only. False, with the report that
// says why, when it cannot.
bool openPlannedInput(const ConvertOptions& options, const Job& job, InputFolder& folder, Input* in,
                      Report* report);

// Converts (or, in a dry run, judges) one file of the plan.
Report convertJob(const ConvertOptions& options, const Job& job, Worker& worker);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_ACT_H
