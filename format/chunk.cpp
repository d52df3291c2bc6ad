#include "format/chunk.h"

namespace convert3do {

std::optional<ChunkTag> recognizeTag(Word32 value) {
  switch (static_cast<ChunkTag>(value)) {
    case ChunkTag::Hand:
    case ChunkTag::Norm:
    case ChunkTag::Plan:
    case ChunkTag::Prim:
    case ChunkTag::Strn:
    case ChunkTag::Xyzs:
      return static_cast<ChunkTag>(value);
  }
  return std::nullopt;
}

namespace {

std::int64_t unitsFor(Word32 payloadLength, std::int64_t unitBytes) {
  if (payloadLength <= 0) {
    return 0;
  }
  return (static_cast<std::int64_t>(payloadLength) + unitBytes - 1) / unitBytes;
}

}  // namespace

std::int64_t plainPayloadWords(Word32 payloadLength) {
  return unitsFor(payloadLength, kWordBytes);
}

std::int64_t xyzsEntries(Word32 payloadLength) {
  return unitsFor(payloadLength, kEntryBytes);
}

std::int64_t chunkSize(ChunkTag tag, Word32 payloadLength) {
  if (tag == ChunkTag::Xyzs) {
    return kChunkHeaderBytes + kEntryBytes * xyzsEntries(payloadLength);
  }
  return kChunkHeaderBytes +
         static_cast<std::int64_t>(kWordBytes) * plainPayloadWords(payloadLength);
}

}  // namespace convert3do
