// 3do convert, last step: what happened to each file, for a person (text on
// standard error) or a script (JSON Lines on standard output).
#ifndef CONVERT3DO_CLI_3DO_CONVERT_REPORT_H
#define CONVERT3DO_CLI_3DO_CONVERT_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/3do/convert_options.h"
#include "cli/common/exit_status.h"
#include "convert/survey.h"

namespace convert3do {

enum class Verdict {
  Converted,
  Unchanged,
  Damaged,
  Failed,
  Skipped,    // found in a tree but not converted: a symlink, or not a regular file
  Duplicate,  // a file named again: converted once, reported once
};

struct Report {
  Verdict verdict = Verdict::Failed;
  int status = kExitOk;
  std::string message;  // why it failed, what damage was found, why it was skipped
  Inspection inspection;
  // A stream (a pipe, a FIFO) is read once, only as far as the walk goes, and
  // converted as it arrives: its size and the words the conversion changes
  // are not known, only what was written.
  bool streamed = false;
  bool written = false;
};

Report failed(int status, const std::string& message);

// What damage a walk found, in words; where is the byte at which it was found
// (where a cut input ends, or a chunk too large starts), chunk the chunk it is
// in.
std::string damageMessage(Outcome outcome, std::int64_t where, std::int64_t chunk, int error);

struct Totals {
  std::int64_t converted = 0;
  std::int64_t unchanged = 0;
  std::int64_t damaged = 0;
  std::int64_t failed = 0;
  std::int64_t skipped = 0;
  std::int64_t bytesIn = 0;
  std::int64_t bytesDropped = 0;
  int status = kExitOk;
};

// Prints one file's report; input and output are the names shown.
void printReport(const ConvertOptions& options, const std::string& input, const std::string& output,
                 const Report& report);

void count(Totals& totals, const Report& report);

void printSummary(const ConvertOptions& options, const Totals& totals);

// The live progress line on a terminal, and its erasure.
void printProgress(std::size_t done, std::size_t total, std::int64_t bytes, double seconds);
void clearProgress();

bool isTerminal(int fd);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_REPORT_H
