// 3do convert, step three: one file, on the files and folders opened rather
// than on names. The input is opened below its folder without following
// symlinks (a file named one by one must still be the file the plan found),
// converted into a temporary file in the output's folder, reached from -d
// DIR one component at a time, and the temporary file renamed into place
// only if the name still holds what was read (in place) or nothing the user
// did not ask to replace.
#ifndef CONVERT3DO_CLI_3DO_CONVERT_ACT_H
#define CONVERT3DO_CLI_3DO_CONVERT_ACT_H

#include <memory>
#include <string>
#include <vector>

#include "cli/3do/convert_options.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/convert_report.h"
#include "cli/3do/tree_folder.h"
#include "cli/common/file_convert.h"
#include "cli/common/folder.h"
#include "cli/common/temporary.h"
#include "convert/convert.h"

namespace convert3do {

// The folders a reader of the plan's inputs keeps from file to file.
struct InputFolders {
  FolderCursor tree{Side::Input};  // where the last file found in a walk was
  // The folder of the last file named one by one that was read in place, as
  // its name led there.
  std::string namedPath;
  Folder named;
  bool namedOpen = false;
};

// What one worker keeps from file to file: its window, and the folders it
// opened last.
struct Worker {
  Worker(TemporaryFiles& files, const Plan& plan)
      : temporaries(files.newShare()), outputs(Side::Output, &plan.outputRoot) {}
  TemporaryFiles::Share& temporaries;  // its own share: workers never wait on each other
  WindowMemory window;
  InputFolders inputs;
  FolderCursor outputs;  // below -d DIR
  Folder outputRoot;     // its own descriptor of -d DIR
  bool outputRootOpen = false;
  Folder outputFile;  // the folder of -o FILE
  bool outputFileOpen = false;
  // Outputs named below -d DIR, in the folder the output cursor holds, whose
  // reports wait for one check that the folder is still where the plan put
  // it: made for up to kMostUnchecked of them at a time (see
  // checkHeldOutputs).
  struct Unchecked {
    JobReport* outcome;
    Report report;
  };
  std::vector<Unchecked> unchecked;
  const TreeFolder* uncheckedPlace = nullptr;
  static constexpr std::size_t kMostUnchecked = 64;
};

// The input of a job, open.
struct Input {
  Descriptor owned;  // closed at the end (standard input stays open)
  int fd = -1;
  FileIdentity identity;           // as it was opened
  const Folder* folder = nullptr;  // where it is, opened: for files read in place
  std::string base;                // and its name there
  // A small regular file is read whole into the worker's window, once:
  // where its bytes are (null when it is not held), and how many.
  unsigned char* bytes = nullptr;
  std::size_t length = 0;
  // Held bytes are converted in place as they are surveyed, in one walk:
  // then they are the output, and this its result.
  bool converted = false;
  ConversionResult conversion;
};

// The folder for scratch files: $TMPDIR (%TEMP% on Windows), else /tmp.
std::string scratchFolderPath();

// Whether the input, a regular file, starts as a zip archive does; it is
// read again from its start.
bool startsAsArchive(const Input& in);

// Opens the job's input: below its folder without following a symlink, or a
// file named one by one by its name, which must still be the file the plan
// found; in place, regular files only, with the folder they are in. False,
// with the report that says why, when it cannot.
bool openPlannedInput(const ConvertOptions& options, const Job& job, InputFolders& folders,
                      Input* in, Report* report);

// Converts (or, in a dry run, judges) one file of the plan. When its output
// is put in place, the report is stored in outcome, and done set, in the same
// step, before a stop can look, unless its folder's check waits (see
// awaitsCheck); otherwise it is only returned.
Report convertJob(const ConvertOptions& options, const Plan& plan, const Job& job, Worker& worker,
                  JobReport& outcome);

// Whether the report of outcome waits for its folder's check.
bool awaitsCheck(const Worker& worker, const JobReport& outcome);

// Makes the check that the outputs held wait for, unless next (a job to be
// converted now; null for none) goes into the same folder and there is room
// for it, and stores their reports, done: converted, or where the folder is
// no longer where the plan put it (moved, or a mount put over it), taken back
// and failed. True when reports were stored.
bool checkHeldOutputs(Worker& worker, const Job* next);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_ACT_H
