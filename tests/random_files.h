// Random 3do files for the tests, and for the browser build's tests through
// write_random_models.
#ifndef CONVERT3DO_TESTS_RANDOM_FILES_H
#define CONVERT3DO_TESTS_RANDOM_FILES_H

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>

#include "format/chunk.h"
#include "test_files.h"

namespace convert3do::testing {

// Random 3do files: valid, cut anywhere, with odd and huge lengths, unknown
// tags and trailing bytes. Some are large enough to cross many read blocks:
// with large payloads, so that chunk headers and XYZS entries straddle block
// boundaries, or with tens of thousands of tiny chunks of every kind, so that
// the walk of small chunks meets the window's end at every kind of chunk.
enum class FileShape { Small, LargePayloads, TinyChunks };

inline Bytes randomFile(std::mt19937& random, FileShape shape) {
  const auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
  const Word32 tags[] = {kHand, kNorm, kPlan, kPrim, kStrn, kXyzs};
  // Damage is as likely in a file of many chunks as in one of a few.
  const std::uint32_t rarely = shape == FileShape::TinyChunks ? 200000 : 30;
  Bytes body;
  const std::uint32_t chunks = shape == FileShape::LargePayloads ? 20 + pick(20)
                               : shape == FileShape::TinyChunks  ? 60000 + pick(20000)
                                                                 : pick(10);
  for (std::uint32_t i = 0; i < chunks; ++i) {
    Word32 tag = tags[pick(6)];
    if (pick(rarely) == 0) {
      tag = static_cast<Word32>(random());
    }
    const std::uint32_t lengths = shape == FileShape::LargePayloads ? 70000
                                  : shape == FileShape::TinyChunks  ? 20
                                                                    : 80;
    Word32 payloadLength = static_cast<Word32>(pick(lengths)) - 3;
    if (pick(rarely) == 0) {
      payloadLength = static_cast<Word32>(INT32_MAX - pick(40));
    }
    const Bytes head = wordsToBytes({tag, static_cast<Word32>(random()), payloadLength});
    body.insert(body.end(), head.begin(), head.end());
    const std::optional<ChunkTag> known = recognizeTag(tag);
    const std::int64_t payload =
        std::min<std::int64_t>(known ? chunkSize(*known, payloadLength) - 12 : 8, 300000);
    for (std::int64_t b = 0; b < payload; ++b) {
      body.push_back(static_cast<unsigned char>(random()));
    }
  }
  Word32 bodyLength = static_cast<Word32>(body.size());
  switch (pick(6)) {
    case 0:
      bodyLength = static_cast<Word32>(pick(static_cast<std::uint32_t>(body.size()) + 50));
      break;
    case 1:
      bodyLength = -static_cast<Word32>(pick(100));
      break;
    case 2:
      bodyLength = INT32_MAX;
      break;
    default:
      break;
  }
  Bytes file = concat({wordsToBytes({kMagic, static_cast<Word32>(random()), bodyLength}), body});
  if (pick(4) == 0) {
    file.resize(pick(static_cast<std::uint32_t>(file.size()) + 1));
  } else if (pick(4) == 0) {
    for (std::uint32_t i = pick(40); i > 0; --i) {
      file.push_back(static_cast<unsigned char>(random()));
    }
  }
  return file;
}

}  // namespace convert3do::testing

#endif  // CONVERT3DO_TESTS_RANDOM_FILES_H
