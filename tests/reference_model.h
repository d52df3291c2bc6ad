// A deliberately simple model of the conversion, written straight from the
// rules of the format on an in-memory file, used to check the streaming pass
// on generated inputs.
#ifndef CONVERT3DO_TESTS_REFERENCE_MODEL_H
#define CONVERT3DO_TESTS_REFERENCE_MODEL_H

#include <cstdint>
#include <vector>

#include "convert/convert.h"
#include "format/chunk.h"
#include "format/word32.h"

namespace convert3do::testing {

struct ModelResult {
  Outcome outcome;
  std::vector<unsigned char> output;
};

inline ModelResult referenceConvert(const std::vector<unsigned char>& in) {
  const std::int64_t size = static_cast<std::int64_t>(in.size());
  const auto word = [&](std::int64_t at) { return decodeWord(in.data() + at); };
  if (size < 4 || word(0) != kMagic) {
    return {Outcome::BadMagic, {}};
  }
  if (size < 12) {
    return {Outcome::CutHeader, {}};
  }
  ModelResult result{Outcome::Converted, std::vector<unsigned char>(in.begin(), in.begin() + 12)};
  const Word32 bodyLength = word(8);
  std::int64_t at = 12;
  std::int64_t written = 0;
  while (written < bodyLength && at < size) {
    if (size - at < 4) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    const std::optional<ChunkTag> tag = recognizeTag(word(at));
    if (!tag) {
      break;
    }
    if (size - at < 12) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    const std::int64_t chunk = chunkSize(*tag, word(at + 8));
    if (written + chunk > INT32_MAX) {
      result.outcome = Outcome::ChunkTooLarge;
      break;
    }
    if (size - at < chunk) {
      result.outcome = Outcome::CutChunk;
      break;
    }
    const std::size_t start = result.output.size();
    result.output.insert(result.output.end(), in.begin() + at, in.begin() + at + chunk);
    for (std::int64_t entry = 12; *tag == ChunkTag::Xyzs && entry < chunk; entry += 16) {
      encodeWord(1, result.output.data() + start + entry);
    }
    at += chunk;
    written += chunk;
  }
  encodeWord(static_cast<Word32>(written), result.output.data() + 8);
  return result;
}

}  // namespace convert3do::testing

#endif  // CONVERT3DO_TESTS_REFERENCE_MODEL_H
