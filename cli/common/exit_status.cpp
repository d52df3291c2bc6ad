#include "cli/common/exit_status.h"

#include <algorithm>
#include <iterator>

#include "convert/c_types.h"

namespace convert3do {

namespace {

// Statuses from the mildest to the gravest.
constexpr int kSeverity[] = {kExitOk,           kExitLengthDiffers, kExitWouldDrop,    kExitNotA3do,
                             kExitDamagedInput, kExitInputNotFound, kExitOutputFailed, kExitUsage};

int rank(int status) {
  const int* found = std::find(std::begin(kSeverity), std::end(kSeverity), status);
  return static_cast<int>(found - std::begin(kSeverity));
}

}  // namespace

int exitStatusFor(Outcome outcome) {
  // A failed write is the program's own; every outcome of the walk has its
  // status in the library's table.
  return outcome == Outcome::WriteFailed ? kExitOutputFailed
                                         : convert3do_exit_status(statusOf(outcome));
}

int worseStatus(int a, int b) {
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace convert3do
