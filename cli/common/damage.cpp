#include "cli/common/damage.h"

#include <cstdio>
#include <cstring>

namespace convert3do {

DamageText describeDamage(const Damage& d) {
  DamageText out{};
  const auto at = static_cast<long long>(d.at);
  const auto chunk = static_cast<long long>(d.chunk);
  switch (d.outcome) {
    case Outcome::CutHeader:
      (void)std::snprintf(out.text, sizeof out.text, "cut at byte %lld, inside the 12-byte header",
                          at);
      break;
    case Outcome::ChunkTooLarge:
      (void)std::snprintf(out.text, sizeof out.text,
                          "the chunk at byte %lld (payload length %ld) would take the chunk area "
                          "to %lld bytes, more than a 3do file can hold (2147483647)",
                          chunk, static_cast<long>(d.payloadLength),
                          static_cast<long long>(d.areaEnd));
      break;
    case Outcome::ReadFailed:
      (void)std::snprintf(out.text, sizeof out.text, "cannot read at byte %lld: %s", at,
                          std::strerror(d.error));
      break;
    default:
      (void)std::snprintf(out.text, sizeof out.text,
                          "cut at byte %lld, inside the chunk at byte %lld", at, chunk);
      break;
  }
  return out;
}

Damage damageOf(const ConversionResult& result) {
  Damage d;
  d.outcome = result.outcome;
  d.at = result.inputEnd;
  d.chunk = result.chunkOffset;
  d.payloadLength = result.payloadLength;
  d.areaEnd = result.areaEnd;
  d.error = result.error;
  return d;
}

Damage damageOf(const Inspection& inspection) {
  Damage d;
  d.outcome = inspection.outcome;
  d.at = inspection.damageOffset;
  d.chunk = inspection.damageChunk;
  d.payloadLength = inspection.damagePayloadLength;
  d.areaEnd = inspection.damageAreaEnd;
  d.error = inspection.error;
  return d;
}

}  // namespace convert3do
