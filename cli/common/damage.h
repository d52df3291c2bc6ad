// Damage, worded once for both programs: convert3do, 3do info, check and
// convert all say it with these words.
#ifndef CONVERT3DO_CLI_COMMON_DAMAGE_H
#define CONVERT3DO_CLI_COMMON_DAMAGE_H

#include <cstdint>

#include "convert/convert.h"
#include "convert/survey.h"

namespace convert3do {

// Where a walk found damage: the byte at which the input ends or cannot be
// read (at), or the chunk too large (chunk), and what it would have made.
struct Damage {
  Outcome outcome = Outcome::CutChunk;  // CutHeader, CutChunk, ChunkTooLarge or ReadFailed
  std::int64_t at = 0;
  std::int64_t chunk = 0;    // the chunk it is in, or too large
  Word32 payloadLength = 0;  // of a chunk too large
  std::int64_t areaEnd = 0;  // the chunk area that chunk would make
  int error = 0;             // errno of a read that failed
};

// "cut at byte N, inside the 12-byte header", "cut at byte N, inside the chunk
// at byte C", "the chunk at byte C (payload length P) would take the chunk
// area to N bytes, more than a 3do file can hold (2147483647)" or "cannot
// read at byte N: why"; kept in the value, so convert3do needs no C++ runtime.
struct DamageText {
  char text[256];
};
DamageText describeDamage(const Damage& damage);

// The same from a conversion's result, and from a survey's findings.
Damage damageOf(const ConversionResult& result);
Damage damageOf(const Inspection& inspection);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_DAMAGE_H
