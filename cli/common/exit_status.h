// Exit statuses, one table for both programs: where their situations overlap,
// the numbers mean the same.
#ifndef CONVERT3DO_CLI_COMMON_EXIT_STATUS_H
#define CONVERT3DO_CLI_COMMON_EXIT_STATUS_H

#include "convert/convert.h"

namespace convert3do {

constexpr int kExitOk = 0;             // converted, or the input is not a 3do file (convert3do)
constexpr int kExitInputNotFound = 1;  // an input cannot be opened
constexpr int kExitUsage = 2;          // bad arguments, or the output names the input
constexpr int kExitOutputFailed = 3;   // the output cannot be created or written
constexpr int kExitDamagedInput = 4;   // an input is cut short, too large or unreadable
// 3do check's findings, from the mildest to the gravest (5 and 6 are check's
// only; 7 is also what 3do convert gives a file it refuses as not a 3do file):
constexpr int kExitLengthDiffers = 5;  // the length field differs from the chunks present
constexpr int kExitWouldDrop = 6;      // valid, but a conversion would drop data
constexpr int kExitNotA3do = 7;        // not a 3do file (3do check and 3do convert)

// The exit status convert3do gives an outcome of the conversion pass: the
// library's (convert3do_exit_status), or kExitOutputFailed for a failed write.
int exitStatusFor(Outcome outcome);

// The graver of two statuses, for a run over many files: 0 < 5 < 6 < 7 < 4
// (damaged) < 1 (cannot open) < 3 (output failed) < 2 (usage).
int worseStatus(int a, int b);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_EXIT_STATUS_H
