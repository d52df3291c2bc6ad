#include "cli/common/exit_status.h"

#include <algorithm>
#include <iterator>

namespace convert3do {

namespace {

struct ExitRow {
  Outcome outcome;
  int status;
};

constexpr ExitRow kExitTable[] = {
    {Outcome::Converted, kExitOk},
    {Outcome::BadMagic, kExitOk},
    {Outcome::CutHeader, kExitDamagedInput},
    {Outcome::CutChunk, kExitDamagedInput},
    {Outcome::ChunkTooLarge, kExitDamagedInput},
    {Outcome::ReadFailed, kExitDamagedInput},
    {Outcome::WriteFailed, kExitOutputFailed},
};

// Statuses from the mildest to the gravest.
constexpr int kSeverity[] = {kExitOk,           kExitLengthDiffers, kExitWouldDrop,    kExitNotA3do,
                             kExitDamagedInput, kExitInputNotFound, kExitOutputFailed, kExitUsage};

int rank(int status) {
  const int* found = std::find(std::begin(kSeverity), std::end(kSeverity), status);
  return static_cast<int>(found - std::begin(kSeverity));
}

}  // namespace

int exitStatusFor(Outcome outcome) {
  const ExitRow* row = std::find_if(std::begin(kExitTable), std::end(kExitTable),
                                    [outcome](const ExitRow& r) { return r.outcome == outcome; });
  return row != std::end(kExitTable) ? row->status : kExitOutputFailed;
}

int worseStatus(int a, int b) {
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace convert3do
