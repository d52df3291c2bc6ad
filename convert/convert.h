// The conversion pass: one front-to-back walk of a 3do file that writes the
// converted copy.
#ifndef CONVERT3DO_CONVERT_CONVERT_H
#define CONVERT3DO_CONVERT_CONVERT_H

#include <cstddef>
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

// The input is read, and the output written, through a window of this size.
// The fuzzer builds with a tiny window, so that its small inputs cross many
// window boundaries.
#ifdef CONVERT3DO_WINDOW_BYTES
constexpr std::size_t kWindowBytes = CONVERT3DO_WINDOW_BYTES;
#else
constexpr std::size_t kWindowBytes = std::size_t{1024} * 1024;
#endif
// Room before the window for the unwalked rest of the previous block (less
// than one XYZS entry) and a spare word the pass may write to; a page, so that
// the window itself is page aligned.
constexpr std::size_t kWindowLead = 4096;

// The memory one conversion works in. Passes that run at the same time need
// one each; it holds nothing between passes.
struct ConversionWindow {
  alignas(kWindowLead) unsigned char bytes[kWindowLead + kWindowBytes];
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
// nothing is printed, and nothing is allocated: the pass works in the window
// it is given.
ConversionResult convertFile(int in, int out, ConversionWindow& window);

// The same in a window of static storage, for one conversion at a time.
ConversionResult convertFile(int in, int out);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_CONVERT_H
