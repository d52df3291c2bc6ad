#include "convert/convert.h"

#include <cstdint>
#include <cstring>

#include "convert/survey.h"
#include "format/entry.h"
#include "format/walk.h"

namespace convert3do {

namespace {

// Rewrites entries in place and blanks the file header.
//
// Small chunks spend their time in wholeChunk, and their kinds follow each
// other unpredictably, so nothing there branches on the tag: the entry count
// is computed from the tag word, and the first word of a chunk's first entry
// is written as 1 into the chunk when it has entries and into a spare word
// when it has none. Only a chunk of more than one entry loops.
struct ConversionSink {
  unsigned char spare[kWordBytes] = {};

  static void header(unsigned char* bytes) { std::memset(bytes, 0, kFileHeaderBytes); }

  void wholeChunk(unsigned char* chunk, Word32 tagWord, const ChunkPlan& plan,
                  std::int64_t /*offset*/) {
    const std::int64_t count = entriesOf(static_cast<ChunkTag>(tagWord), plan.size);
    unsigned char* const first = chunk + kChunkHeaderBytes;
    // The choice by an index, not a conditional, which a compiler may turn
    // into a branch that the mix of chunks makes unpredictable.
    unsigned char* const targets[2] = {spare, first};
    convertEntry(targets[static_cast<int>(count > 0)]);
    convertEntries(first + kEntryBytes, count - 1);
  }

  static void chunkHeader(unsigned char* /*chunk*/, ChunkRecord& /*record*/) {}
  static void payload(unsigned char* /*first*/, std::int64_t /*count*/) {}
  static constexpr bool stopped() { return false; }

  static void entries(unsigned char* first, std::int64_t count, ChunkRecord& /*record*/) {
    convertEntries(first, count);
  }

  static void chunkDone(const ChunkRecord& /*record*/) {}
};

// Copies what the walk takes from the input into the output, rewriting
// entries there, so that the output gets the bytes walked and no others. A
// run that needs no rewrite is copied only when an entry or the end of the
// call needs it, in one copy. With wholeOnly (a whole file in one call) the
// bytes of a chunk the input cuts short are not copied either, so that
// exactly the output is written.
struct CopySink {
  const unsigned char* from;  // the call's input
  unsigned char* out;         // and its output
  bool wholeOnly;
  std::size_t copied = 0;  // of the input, from its start

  void copyTo(const unsigned char* end) {
    const auto upTo = static_cast<std::size_t>(end - from);
    if (upTo > copied) {
      std::memcpy(out + copied, from + copied, upTo - copied);
      copied = upTo;
    }
  }
  // Copies count entries from first on, each with its first word 1, in one
  // pass over them; what comes before them first.
  void copyEntries(const unsigned char* first, std::int64_t count) {
    copyTo(first);
    copyConvertedEntries(first, out + copied, count);
    copied += static_cast<std::size_t>(count) * kEntryBytes;
  }

  void header(const unsigned char* bytes) {
    copyTo(bytes);
    std::memset(out + copied, 0, kFileHeaderBytes);
    copied += kFileHeaderBytes;
  }
  void wholeChunk(const unsigned char* chunk, Word32 tagWord, const ChunkPlan& plan,
                  std::int64_t /*offset*/) {
    const std::int64_t count = entriesOf(static_cast<ChunkTag>(tagWord), plan.size);
    if (count > 0) {
      copyEntries(chunk + kChunkHeaderBytes, count);
    }
  }
  static void chunkHeader(const unsigned char* /*chunk*/, ChunkRecord& /*record*/) {}
  void entries(const unsigned char* first, std::int64_t count, ChunkRecord& /*record*/) {
    if (!wholeOnly) {
      copyEntries(first, count);
    }
  }
  static void payload(const unsigned char* /*first*/, std::int64_t /*count*/) {}
  static void chunkDone(const ChunkRecord& /*record*/) {}
  static constexpr bool stopped() { return false; }
};

// A ConversionSink that also counts, as a survey does, the entries of the
// chunks it keeps whose first word is not 1 before it writes them (those of
// a chunk the input cuts short are not counted).
struct SurveyedConversionSink {
  std::int64_t entriesToChange = 0;
  std::int64_t inChunk = 0;  // of the chunk under way

  static void header(unsigned char* bytes) { std::memset(bytes, 0, kFileHeaderBytes); }

  void wholeChunk(unsigned char* chunk, Word32 tagWord, const ChunkPlan& plan,
                  std::int64_t /*offset*/) {
    entriesToChange += convertEntriesCounted(chunk + kChunkHeaderBytes,
                                             entriesOf(static_cast<ChunkTag>(tagWord), plan.size));
  }

  static void chunkHeader(unsigned char* /*chunk*/, ChunkRecord& /*record*/) {}
  static void payload(unsigned char* /*first*/, std::int64_t /*count*/) {}
  static constexpr bool stopped() { return false; }
  void entries(unsigned char* first, std::int64_t count, ChunkRecord& /*record*/) {
    inChunk += convertEntriesCounted(first, count);
  }
  void chunkDone(const ChunkRecord& /*record*/) {
    entriesToChange += inChunk;
    inChunk = 0;
  }
};

}  // namespace

SurveyInfo convertSurveyed(unsigned char* bytes, std::size_t count, ConversionResult* result) {
  Survey survey;
  SurveyedConversionSink sink;
  (void)walkBytes(survey.walk, bytes, count, true, sink);
  survey.entriesToChange = sink.entriesToChange;
  unsigned char header[kFileHeaderBytes];
  *result = finishConversion(Conversion{survey.walk}, header);
  if (result->outputLength > 0) {
    std::memcpy(bytes, header, sizeof header);
  }
  return finishSurvey(survey, static_cast<std::int64_t>(count));
}

std::size_t convertInPlace(Conversion& c, unsigned char* bytes, std::size_t count,
                           bool inputEnded) {
  ConversionSink sink;
  return walkBytes(c.walk, bytes, count, inputEnded, sink);
}

std::size_t convertCopy(Conversion& c, const unsigned char* in, std::size_t count,
                        unsigned char* out, bool inputEnded) {
  CopySink sink{in, out, false};
  const std::size_t walked = walkBytes(c.walk, in, count, inputEnded, sink);
  sink.copyTo(in + walked);
  return walked;
}

void failConversionRead(Conversion& c) {
  failRead(c.walk);
}

ConversionResult finishConversion(const Conversion& c, unsigned char* header) {
  const WalkState& s = c.walk;
  ConversionResult result;
  result.outcome = s.outcome;
  result.inputEnd = inputUsed(s);
  result.bytesWritten = s.areaWalked;
  if (s.end == WalkEnd::Damaged) {
    result.damage = s.damage;
  }
  if (s.headerComplete) {
    // Every ending after a whole header writes the header and the complete
    // chunks, with the length field stating them.
    result.outputLength = kFileHeaderBytes + s.areaWalked;
    FileHeader out = s.header;
    out.bodyLength = static_cast<Word32>(s.areaWalked);
    encodeFileHeader(out, header);
  }
  return result;
}

ConversionResult convertBuffer(const unsigned char* in, std::size_t count, unsigned char* out) {
  Conversion c;
  unsigned char header[kFileHeaderBytes];
  if (out == in) {
    (void)convertInPlace(c, out, count, true);
  } else {
    CopySink sink{in, out, true};
    (void)walkBytes(c.walk, in, count, true, sink);
    const ConversionResult kept = finishConversion(c, header);
    sink.copyTo(in + kept.outputLength);
  }
  const ConversionResult result = finishConversion(c, header);
  if (result.outputLength > 0) {
    std::memcpy(out, header, sizeof header);
  }
  return result;
}

}  // namespace convert3do
