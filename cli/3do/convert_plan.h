// 3do convert, step two: the plan. Every file is found, and every decision
// about it that does not need its contents is made, before it is written:
// which files (symlinks met in a tree are not followed), where each output
// goes, and the refusals (an output that is an input, two inputs with one
// output, an output that is not a regular file). Files are found in the
// order of their names, and those that are final can be converted while the
// rest of the tree is walked.
#ifndef CONVERT3DO_CLI_3DO_CONVERT_PLAN_H
#define CONVERT3DO_CLI_3DO_CONVERT_PLAN_H

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/3do/convert_options.h"
#include "cli/3do/convert_report.h"
#include "cli/common/files.h"
#include "cli/common/folder.h"

namespace convert3do {

// One file of the batch.
struct Job {
  std::string input;  // the name shown: as named or found, "-" for standard input
  // Where the input is, and its name there: for a file named one by one, its
  // name resolved once into a folder (which must still be the folder the
  // plan saw) and a name; for a file found in a tree, a folder below one of
  // the plan's roots, reached without following symlinks.
  const Folder* root = nullptr;  // none for a file named one by one
  std::string folder;
  std::string base;
  FileIdentity folderIdentity;  // for a file named one by one
  // Or opened by its name: standard input, and what is not a regular file
  // (a FIFO, /dev/stdin, a device), which is only ever read.
  bool byName = false;
  FileIdentity identity;       // the input as the plan found it
  bool identityLater = false;  // found a regular file, and not looked at until needed
  std::string output;          // the name shown; empty in place, "-" for standard output
  std::string outputFolder;    // where the output is made, and its name there
  std::string outputBase;
  bool outputExists = false;  // replaced only with --force, unless it is the conversion already
  bool decided = false;       // refused or skipped by the plan: report says why
  Report report;
};

struct Plan {
  // The folders walked, which the files found are below; never moved, as
  // jobs point to them.
  std::deque<Folder> roots;
  std::deque<Job> jobs;  // one at least for every name given
};

// The folder the inputs were opened from last: the next file is often in it.
struct InputFolder {
  Folder folder;
  const Folder* root = nullptr;  // the root and folder it was opened from
  std::string path;
  bool open = false;
};

// Opens into f the folder of the job's input, unless f holds it already:
// below its root for a file found in a tree, else as the plan resolved it.
// Returns 0 or errno; *opened says whether it was opened now.
int openInputFolder(const Job& job, InputFolder& f, bool* opened);

// With Destination::None the plan only lists the inputs, for 3do info and
// check: each name as given, nothing refused.
Plan makePlan(const ConvertOptions& options);

// For taking the plan's first jobs while the rest is planned: its jobs are
// added only while growing is held, and publish is told how many of the
// first jobs are final each time that number grows.
struct PlanProgress {
  std::mutex* growing = nullptr;
  std::function<void(std::size_t final)> publish;
};

void makePlan(const ConvertOptions& options, Plan& plan, const PlanProgress& progress);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_PLAN_H
