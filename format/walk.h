// The rules of the walk over a 3do file's chunk area. The conversion pass and
// the inspector both walk by these, so they cannot disagree on where a walk
// goes on, where it ends and what a chunk occupies.
#ifndef CONVERT3DO_FORMAT_WALK_H
#define CONVERT3DO_FORMAT_WALK_H

#include <cstdint>
#include <optional>

#include "format/chunk.h"
#include "format/word32.h"

namespace convert3do {

// The three words of the file header.
struct FileHeader {
  Word32 magic = 0;
  Word32 headerWord = 0;
  Word32 bodyLength = 0;
};

inline FileHeader decodeFileHeader(const unsigned char* bytes) {
  return FileHeader{decodeWord(bytes), decodeWord(bytes + kWordBytes),
                    decodeWord(bytes + 2 * kWordBytes)};
}

// Writes the 12-byte header of a converted file.
inline void encodeFileHeader(const FileHeader& header, unsigned char* bytes) {
  encodeWord(header.magic, bytes);
  encodeWord(header.headerWord, bytes + kWordBytes);
  encodeWord(header.bodyLength, bytes + 2 * kWordBytes);
}

// Whether another chunk is started: only while the chunk bytes walked so far
// are less than the length field, compared as signed numbers. A length of 0 or
// less therefore reads no chunk, and the last chunk may run past the bound.
constexpr bool walkGoesOn(std::int64_t bytesConsumed, Word32 bodyLength) {
  return bytesConsumed < bodyLength;
}

// What a chunk header means for the walk.
struct ChunkPlan {
  std::optional<ChunkTag> tag;  // nothing: the tag is not recognised and the walk ends there
  // The rest is worked out from the tag word as if it were recognised, so that
  // a caller can compute with it before the tag lookup's answer is in; it
  // means something only when tag is set.
  std::int64_t size = 0;     // the bytes the chunk occupies, its header included
  std::int64_t areaEnd = 0;  // the chunk area's length once the chunk is walked
  bool fits = true;  // false: the chunk would take the area past what the length field can state
};

// Judges a chunk from its tag and payload length, with bytesConsumed walked
// before it. A chunk that does not fit is damage, found before any of its
// payload is read.
constexpr ChunkPlan planChunk(Word32 tagWord, Word32 payloadLength, std::int64_t bytesConsumed) {
  ChunkPlan plan;
  plan.tag = recognizeTag(tagWord);
  plan.size = chunkSize(static_cast<ChunkTag>(tagWord), payloadLength);
  plan.areaEnd = bytesConsumed + plan.size;
  plan.fits = plan.areaEnd <= kMaxBodyLength;
  return plan;
}

// The XYZS entries of a recognised chunk of the given size; none for other
// tags. Computed, like the plan, without a branch on the tag.
constexpr std::int64_t entriesOf(ChunkTag tag, std::int64_t size) {
  return (size - kChunkHeaderBytes) / kEntryBytes * (payloadUnitBytes(tag) / kEntryBytes);
}

}  // namespace convert3do

#endif  // CONVERT3DO_FORMAT_WALK_H
