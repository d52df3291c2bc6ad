// The conversion: the walk over a 3do file that rewrites it into its
// converted copy, in buffers the caller owns. No I/O, no allocation, no
// globals; two conversions may run at once in two threads.
#ifndef CONVERT3DO_CONVERT_CONVERT_H
#define CONVERT3DO_CONVERT_CONVERT_H

#include <cstddef>
#include <cstdint>

#include "convert/walker.h"
#include "format/chunk.h"
#include "format/word32.h"

namespace convert3do {

// What a conversion did. The offsets are byte offsets in the input.
struct ConversionResult {
  Outcome outcome = Outcome::Converted;
  // Where and what the damage is, for CutHeader, CutChunk, ChunkTooLarge and
  // ReadFailed.
  Damage damage;
  // The input bytes the walk used, whatever the pieces it was given: to the
  // end of the last chunk kept and, where one ends the walk, the tag word of
  // an unrecognised chunk or the header of a chunk too large; the magic, or
  // what there is of it, of a file that is not a 3do file; all of a damaged
  // input.
  std::int64_t inputEnd = 0;
  // The chunk bytes in the output, as stated by its length field.
  std::int64_t bytesWritten = 0;
  // errno of the failed operation, for ReadFailed and WriteFailed.
  int error = 0;
  // The bytes of the complete output, its header included: 0 when nothing is
  // written (not a 3do file, or a header cut short).
  std::int64_t outputLength = 0;
};

// A conversion under way.
struct Conversion {
  WalkState walk;
};

// Converts bytes[0, count), the input from where the last call stopped, in
// place: every XYZS entry's first word becomes 1 and the file header becomes
// 12 zeros, a placeholder for the header finishConversion gives. Returns the
// bytes walked, which are the next bytes of the output; the rest (less than an
// XYZS entry) is to be handed back at the front of the next call. With
// inputEnded the conversion ends. Bytes walked past outputLength (those of a
// chunk the input cuts short) are not part of the output.
std::size_t convertInPlace(Conversion& c, unsigned char* bytes, std::size_t count, bool inputEnded);

// The same, from in[0, count) into out (which must not overlap it): only the
// bytes walked are written, the returned count of them.
std::size_t convertCopy(Conversion& c, const unsigned char* in, std::size_t count,
                        unsigned char* out, bool inputEnded);

// Whether the walk has ended, so that no more input is wanted.
inline bool conversionEnded(const Conversion& c) {
  return c.walk.phase == WalkPhase::Ended;
}

// The input failed to read: the conversion ends, keeping the complete chunks.
void failConversionRead(Conversion& c);

// The result of an ended conversion; header receives the output's first 12
// bytes (with the length field stating the chunk bytes kept) when
// outputLength is not 0.
ConversionResult finishConversion(const Conversion& c, unsigned char* header);

// Converts in[0, count) into out, which holds at least count bytes and may be
// in itself: the output is never longer than the input. The output is
// out[0, outputLength), and into another buffer nothing else of it is
// written.
ConversionResult convertBuffer(const unsigned char* in, std::size_t count, unsigned char* out);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_CONVERT_H
