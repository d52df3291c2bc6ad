// The 32-bit little-endian word, the only unit a 3do file is read and written in.
#ifndef CONVERT3DO_FORMAT_WORD32_H
#define CONVERT3DO_FORMAT_WORD32_H

#include <cstddef>
#include <cstdint>

namespace convert3do {

// A signed 32-bit two's-complement integer, stored least significant byte first.
using Word32 = std::int32_t;

constexpr std::size_t kWordBytes = 4;

// The word whose two's-complement bit pattern is bits, without relying on
// implementation-defined narrowing.
constexpr Word32 wordFromBits(std::uint32_t bits) {
  return bits <= 0x7FFFFFFFu ? static_cast<Word32>(bits)
                             : static_cast<Word32>(-static_cast<std::int64_t>(~bits) - 1);
}

// Decodes the word stored in bytes[0..3], one byte at a time, so the result is
// the same on hosts of either byte order.
constexpr Word32 decodeWord(const unsigned char* bytes) {
  const std::uint32_t bits =
      static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
      (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
  return wordFromBits(bits);
}

// Stores value into bytes[0..3], least significant byte first.
constexpr void encodeWord(Word32 value, unsigned char* bytes) {
  const auto bits = static_cast<std::uint32_t>(value);
  bytes[0] = static_cast<unsigned char>(bits & 0xFFu);
  bytes[1] = static_cast<unsigned char>((bits >> 8) & 0xFFu);
  bytes[2] = static_cast<unsigned char>((bits >> 16) & 0xFFu);
  bytes[3] = static_cast<unsigned char>((bits >> 24) & 0xFFu);
}

}  // namespace convert3do

#endif  // CONVERT3DO_FORMAT_WORD32_H
