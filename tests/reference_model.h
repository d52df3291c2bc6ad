// A deliberately simple model of the conversion, written straight from the
// rules of the format on an in-memory file, used to check the streaming pass
// on generated inputs. It takes nothing from the code it checks but the
// names of the outcomes: the words, the six tags and the rounding of
// payloads are written out here again, so that a fault in the format's own
// rules shows as a difference.
#ifndef CONVERT3DO_TESTS_REFERENCE_MODEL_H
#define CONVERT3DO_TESTS_REFERENCE_MODEL_H

#include <cstdint>
#include <vector>

#include "convert/convert.h"

namespace convert3do::testing {

struct ModelResult {
  Outcome outcome;
  std::vector<unsigned char> output;
};

// A signed little-endian 32-bit word at p.
inline std::int64_t referenceWord(const unsigned char* p) {
  const std::uint32_t bits =
      p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  return bits >= 0x80000000u ? static_cast<std::int64_t>(bits) - 0x100000000 : bits;
}

inline void referencePutWord(std::int64_t value, unsigned char* p) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xff);
  }
}

// The bytes of the four characters as a file holds them: reversed.
inline bool referenceTagIs(const unsigned char* p, const char* name) {
  return p[0] == name[3] && p[1] == name[2] && p[2] == name[1] && p[3] == name[0];
}

// The payload unit of a recognised tag (16 for XYZS, 4 for the other five),
// or 0 for any other word.
inline std::int64_t referenceUnit(const unsigned char* p) {
  for (const char* name : {"HAND", "NORM", "PLAN", "PRIM", "STRN"}) {
    if (referenceTagIs(p, name)) {
      return 4;
    }
  }
  return referenceTagIs(p, "XYZS") ? 16 : 0;
}

inline ModelResult referenceConvert(const std::vector<unsigned char>& in) {
  const std::int64_t size = static_cast<std::int64_t>(in.size());
  if (size < 4 || !referenceTagIs(in.data(), "3DO4")) {
    return {Outcome::BadMagic, {}};
  }
  if (size < 12) {
    return {Outcome::CutHeader, {}};
  }
  ModelResult result{Outcome::Converted, std::vector<unsigned char>(in.begin(), in.begin() + 12)};
  const std::int64_t bodyLength = referenceWord(in.data() + 8);
  std::int64_t at = 12;
  std::int64_t written = 0;
  while (written < bodyLength && at < size) {
    if (size - at < 4) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    const std::int64_t unit = referenceUnit(in.data() + at);
    if (unit == 0) {
      break;
    }
    if (size - at < 12) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    std::int64_t payload = referenceWord(in.data() + at + 8);
    payload = payload < 0 ? 0 : payload;
    const std::int64_t chunk = 12 + (payload + unit - 1) / unit * unit;
    if (written + chunk > 2147483647) {
      result.outcome = Outcome::ChunkTooLarge;
      break;
    }
    if (size - at < chunk) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    const std::size_t start = result.output.size();
    result.output.insert(result.output.end(), in.begin() + at, in.begin() + at + chunk);
    for (std::int64_t entry = 12; unit == 16 && entry < chunk; entry += 16) {
      referencePutWord(1, result.output.data() + start + entry);
    }
    at += chunk;
    written += chunk;
  }
  referencePutWord(written, result.output.data() + 8);
  return result;
}

}  // namespace convert3do::testing

#endif  // CONVERT3DO_TESTS_REFERENCE_MODEL_H
