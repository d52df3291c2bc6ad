// The conversion pass: one front-to-back walk of a 3do file that writes the
// converted copy.
#ifndef CONVERT3DO_CONVERT_CONVERT_H
#define CONVERT3DO_CONVERT_CONVERT_H

#include <cstdint>

#include "format/word32.h"

namespace convert3do {

enum class Outcome {
  Converted,      // header copied, chunks walked, length field patched
  BadMagic,       // the first word is not "3DO4"; nothing written
  CutHeader,      // the input ends inside the file header; nothing written
  CutChunk,       // the input ends inside a chunk; the complete chunks are kept
  ChunkTooLarge,  // a chunk would take the chunk area past the length field's range
  ReadFailed,     // the input reported a read error; the complete chunks are kept
  WriteFailed,    // a write, flush, seek or truncation of the output failed
};

// What the pass did. The offsets are byte offsets in the input.
struct ConversionResult {
  Outcome outcome = Outcome::Converted;
  // The chunk (or the header, at 0) the pass was in when it stopped early.
  std::int64_t chunkOffset = 0;
  // Where the input ends, for input that is cut short or cannot be read.
  std::int64_t inputEnd = 0;
  // The chunk bytes in the output, as stated by its length field.
  std::int64_t bytesWritten = 0;
  // The payload length of the chunk concerned, for ChunkTooLarge, and the
  // length the chunk area would reach with that chunk.
  Word32 payloadLength = 0;
  std::int64_t areaEnd = 0;
  // errno of the failed operation, for ReadFailed and WriteFailed.
  int error = 0;
};

// Converts the 3do file read from the descriptor in into the descriptor out,
// which must be empty and seekable: every XYZS entry's first word becomes 1,
// the copy ends at the first unrecognised chunk or where the length field
// bounds the chunk area, and the length field is patched to the chunk bytes
// written. On damaged input the output is still a well-formed 3do file holding
// every complete chunk.
//
// The output's 12-byte header is written last, in one write after one seek:
// until then offset 0 holds zeros, so an output cut off at any moment never
// reads as a 3do file. Reads take what the input has (a pipe's bytes so far),
// and nothing is read once the walk has ended. Neither descriptor is closed,
// nothing is printed, and nothing is allocated: the pass works in one static
// window, so it is not reentrant.
ConversionResult convertFile(int in, int out);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_CONVERT_H
