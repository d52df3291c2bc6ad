// 3do convert, step two: the plan. Every file is found, and every decision
// about it that does not need its contents is made, before it is written:
// which files (symlinks met in a tree are not followed), where each output
// goes, and the refusals (an output that is an input, two inputs with one
// output, an output that is not a regular file, an output folder that is a
// symlink). Files are found in the order of their names, and those that are
// final can be converted while the rest of the tree is walked.
//
// The walk keeps no path: each folder is a TreeFolder (tree_folder.h), each file its
// place and its name, so memory grows with the names found, not with their
// depth; and it holds a bounded number of folders open at any depth.
#ifndef CONVERT3DO_CLI_3DO_CONVERT_PLAN_H
#define CONVERT3DO_CLI_3DO_CONVERT_PLAN_H

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "cli/3do/convert_options.h"
#include "cli/3do/convert_report.h"
#include "cli/3do/names.h"
#include "cli/3do/tree_folder.h"
#include "cli/common/folder.h"

namespace convert3do {

// One file of the batch. Made by the plan; once published (see
// PlanProgress::publish) it is never written again: workers only read it,
// and what the planner learns of it later stays in the planner's own state.
struct Job {
  // Where it was found in a walk, and its name there; for a file named one
  // by one, no place and the name as given.
  TreeFolder* place = nullptr;
  const char* name = "";
  FileKey identity;      // as the plan found it, when known
  bool known = false;    // whether identity is known
  bool regular = false;  // a regular file, as far as the plan knows
  // Opened by its name: standard input, and what is not a regular file (a
  // FIFO, /dev/stdin, a device), which is only ever read.
  bool byName = false;
  bool later = false;         // a regular file as its folder's listing says, not looked at
  bool outputExists = false;  // replaced only with --force, unless it holds the conversion
  bool decided = false;       // refused, failed or skipped by the plan: its report is made
};

// What became of a job: the plan's report for a job it decided, else its
// worker's, stored before done is set.
struct JobReport {
  Report report;
  std::atomic<bool> done{false};
};

struct Plan {
  NameArena names;                 // of the places and of the files found
  std::deque<Folder> roots;        // the folders walked, opened; never moved
  std::deque<TreeFolder> places;   // every folder of the walks; never moved
  std::deque<Job> jobs;            // one at least for every name given
  std::deque<JobReport> outcomes;  // one for each job
  // With -d: the folder, opened once (unless a dry run finds it absent).
  Folder outputRoot;
  OutputState outputRootState = OutputState::Unknown;
  int outputRootError = 0;  // for Absent: why a file could not be made there
  // With -o FILE: where the output is made, and its name there (a symlink
  // named as the output is written through).
  std::string outputFolder;
  std::string outputBase;
};

// Opens the -d folder into plan, making it unless a dry run; 0, or errno
// when it cannot be opened or made (nothing can be written then).
int openOutputRoot(const ConvertOptions& options, Plan& plan);

// With Destination::None the plan only lists the inputs, for 3do info and
// check: each name as given, nothing refused.
void makePlan(const ConvertOptions& options, Plan& plan);

// For taking the plan's first jobs while the rest is planned: its jobs are
// added only while growing is held, and publish is told how many of the
// first jobs are final each time that number grows.
struct PlanProgress {
  std::mutex* growing = nullptr;
  std::function<void(std::size_t final)> publish;
};

void makePlan(const ConvertOptions& options, Plan& plan, const PlanProgress& progress);

// Why nothing is written in an output folder that the cursor could not
// reach: replaced (ESTALE, ELOOP, ENOTDIR), or another error, named.
Report outputFolderUnreachable(int error, const TreeFolder* place);

// Whether name is that of a temporary file of 3do convert: ".NAME.HEX.tmp"
// (a walk warns of one, left over by a run that was killed).
bool isLeftOver(const std::string& name);

// Whether entry a comes before b in the order of the names of all that a
// walk finds: a folder's name as though followed by '/', so that walking the
// entries of each folder in this order lists every name in sorted order.
bool walkedBefore(const std::string& a, bool aFolder, const std::string& b, bool bFolder);

// Whether name ends in .3do, in any case: the files a walk finds.
bool endsWith3do(const std::string& name);

// Whether name ends in .zip, in any case: the archives -a adds to a walk.
bool endsWithZip(const std::string& name);

// The names a job's report is printed with; output is empty in place.
std::string shownInput(const Job& job);
std::string shownOutput(const ConvertOptions& options, const Job& job);
// The name its output gets in its folder.
std::string outputBase(const Job& job);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_PLAN_H
