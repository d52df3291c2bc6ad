// Four-character codes, the recognised chunk tags and the chunk-size rules of
// the 3do layout.
//
// A 3do file is a 12-byte header (magic "3DO4", one opaque word, the length of
// the chunk area) followed by chunks laid end to end. Every chunk starts with a
// 12-byte header (tag, one opaque word, payload length) and is followed by its
// payload, rounded up to whole words (whole 16-byte entries for XYZS).
#ifndef CONVERT3DO_FORMAT_CHUNK_H
#define CONVERT3DO_FORMAT_CHUNK_H

#include <cstdint>
#include <optional>

#include "format/word32.h"

namespace convert3do {

// Packs four ASCII characters into a word, the first character in the most
// significant byte; on disk the characters therefore stand in reverse order.
constexpr Word32 fourCC(char a, char b, char c, char d) {
  const std::uint32_t bits = (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
                             (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
                             (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
                             static_cast<std::uint32_t>(static_cast<unsigned char>(d));
  return wordFromBits(bits);
}

constexpr Word32 kMagic = fourCC('3', 'D', 'O', '4');

constexpr std::int64_t kFileHeaderBytes = 12;
constexpr std::int64_t kLengthFieldOffset = 8;  // of the chunk area's length, in the header
constexpr std::int64_t kChunkHeaderBytes = 12;
constexpr std::int64_t kEntryBytes = 16;
constexpr std::int64_t kEntryWords = kEntryBytes / 4;

// The largest number of chunk bytes the length field can state.
constexpr std::int64_t kMaxBodyLength = INT32_MAX;

enum class ChunkTag : Word32 {
  Hand = fourCC('H', 'A', 'N', 'D'),
  Norm = fourCC('N', 'O', 'R', 'M'),
  Plan = fourCC('P', 'L', 'A', 'N'),
  Prim = fourCC('P', 'R', 'I', 'M'),
  Strn = fourCC('S', 'T', 'R', 'N'),
  Xyzs = fourCC('X', 'Y', 'Z', 'S'),
};

// The recognised tags by the slot a multiplicative hash gives each of them;
// slots that no tag takes hold a tag that does not hash there.
inline constexpr ChunkTag kTagSlots[8] = {ChunkTag::Norm, ChunkTag::Strn, ChunkTag::Xyzs,
                                          ChunkTag::Hand, ChunkTag::Hand, ChunkTag::Hand,
                                          ChunkTag::Plan, ChunkTag::Prim};

// The tag a word names, or nothing when it is not one of the six recognised
// tags. The hash sends each tag to its own slot of a table, so the test is
// one comparison rather than a chain of data-dependent branches.
constexpr std::optional<ChunkTag> recognizeTag(Word32 value) {
  const ChunkTag candidate = kTagSlots[(static_cast<std::uint32_t>(value) * 0x16Bu) >> 29];
  if (static_cast<Word32>(candidate) == value) {
    return candidate;
  }
  return std::nullopt;
}

// The bytes a payload is counted in: whole entries for XYZS, whole words for
// every other tag.
constexpr std::int64_t payloadUnitBytes(ChunkTag tag) {
  return tag == ChunkTag::Xyzs ? kEntryBytes : kWordBytes;
}

// The bytes a recognised chunk occupies, its header included: the payload
// rounded up to whole units, none when the length is 0 or less. Computed in 64
// bits, so every payload length gives an exact answer.
constexpr std::int64_t chunkSize(ChunkTag tag, Word32 payloadLength) {
  const std::int64_t unit = payloadUnitBytes(tag);  // a power of two
  const std::int64_t length = payloadLength > 0 ? payloadLength : 0;
  return kChunkHeaderBytes + ((length + unit - 1) & -unit);
}

}  // namespace convert3do

#endif  // CONVERT3DO_FORMAT_CHUNK_H
