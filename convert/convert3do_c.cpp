// The C interface over the walk: convert3do.h.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "convert/c_types.h"
#include "convert/convert.h"
#include "convert/convert3do.h"
#include "convert/survey.h"

namespace {

using convert3do::Conversion;
using convert3do::ConversionResult;
using convert3do::Outcome;
using convert3do::Survey;
using convert3do::SurveyInfo;
using convert3do::WalkEnd;

// Input taken but not walked yet, less than an XYZS entry, and room to walk
// it together with the next piece's first bytes.
constexpr std::size_t kCarryRoom = 2 * convert3do::kEntryBytes;
static_assert(kCarryRoom <= CONVERT3DO_MIN_OUTPUT, "a carried rest must fit the least room");

struct Carry {
  unsigned char bytes[kCarryRoom];
  std::size_t count;
};

// The check word of a started handle (zlib's state check): a handle without
// it was never started, or was freed or overwritten.
constexpr std::uint32_t kConverterCheck = 0x33636f6e;  // "noc3"
constexpr std::uint32_t kSurveyCheck = 0x33727573;     // "sur3"

}  // namespace

struct convert3do_converter {
  std::uint32_t check;
  Conversion conversion;
  Carry carry;
  bool finishing;  // a call said at_end: every later one must
};

struct convert3do_survey {
  std::uint32_t check;
  Survey survey;
  Carry carry;
  convert3do_chunk_fn visit;
  void* context;
  bool finishing;
};

namespace {

// What a call walks when it is given a null pointer with a length of 0: the
// walk is never handed a null pointer.
const unsigned char* orNothing(const unsigned char* bytes) {
  static const unsigned char kNothing[1] = {0};
  return bytes != nullptr ? bytes : kNothing;
}

bool aligned(const void* memory) {
  return reinterpret_cast<std::uintptr_t>(memory) % alignof(std::int64_t) == 0;
}

// A length the walk's offsets can count.
bool countable(std::size_t length) {
  return static_cast<std::uint64_t>(length) <= static_cast<std::uint64_t>(INT64_MAX);
}

bool started(const convert3do_converter* c) {
  return c != nullptr && aligned(c) && c->check == kConverterCheck;
}

bool started(const convert3do_survey* s) {
  return s != nullptr && aligned(s) && s->check == kSurveyCheck;
}

// Walks the carried rest completed from the input, by walk(bytes, count,
// ended), which returns the bytes walked; moves the input past what was
// taken. Returns the bytes of the carry walked (to be output by a converter).
template <class Walk>
std::size_t walkCarry(Carry& carry, const unsigned char*& in, std::size_t& length, bool atEnd,
                      Walk walk) {
  const std::size_t take = std::min(length, kCarryRoom - carry.count);
  if (take > 0) {
    std::memcpy(carry.bytes + carry.count, in, take);
  }
  const std::size_t total = carry.count + take;
  const std::size_t walked = walk(carry.bytes, total, atEnd && take == length);
  if (walked < carry.count) {
    // Not even the rest could be walked: all that was taken stays carried.
    carry.count = total;
    in += take;
    length -= take;
  } else {
    in += walked - carry.count;
    length -= walked - carry.count;
    carry.count = 0;
  }
  return walked;
}

// Keeps the unwalked rest of a piece for the next call.
void keepRest(Carry& carry, const unsigned char*& in, std::size_t& length) {
  if (length > 0) {
    std::memcpy(carry.bytes, in, length);
  }
  carry.count = length;
  in += length;
  length = 0;
}

}  // namespace

namespace convert3do {

convert3do_status statusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Converted:
      return CONVERT3DO_CONVERTED;
    case Outcome::BadMagic:
      return CONVERT3DO_NOT_3DO;
    case Outcome::CutHeader:
      return CONVERT3DO_CUT_HEADER;
    case Outcome::CutChunk:
      return CONVERT3DO_CUT_CHUNK;
    case Outcome::ChunkTooLarge:
      return CONVERT3DO_CHUNK_TOO_LARGE;
    case Outcome::ReadFailed:
    case Outcome::WriteFailed:
      break;
  }
  return CONVERT3DO_READ_FAILED;
}

convert3do_result resultOf(const ConversionResult& r) {
  convert3do_result out{};
  out.outcome = statusOf(r.outcome);
  out.output_length = r.outputLength;
  out.chunk_bytes = r.bytesWritten;
  out.input_end = r.inputEnd;
  out.damage_offset = r.damage.at;
  out.damage_chunk = r.damage.chunk;
  out.damage_payload_length = r.damage.payloadLength;
  out.damage_area_end = r.damage.areaEnd;
  return out;
}

namespace {

convert3do_walk_end walkEndOf(WalkEnd end) {
  switch (end) {
    case WalkEnd::Bound:
      return CONVERT3DO_END_BOUND;
    case WalkEnd::UnrecognisedTag:
      return CONVERT3DO_END_UNRECOGNISED;
    case WalkEnd::EndOfInput:
      return CONVERT3DO_END_OF_INPUT;
    case WalkEnd::Damaged:
      return CONVERT3DO_END_DAMAGED;
    case WalkEnd::Stopped:
      return CONVERT3DO_END_STOPPED;
    case WalkEnd::NotA3do:
      break;
  }
  return CONVERT3DO_END_NOT_3DO;
}

}  // namespace

convert3do_info infoOf(const SurveyInfo& s) {
  convert3do_info info{};
  info.size = s.size;
  info.is_3do = s.is3do ? 1 : 0;
  info.header_complete = s.headerComplete ? 1 : 0;
  info.header_word = s.header.headerWord;
  info.length_field = s.header.bodyLength;
  info.chunk_count = s.chunkCount;
  info.chunk_bytes = s.chunkBytes;
  info.walk_end = walkEndOf(s.end);
  info.overrun = s.overrun;
  info.end_offset = s.endOffset;
  info.end_tag = static_cast<std::uint32_t>(s.endTag);
  info.damage_offset = s.damage.at;
  info.damage_chunk = s.damage.chunk;
  info.damage_payload_length = s.damage.payloadLength;
  info.damage_area_end = s.damage.areaEnd;
  info.outcome = s.end == WalkEnd::Stopped ? CONVERT3DO_STOPPED : statusOf(s.outcome);
  info.output_size = s.outputSize;
  info.words_changed = s.wordsChanged;
  info.bytes_dropped = s.size >= 0 ? s.size - s.outputSize : -1;
  info.already_converted = s.alreadyConverted ? 1 : 0;
  return info;
}

// How a survey's call went: on, ended, or stopped by its chunk function.
convert3do_status surveyStatus(const Survey& s) {
  if (!surveyEnded(s)) {
    return CONVERT3DO_MORE;
  }
  return s.walk.end == WalkEnd::Stopped ? CONVERT3DO_STOPPED : CONVERT3DO_ENDED;
}

convert3do_chunk chunkOf(const ChunkRecord& c) {
  return convert3do_chunk{c.offset,         static_cast<std::uint32_t>(c.tag),
                          c.chunkWord,      c.payloadLength,
                          c.size,           c.entries,
                          c.entriesToChange};
}

}  // namespace convert3do

extern "C" {

const char* convert3do_version(void) {
  return CONVERT3DO_VERSION_STRING;
}

unsigned long convert3do_version_number(void) {
  return CONVERT3DO_VERSION_NUMBER;
}

size_t convert3do_min_output(void) {
  return CONVERT3DO_MIN_OUTPUT;
}

int convert3do_abi_matches(unsigned long version, size_t result_size, size_t info_size,
                           size_t chunk_size) {
  return version / 10000 == CONVERT3DO_VERSION_MAJOR && version <= CONVERT3DO_VERSION_NUMBER &&
                 result_size == sizeof(convert3do_result) && info_size == sizeof(convert3do_info) &&
                 chunk_size == sizeof(convert3do_chunk)
             ? 1
             : 0;
}

convert3do_status convert3do_convert_buffer(const unsigned char* in, size_t in_length,
                                            unsigned char* out, size_t out_capacity,
                                            convert3do_result* result) {
  if ((in == nullptr && in_length > 0) || (out == nullptr && in_length > 0) || result == nullptr ||
      !countable(in_length)) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  if (out_capacity < in_length) {
    return CONVERT3DO_TOO_LITTLE_ROOM;
  }
  const auto from = reinterpret_cast<std::uintptr_t>(in);
  const auto to = reinterpret_cast<std::uintptr_t>(out);
  if (from != to && in_length > 0 && to < from + in_length && from < to + in_length) {
    return CONVERT3DO_BAD_ARGUMENT;  // overlapping, but not in place
  }
  unsigned char none[1] = {0};
  *result = convert3do::resultOf(
      convert3do::convertBuffer(orNothing(in), in_length, out != nullptr ? out : none));
  return result->outcome;
}

size_t convert3do_converter_size(void) {
  return sizeof(convert3do_converter);
}

convert3do_converter* convert3do_converter_init(void* memory, size_t size) {
  if (memory == nullptr || size < sizeof(convert3do_converter) || !aligned(memory)) {
    return nullptr;
  }
  return new (memory) convert3do_converter{kConverterCheck, Conversion{}, Carry{}, false};
}

convert3do_status convert3do_convert(convert3do_converter* converter, const unsigned char** in,
                                     size_t* in_length, unsigned char** out, size_t* out_room,
                                     int at_end) {
  if (!started(converter) || in == nullptr || in_length == nullptr || out == nullptr ||
      out_room == nullptr || *out == nullptr || (*in == nullptr && *in_length > 0) ||
      !countable(*in_length)) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  if (*out_room < CONVERT3DO_MIN_OUTPUT) {
    return CONVERT3DO_TOO_LITTLE_ROOM;
  }
  if (converter->finishing && at_end == 0) {
    return CONVERT3DO_OUT_OF_TURN;
  }
  converter->finishing = at_end != 0;
  Conversion& c = converter->conversion;
  const unsigned char* next = orNothing(*in);
  std::size_t left = *in_length;
  if (converter->carry.count > 0 && !conversionEnded(c)) {
    const std::size_t walked =
        walkCarry(converter->carry, next, left, at_end != 0,
                  [&](unsigned char* bytes, std::size_t count, bool ended) {
                    return convert3do::convertInPlace(c, bytes, count, ended);
                  });
    if (walked >= converter->carry.count) {
      std::memcpy(*out, converter->carry.bytes, walked);
      *out += walked;
      *out_room -= walked;
    }
  }
  if (!conversionEnded(c) && converter->carry.count == 0) {
    // Walked from the input, so that only the bytes walked reach the output.
    const std::size_t n = std::min(left, *out_room);
    const bool all = n == left;
    const std::size_t walked = convert3do::convertCopy(c, next, n, *out, at_end != 0 && all);
    *out += walked;
    *out_room -= walked;
    next += walked;
    left -= walked;
    if (all && !conversionEnded(c)) {
      keepRest(converter->carry, next, left);
    }
  }
  if (*in != nullptr) {
    *in = next;
  }
  *in_length = left;
  return conversionEnded(c) ? CONVERT3DO_ENDED : CONVERT3DO_MORE;
}

void convert3do_converter_fail(convert3do_converter* converter) {
  if (started(converter)) {
    convert3do::failConversionRead(converter->conversion);
  }
}

convert3do_status convert3do_converter_end(const convert3do_converter* converter,
                                           unsigned char header[12], convert3do_result* result) {
  if (!started(converter) || header == nullptr || result == nullptr) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  if (!conversionEnded(converter->conversion)) {
    return CONVERT3DO_OUT_OF_TURN;
  }
  *result = convert3do::resultOf(convert3do::finishConversion(converter->conversion, header));
  return result->outcome;
}

}  // extern "C"

namespace {

void visitChunk(void* context, const convert3do::ChunkRecord& c) {
  const auto* s = static_cast<const convert3do_survey*>(context);
  if (s->visit != nullptr) {
    const convert3do_chunk chunk = convert3do::chunkOf(c);
    s->visit(s->context, &chunk);
  }
}

}  // namespace

extern "C" {

size_t convert3do_survey_size(void) {
  return sizeof(convert3do_survey);
}

convert3do_survey* convert3do_survey_init(void* memory, size_t size, convert3do_chunk_fn visit,
                                          void* context) {
  if (memory == nullptr || size < sizeof(convert3do_survey) || !aligned(memory)) {
    return nullptr;
  }
  Survey survey;
  survey.visit = visitChunk;
  survey.context = memory;  // where the survey is made, just below
  return new (memory) convert3do_survey{kSurveyCheck, survey, Carry{}, visit, context, false};
}

convert3do_status convert3do_survey_feed(convert3do_survey* survey, const unsigned char* bytes,
                                         size_t length, int at_end) {
  if (!started(survey) || (bytes == nullptr && length > 0) || !countable(length)) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  if (survey->finishing && at_end == 0) {
    return CONVERT3DO_OUT_OF_TURN;
  }
  survey->finishing = at_end != 0;
  bytes = orNothing(bytes);
  Survey& s = survey->survey;
  if (s.stopRequested && !surveyEnded(s)) {
    convert3do::stopSurvey(s);  // stopped between calls
  }
  const auto walk = [&](const unsigned char* from, std::size_t count, bool ended) {
    return convert3do::surveyBytes(s, from, count, ended);
  };
  if (survey->carry.count > 0 && !surveyEnded(s)) {
    (void)walkCarry(survey->carry, bytes, length, at_end != 0, walk);
  }
  if (!surveyEnded(s) && survey->carry.count == 0) {
    const std::size_t walked = walk(bytes, length, at_end != 0);
    bytes += walked;
    length -= walked;
    if (!surveyEnded(s)) {
      keepRest(survey->carry, bytes, length);
    }
  }
  return convert3do::surveyStatus(s);
}

int64_t convert3do_survey_skippable(const convert3do_survey* survey) {
  return !started(survey) || survey->carry.count > 0
             ? 0
             : convert3do::surveyPayloadLeft(survey->survey);
}

convert3do_status convert3do_survey_skip(convert3do_survey* survey, int64_t count) {
  if (!started(survey) || count < 0 || count > convert3do_survey_skippable(survey)) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  convert3do::skipSurvey(survey->survey, count);
  return CONVERT3DO_MORE;
}

int convert3do_survey_current(const convert3do_survey* survey, convert3do_chunk* chunk) {
  if (!started(survey) || chunk == nullptr) {
    return 0;
  }
  const convert3do::WalkState& w = survey->survey.walk;
  if (w.phase != convert3do::WalkPhase::Entries && w.phase != convert3do::WalkPhase::Payload) {
    return 0;
  }
  *chunk = convert3do::chunkOf(w.chunk);
  return 1;
}

void convert3do_survey_stop(convert3do_survey* survey) {
  if (started(survey)) {
    survey->survey.stopRequested = true;  // the walk under way ends after its chunk
  }
}

convert3do_status convert3do_survey_end(const convert3do_survey* survey, int64_t size,
                                        convert3do_info* info) {
  if (!started(survey) || info == nullptr || size < -1) {
    return CONVERT3DO_BAD_ARGUMENT;  // -1 alone says the size is not known
  }
  Survey s = survey->survey;
  if (s.stopRequested && !surveyEnded(s)) {
    convert3do::stopSurvey(s);  // stopped between calls
  }
  if (!surveyEnded(s)) {
    return CONVERT3DO_OUT_OF_TURN;
  }
  const convert3do::WalkState& w = s.walk;
  if (size >= 0 && size < std::max(w.offset, w.inputSeen)) {
    return CONVERT3DO_BAD_ARGUMENT;  // fewer bytes than it was given
  }
  *info = convert3do::infoOf(convert3do::finishSurvey(s, size));
  return info->outcome;
}

convert3do_status convert3do_survey_buffer(const unsigned char* bytes, size_t length,
                                           convert3do_chunk_fn visit, void* context,
                                           convert3do_info* info) {
  if ((bytes == nullptr && length > 0) || info == nullptr || !countable(length)) {
    return CONVERT3DO_BAD_ARGUMENT;
  }
  convert3do_survey survey{kSurveyCheck, Survey{}, Carry{}, visit, context, true};
  survey.survey.visit = visitChunk;
  survey.survey.context = &survey;
  (void)convert3do::surveyBytes(survey.survey, orNothing(bytes), length, true);
  *info = convert3do::infoOf(
      convert3do::finishSurvey(survey.survey, static_cast<std::int64_t>(length)));
  return info->outcome;
}

}  // extern "C"
