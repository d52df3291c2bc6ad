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
  return bits <= 0x7FFFFFFFu ? static_cast<Word32>(bits)
                             : static_cast<Word32>(-static_cast<std::int64_t>(~bits) - 1);
}

constexpr Word32 kMagic = fourCC('3', 'D', 'O', '4');

constexpr std::int64_t kFileHeaderBytes = 12;
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

// The tag a word names, or nothing when it is not one of the six recognised
// tags.
std::optional<ChunkTag> recognizeTag(Word32 value);

// Payload words of a chunk with a plain (opaque) payload: ceil(length / 4),
// none when the length is 0 or less.
std::int64_t plainPayloadWords(Word32 payloadLength);

// Entries of an XYZS payload: ceil(length / 16), none when the length is 0 or
// less.
std::int64_t xyzsEntries(Word32 payloadLength);

// The bytes a recognised chunk occupies, its header included. Computed in 64
// bits, so every payload length gives an exact answer.
std::int64_t chunkSize(ChunkTag tag, Word32 payloadLength);

}  // namespace convert3do

#endif  // CONVERT3DO_FORMAT_CHUNK_H
