// The inspecting walk: the walk of the conversion pass, by the same rules
// (format/walk.h), that records what it meets instead of writing a copy, and
// predicts what a conversion would write. Only reads; on a regular file it
// seeks over opaque payloads, so its cost does not grow with their size.
#ifndef CONVERT3DO_CONVERT_SURVEY_H
#define CONVERT3DO_CONVERT_SURVEY_H

#include <cstdint>
#include <functional>

#include "convert/convert.h"
#include "format/walk.h"
#include "format/word32.h"

namespace convert3do {

// A chunk the walk keeps.
struct ChunkRecord {
  std::int64_t offset = 0;  // of its header, in the file
  Word32 tag = 0;
  Word32 chunkWord = 0;
  Word32 payloadLength = 0;
  std::int64_t size = 0;             // header included
  std::int64_t entries = 0;          // XYZS entries
  std::int64_t entriesToChange = 0;  // XYZS entries whose first word is not 1 yet
};

// Why the walk ended.
enum class WalkEnd {
  Bound,            // the chunks walked reached the length field
  UnrecognisedTag,  // a chunk with a tag that is not recognised
  EndOfInput,       // the input ended at a chunk boundary before the bound
  Damaged,          // cut short, a chunk too large, or a read error
  NotA3do,          // the file does not start with the magic
};

struct Inspection {
  std::int64_t size = 0;  // bytes in the input; for a stream, the bytes the walk read
  bool is3do = false;
  bool headerComplete = false;
  FileHeader header;
  std::int64_t chunkCount = 0;
  std::int64_t chunkBytes = 0;  // the chunk area the walk keeps
  WalkEnd end = WalkEnd::NotA3do;
  // For Bound: how far the last chunk runs past the length field.
  std::int64_t overrun = 0;
  // For UnrecognisedTag: where that chunk starts, and its tag.
  std::int64_t endOffset = 0;
  Word32 endTag = 0;
  // For Damaged: the byte where the damage is found (where a cut input ends,
  // or the header of a chunk too large) and the chunk it is in.
  std::int64_t damageOffset = 0;
  std::int64_t damageChunk = 0;
  Word32 damagePayloadLength = 0;  // for a chunk too large
  std::int64_t damageAreaEnd = 0;  // the chunk area it would make
  int error = 0;                   // errno of a read error
  // What convertFile would do.
  Outcome outcome = Outcome::BadMagic;
  std::int64_t outputSize = 0;
  std::int64_t wordsChanged = 0;
  bool alreadyConverted = false;
};

using ChunkVisitor = std::function<void(const ChunkRecord&)>;

// Walks the 3do file read from fd, calling visit for every chunk it keeps, in
// order. Memory does not depend on the file: chunks are handed out, not kept.
Inspection inspectFile(int fd, const ChunkVisitor& visit);

// The four characters of a tag, or nothing when one is not printable ASCII.
bool tagIsPrintable(Word32 tag);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_SURVEY_H
