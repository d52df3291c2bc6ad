// 3do convert, last step: what happened to each file, for a person (text on
// standard error) or a script (JSON Lines on standard output).
#ifndef CONVERT3DO_CLI_3DO_CONVERT_REPORT_H
#define CONVERT3DO_CLI_3DO_CONVERT_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/3do/convert_options.h"
#include "cli/common/damage.h"
#include "cli/common/exit_status.h"
#include "cli/common/messages.h"

namespace convert3do {

// What this run did with a file: each file gets exactly one.
enum class Verdict : unsigned char {
  Converted,         // its conversion was written
  AlreadyConverted,  // it needed no change: left as it is in place, copied with -o or -d
  UpToDate,          // its output held the conversion already: nothing written
  Damaged,           // damaged: nothing written, or with --salvage its complete chunks
  Refused,           // not converted, as asked or as it must be (not a 3do file, an
                     // existing output, hard links, an output that is an input, ...)
  Failed,            // an error: it cannot be opened or read, its output cannot be written
  Skipped,           // found in a tree but not a regular file, or named again
};
constexpr std::size_t kVerdicts = static_cast<std::size_t>(Verdict::Skipped) + 1;

// CONVERT3DO_OUTPUT_NAME and CONVERT3DO_FOLDER_NAME (messages.h) in a
// report's message, replaced by the names when it is printed.
constexpr char kOutputName = CONVERT3DO_OUTPUT_NAME[0];
constexpr char kFolderName = CONVERT3DO_FOLDER_NAME[0];

struct TreeFolder;

struct Report {
  Verdict verdict = Verdict::Failed;
  // Whether the walk looked at it before converting: a file that cannot be
  // opened was not, nor is a stream (a pipe, a FIFO), which is read once, as
  // far as the walk goes, and converted as it arrives. Its size and the words
  // the conversion changes are then not known, only what was written.
  bool surveyed = false;
  bool written = false;         // this run wrote its output
  bool producesOutput = false;  // written (see written), or in a dry run would be
  int status = kExitOk;
  // Why it was refused, failed or skipped, or what damage was found; with
  // kOutputName and kFolderName where names go.
  std::string message;
  const TreeFolder* namedFolder = nullptr;  // the output folder kFolderName stands for
  std::int64_t size = 0;                    // of the input, when surveyed
  std::int64_t outputSize = 0;              // of what is (or would be) written
  std::int64_t wordsChanged = 0;
  // A zip archive's: the models in it, the bytes their conversions drop, and
  // the entry its message is about (with the archives it is in, outermost
  // first).
  bool archive = false;
  std::int64_t models = 0;
  std::int64_t modelBytesDropped = 0;
  std::vector<std::string> entry;
};

Report failed(int status, const std::string& message);
Report refused(int status, const std::string& message);

// The names a report is printed with.
struct Shown {
  std::string input;
  std::string output;  // empty in place
  std::string folder;  // the output folder a message names
};

// What this run did, file by file.
struct Totals {
  std::int64_t count[kVerdicts] = {};  // by Verdict
  std::int64_t files = 0;
  std::int64_t bytesIn = 0;       // of the files surveyed
  std::int64_t bytesDropped = 0;  // by the outputs this run wrote
  std::int64_t salvaged = 0;      // damaged files whose complete chunks it wrote
  int status = kExitOk;
};

// The message with the names put in, quoted as names in messages are.
std::string messageText(const Report& report, const Shown& shown);

// Whether a file's report prints a line: failures always, the rest as the
// options ask. (Its names need to be made only then.)
bool printsLine(const ConvertOptions& options, const Report& report);

// Prints one file's report; for one that printsLine says prints a line.
void printReport(const ConvertOptions& options, const Shown& shown, const Report& report);

void count(Totals& totals, const Report& report);

// The summary of the run; interrupted names the signal that stopped it.
void printSummary(const ConvertOptions& options, const Totals& totals,
                  const char* interrupted = nullptr);

// Whether the progress line is due a redraw at `now` (seconds), at most ten
// times a second; *last is when it was drawn, negative for never.
inline bool redrawDue(double now, double* last) {
  if (*last >= 0 && now - *last < 0.1) {
    return false;
  }
  *last = now;
  return true;
}

// The live progress line on a terminal, and its erasure.
void printProgress(std::size_t done, std::size_t total, std::int64_t bytes, double seconds);
void clearProgress();

bool isTerminal(int fd);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_CONVERT_REPORT_H
