#include "format/word32.h"

namespace convert3do {

std::size_t readWord(std::FILE* in, Word32& value) {
  unsigned char bytes[kWordBytes];
  const std::size_t got = std::fread(bytes, 1, kWordBytes, in);
  if (got == kWordBytes) {
    value = decodeWord(bytes);
  }
  return got;
}

bool writeWord(std::FILE* out, Word32 value) {
  unsigned char bytes[kWordBytes];
  encodeWord(value, bytes);
  return std::fwrite(bytes, 1, kWordBytes, out) == kWordBytes;
}

}  // namespace convert3do
