// The survey: the walk of the conversion (convert/walker.h) recording what it
// meets instead of writing a copy, and predicting what a conversion would
// write. Only reads; in buffers the caller owns, with no I/O. A caller that
// can seek steps over opaque payloads (surveyPayloadLeft), so a survey's cost
// need not grow with their size.
#ifndef CONVERT3DO_CONVERT_SURVEY_H
#define CONVERT3DO_CONVERT_SURVEY_H

#include <cstddef>
#include <cstdint>

#include "convert/convert.h"
#include "convert/walker.h"
#include "format/walk.h"
#include "format/word32.h"

namespace convert3do {

struct SurveyInfo {
  std::int64_t size = 0;  // bytes in the input; -1 when not known
  bool is3do = false;
  bool headerComplete = false;
  FileHeader header;
  std::int64_t chunkCount = 0;
  std::int64_t chunkBytes = 0;  // the chunk area the walk keeps
  WalkEnd end = WalkEnd::NotA3do;
  // For Bound: how far the last chunk runs past the length field.
  std::int64_t overrun = 0;
  // For UnrecognisedTag: where that chunk starts, and its tag.
  std::int64_t endOffset = 0;
  Word32 endTag = 0;
  Damage damage;  // for Damaged
  int error = 0;  // errno of a read error
  // What a conversion would do.
  Outcome outcome = Outcome::BadMagic;
  std::int64_t outputSize = 0;
  std::int64_t wordsChanged = 0;
  bool alreadyConverted = false;
};

// Told of every chunk the walk keeps, in order.
using ChunkVisit = void (*)(void* context, const ChunkRecord& chunk);

// A survey under way.
struct Survey {
  WalkState walk;
  ChunkVisit visit = nullptr;  // may be null
  void* context = nullptr;
  std::int64_t entriesToChange = 0;
  bool stopRequested = false;  // set by visit: the walk ends after this chunk
};

// Walks bytes[0, count), the input from where the last call stopped. Returns
// the bytes walked; the rest (less than an XYZS entry) is to be handed back at
// the front of the next call. With inputEnded the survey ends.
std::size_t surveyBytes(Survey& s, const unsigned char* bytes, std::size_t count, bool inputEnded);

inline bool surveyEnded(const Survey& s) {
  return s.walk.phase == WalkPhase::Ended;
}

// The opaque payload bytes that the walk will step over next without looking
// at them; a caller that can seek may skip up to this many with skipSurvey.
std::int64_t surveyPayloadLeft(const Survey& s);
void skipSurvey(Survey& s, std::int64_t count);

// Its caller stopped the survey between calls: it ends where it is.
void stopSurvey(Survey& s);

// The input failed to read: the survey ends there.
void failSurveyRead(Survey& s);

// What the survey found. size is the input's size where the caller knows it
// (a regular file, or a stream read to its end), or -1 when it is not known:
// then the file's size and the bytes a conversion drops are not known
// either, and it is not known to be converted already.
SurveyInfo finishSurvey(const Survey& s, std::int64_t size, int error = 0);

// Surveys bytes[0, count) whole.
SurveyInfo surveyBuffer(const unsigned char* bytes, std::size_t count, ChunkVisit visit,
                        void* context);

// Converts bytes[0, count), a whole file, in place, as convertBuffer does
// with out == in, giving its result in *result; and surveys it in the same
// walk: returns what surveyBuffer says of the bytes as they were.
SurveyInfo convertSurveyed(unsigned char* bytes, std::size_t count, ConversionResult* result);

// Whether all four characters of a tag are printable ASCII (0x20 to 0x7E),
// so that it can be shown as its characters rather than as a number.
bool tagIsPrintable(Word32 tag);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_SURVEY_H
