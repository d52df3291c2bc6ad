#include "convert/survey.h"

#include <algorithm>

#include "format/chunk.h"
#include "format/entry.h"

namespace convert3do {

namespace {

// Counts the entries a conversion changes and hands out each chunk.
struct SurveySink {
  Survey& survey;

  static void header(const unsigned char* /*bytes*/) {}

  void wholeChunk(const unsigned char* chunk, Word32 tagWord, const ChunkPlan& plan,
                  std::int64_t offset) {
    ChunkRecord record{offset,
                       tagWord,
                       decodeWord(chunk + kWordBytes),
                       decodeWord(chunk + 2 * kWordBytes),
                       plan.size,
                       0,
                       0};
    record.entries = entriesOf(*plan.tag, plan.size);
    entries(chunk + kChunkHeaderBytes, record.entries, record);
    chunkDone(record);
  }

  static void chunkHeader(const unsigned char* /*chunk*/, ChunkRecord& /*record*/) {}
  static void payload(const unsigned char* /*first*/, std::int64_t /*count*/) {}
  bool stopped() const { return survey.stopRequested; }

  static void entries(const unsigned char* first, std::int64_t count, ChunkRecord& record) {
    record.entriesToChange += entriesToChange(first, count);
  }

  void chunkDone(const ChunkRecord& record) {
    survey.entriesToChange += record.entriesToChange;
    if (survey.visit != nullptr) {
      survey.visit(survey.context, record);
    }
  }
};

}  // namespace

std::size_t surveyBytes(Survey& s, const unsigned char* bytes, std::size_t count, bool inputEnded) {
  SurveySink sink{s};
  return walkBytes(s.walk, bytes, count, inputEnded, sink);
}

std::int64_t surveyPayloadLeft(const Survey& s) {
  return s.walk.phase == WalkPhase::Payload ? s.walk.left : 0;
}

void skipSurvey(Survey& s, std::int64_t count) {
  skipPayload(s.walk, count);
}

void stopSurvey(Survey& s) {
  s.walk.phase = WalkPhase::Ended;
  s.walk.end = WalkEnd::Stopped;
}

void failSurveyRead(Survey& s) {
  failRead(s.walk);
}

SurveyInfo finishSurvey(const Survey& survey, std::int64_t size, int error) {
  const WalkState& w = survey.walk;
  SurveyInfo s;
  s.is3do = w.is3do;
  s.headerComplete = w.headerComplete;
  s.header = w.header;
  s.chunkCount = w.chunkCount;
  s.chunkBytes = w.areaWalked;
  s.end = w.end;
  s.outcome = w.outcome;
  s.endOffset = w.endOffset;
  s.endTag = w.endTag;
  s.damage = w.end == WalkEnd::Damaged ? w.damage : Damage{};
  s.error = w.outcome == Outcome::ReadFailed ? error : 0;
  s.size = size >= 0 ? size : -1;
  if (w.end == WalkEnd::Bound) {
    s.overrun = std::max<std::int64_t>(0, w.areaWalked - std::max<Word32>(0, w.header.bodyLength));
  }
  if (w.headerComplete) {
    // Every ending after a whole header writes the header and the complete
    // chunks, with the length field stating them.
    s.outputSize = kFileHeaderBytes + w.areaWalked;
    s.wordsChanged = survey.entriesToChange + (w.areaWalked != w.header.bodyLength ? 1 : 0);
  }
  s.alreadyConverted = s.outcome == Outcome::Converted && s.wordsChanged == 0 && s.size >= 0 &&
                       s.outputSize == s.size;
  return s;
}

SurveyInfo surveyBuffer(const unsigned char* bytes, std::size_t count, ChunkVisit visit,
                        void* context) {
  Survey s;
  s.visit = visit;
  s.context = context;
  (void)surveyBytes(s, bytes, count, true);
  return finishSurvey(s, static_cast<std::int64_t>(count));
}

bool tagIsPrintable(Word32 tag) {
  const auto bits = static_cast<std::uint32_t>(tag);
  for (int shift = 0; shift < 32; shift += 8) {
    const std::uint32_t c = (bits >> shift) & 0xFFu;
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

}  // namespace convert3do
