#include "convert/convert.h"

#include <cstdint>
#include <cstring>

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
    encodeWord(1, targets[static_cast<int>(count > 0)]);
    for (std::int64_t i = 1; i < count; ++i) {
      encodeWord(1, first + i * kEntryBytes);
    }
  }

  static void chunkHeader(unsigned char* /*chunk*/, ChunkRecord& /*record*/) {}

  static void entries(unsigned char* first, std::int64_t count, ChunkRecord& /*record*/) {
    for (std::int64_t i = 0; i < count; ++i) {
      encodeWord(1, first + i * kEntryBytes);
    }
  }

  static void chunkDone(const ChunkRecord& /*record*/) {}
};

}  // namespace

std::size_t convertInPlace(Conversion& c, unsigned char* bytes, std::size_t count,
                           bool inputEnded) {
  ConversionSink sink;
  return walkBytes(c.walk, bytes, count, inputEnded, sink);
}

void failConversionRead(Conversion& c) {
  failRead(c.walk);
}

ConversionResult finishConversion(const Conversion& c, unsigned char* header) {
  const WalkState& s = c.walk;
  ConversionResult result;
  result.outcome = s.outcome;
  result.inputEnd = s.inputSeen;
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
  if (out != in && count > 0) {
    std::memmove(out, in, count);
  }
  Conversion c;
  (void)convertInPlace(c, out, count, true);
  unsigned char header[kFileHeaderBytes];
  const ConversionResult result = finishConversion(c, header);
  if (result.outputLength > 0) {
    std::memcpy(out, header, sizeof header);
  }
  return result;
}

}  // namespace convert3do
