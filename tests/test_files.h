// Helpers shared by the tests: building 3do files word by word and running the
// conversion pass on temporary streams.
#ifndef CONVERT3DO_TESTS_TEST_FILES_H
#define CONVERT3DO_TESTS_TEST_FILES_H

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "cli/common/file_convert.h"
#include "convert/convert.h"
#include "convert/survey.h"
#include "format/chunk.h"
#include "format/word32.h"

namespace convert3do::testing {

using Bytes = std::vector<unsigned char>;

inline constexpr Word32 kHand = static_cast<Word32>(ChunkTag::Hand);
inline constexpr Word32 kNorm = static_cast<Word32>(ChunkTag::Norm);
inline constexpr Word32 kPlan = static_cast<Word32>(ChunkTag::Plan);
inline constexpr Word32 kPrim = static_cast<Word32>(ChunkTag::Prim);
inline constexpr Word32 kStrn = static_cast<Word32>(ChunkTag::Strn);
inline constexpr Word32 kXyzs = static_cast<Word32>(ChunkTag::Xyzs);
inline constexpr Word32 kJunk = fourCC('J', 'U', 'N', 'K');

inline Bytes wordsToBytes(std::initializer_list<Word32> words) {
  Bytes bytes;
  for (Word32 word : words) {
    unsigned char encoded[kWordBytes];
    encodeWord(word, encoded);
    for (unsigned char byte : encoded) {
      bytes.push_back(byte);
    }
  }
  return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// The whole contents of an open file.
inline Bytes readAll(std::FILE* file) {
  Bytes bytes;
  std::rewind(file);
  unsigned char block[4096];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    bytes.insert(bytes.end(), block, block + got);
  }
  return bytes;
}

// The contents of the named file; empty if it cannot be read.
inline Bytes readFile(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return {};
  }
  Bytes bytes = readAll(file);
  std::fclose(file);
  return bytes;
}

struct PassRun {
  ConversionResult result;
  Bytes output;
  bool inputIntact;      // the input file still holds exactly the input
  SurveyInfo predicted;  // what the survey says of the same input
};

// Runs convertFile on input through temporary files, and surveyFile on the
// same input.
inline PassRun runPass(const Bytes& input, std::size_t windowBytes = kDefaultWindowBytes) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  if (!input.empty()) {
    std::fwrite(input.data(), 1, input.size(), in);
  }
  std::rewind(in);
  const WindowMemory window(windowBytes);
  PassRun run{convertFile(fileno(in), fileno(out), window.window), readAll(out), false,
              SurveyInfo{}};
  run.inputIntact = readAll(in) == input;
  std::rewind(in);
  run.predicted = surveyFile(
      fileno(in), [](const ChunkRecord&) {}, true);
  std::fclose(in);
  std::fclose(out);
  return run;
}

// Where the survey's prediction differs from what the conversion did, or
// nullptr when they agree: outcome, output size and length field, the words
// changed (counted afresh), the bytes dropped and "already converted".
inline const char* predictionError(const Bytes& input, const PassRun& run) {
  const SurveyInfo& p = run.predicted;
  if (p.outcome != run.result.outcome) {
    return "outcome";
  }
  if (p.outputSize != static_cast<std::int64_t>(run.output.size())) {
    return "output size";
  }
  if (p.size != static_cast<std::int64_t>(input.size())) {
    return "input size";
  }
  if (!run.output.empty() && p.chunkBytes != decodeWord(run.output.data() + 8)) {
    return "length field";
  }
  std::int64_t changed = 0;
  for (std::size_t at = 0; at + 4 <= run.output.size(); at += 4) {
    changed += decodeWord(run.output.data() + at) != decodeWord(input.data() + at) ? 1 : 0;
  }
  if (p.wordsChanged != changed) {
    return "words changed";
  }
  if (p.alreadyConverted != (run.result.outcome == Outcome::Converted && run.output == input)) {
    return "already converted";
  }
  return nullptr;
}

}  // namespace convert3do::testing

#endif  // CONVERT3DO_TESTS_TEST_FILES_H
