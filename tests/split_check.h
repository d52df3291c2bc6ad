// Whether the library's answers depend on how the input is split: converts
// and surveys an input through the C interface in pieces, and compares with
// the one-shot calls on the whole buffer.
#ifndef CONVERT3DO_TESTS_SPLIT_CHECK_H
#define CONVERT3DO_TESTS_SPLIT_CHECK_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "convert/convert3do.h"

namespace convert3do::testing {

// Gives the size of the next piece, at least 1.
using PieceSizes = std::function<std::size_t()>;

// What output room holds before a call: a byte no call may change but those
// it reports.
constexpr unsigned char kUntouched = 0xA5;

struct SplitRun {
  convert3do_status outcome = CONVERT3DO_BAD_ARGUMENT;
  convert3do_result result{};
  bool wroteBeyond = false;           // a call wrote past what it reported
  std::vector<unsigned char> output;  // header placed, cut to the output's length
  convert3do_info info{};
  std::vector<convert3do_chunk> chunks;
};

inline void keepChunk(void* context, const convert3do_chunk* chunk) {
  static_cast<std::vector<convert3do_chunk>*>(context)->push_back(*chunk);
}

// Converts and surveys input, fed in pieces; the output goes out through room
// of outputRoom bytes a call.
inline SplitRun runInPieces(const std::vector<unsigned char>& input, const PieceSizes& pieces,
                            std::size_t outputRoom) {
  SplitRun run;
  std::vector<std::int64_t> converterMemory(convert3do_converter_size() / 8 + 1);
  std::vector<std::int64_t> surveyMemory(convert3do_survey_size() / 8 + 1);
  convert3do_converter* converter =
      convert3do_converter_init(converterMemory.data(), converterMemory.size() * 8);
  convert3do_survey* survey =
      convert3do_survey_init(surveyMemory.data(), surveyMemory.size() * 8, keepChunk, &run.chunks);
  std::vector<unsigned char> room(outputRoom);
  convert3do_status converting = CONVERT3DO_MORE;
  convert3do_status surveying = CONVERT3DO_MORE;
  std::size_t pos = 0;
  while (converting == CONVERT3DO_MORE || surveying == CONVERT3DO_MORE) {
    const std::size_t n = std::min(pieces(), input.size() - pos);
    const bool atEnd = pos + n == input.size();
    const unsigned char* next = input.data() + pos;
    std::size_t left = n;
    while (converting == CONVERT3DO_MORE && (left > 0 || atEnd)) {
      std::fill(room.begin(), room.end(), kUntouched);
      unsigned char* out = room.data();
      std::size_t free = room.size();
      converting = convert3do_convert(converter, &next, &left, &out, &free, atEnd ? 1 : 0);
      run.output.insert(run.output.end(), room.data(), out);
      run.wroteBeyond =
          run.wroteBeyond || std::any_of(out, room.data() + room.size(),
                                         [](unsigned char c) { return c != kUntouched; });
    }
    if (surveying == CONVERT3DO_MORE) {
      surveying = convert3do_survey_feed(survey, input.data() + pos, n, atEnd ? 1 : 0);
    }
    pos += n;
    if (atEnd) {
      break;
    }
  }
  unsigned char header[12];
  convert3do_result& result = run.result;
  run.outcome = convert3do_converter_end(converter, header, &result);
  if (result.output_length > 0 && run.output.size() >= 12) {
    std::memcpy(run.output.data(), header, sizeof header);
    run.output.resize(
        std::min<std::size_t>(run.output.size(), static_cast<std::size_t>(result.output_length)));
  }
  if (convert3do_survey_end(survey, static_cast<std::int64_t>(input.size()), &run.info) !=
      run.outcome) {
    run.outcome = CONVERT3DO_BAD_ARGUMENT;
  }
  return run;
}

inline bool sameInfo(const convert3do_info& a, const convert3do_info& b) {
  return a.size == b.size && a.is_3do == b.is_3do && a.header_complete == b.header_complete &&
         a.header_word == b.header_word && a.length_field == b.length_field &&
         a.chunk_count == b.chunk_count && a.chunk_bytes == b.chunk_bytes &&
         a.walk_end == b.walk_end && a.overrun == b.overrun && a.end_offset == b.end_offset &&
         a.end_tag == b.end_tag && a.damage_offset == b.damage_offset &&
         a.damage_chunk == b.damage_chunk && a.damage_payload_length == b.damage_payload_length &&
         a.damage_area_end == b.damage_area_end && a.outcome == b.outcome &&
         a.output_size == b.output_size && a.words_changed == b.words_changed &&
         a.bytes_dropped == b.bytes_dropped && a.already_converted == b.already_converted;
}

inline bool sameResult(const convert3do_result& a, const convert3do_result& b) {
  return a.outcome == b.outcome && a.output_length == b.output_length &&
         a.chunk_bytes == b.chunk_bytes && a.input_end == b.input_end &&
         a.damage_offset == b.damage_offset && a.damage_chunk == b.damage_chunk &&
         a.damage_payload_length == b.damage_payload_length &&
         a.damage_area_end == b.damage_area_end;
}

inline bool sameChunks(const std::vector<convert3do_chunk>& a,
                       const std::vector<convert3do_chunk>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const convert3do_chunk& x, const convert3do_chunk& y) {
                      return x.offset == y.offset && x.tag == y.tag &&
                             x.chunk_word == y.chunk_word && x.payload_length == y.payload_length &&
                             x.size == y.size && x.entries == y.entries &&
                             x.entries_to_change == y.entries_to_change;
                    });
}

// What differs between the whole-buffer calls, the expected output and a run
// in pieces, or nullptr.
inline const char* splitError(const std::vector<unsigned char>& input,
                              const std::vector<unsigned char>& expected, const PieceSizes& pieces,
                              std::size_t outputRoom) {
  std::vector<unsigned char> whole(input);
  convert3do_result result{};
  const convert3do_status outcome =
      convert3do_convert_buffer(whole.data(), whole.size(), whole.data(), whole.size(), &result);
  whole.resize(static_cast<std::size_t>(result.output_length));
  if (whole != expected) {
    return "output of the whole buffer";
  }
  // Into another buffer: the same, and nothing of it past the output.
  std::vector<unsigned char> other(input.size() + 16, kUntouched);
  convert3do_result otherResult{};
  if (convert3do_convert_buffer(input.data(), input.size(), other.data(), other.size(),
                                &otherResult) != outcome ||
      !sameResult(otherResult, result)) {
    return "result of the whole buffer into another";
  }
  const auto outputEnd = other.begin() + result.output_length;
  if (!std::equal(whole.begin(), whole.end(), other.begin(), outputEnd) ||
      !std::all_of(outputEnd, other.end(), [](unsigned char c) { return c == kUntouched; })) {
    return "output of the whole buffer into another, or bytes written past it";
  }
  convert3do_info info{};
  std::vector<convert3do_chunk> chunks;
  if (convert3do_survey_buffer(input.data(), input.size(), keepChunk, &chunks, &info) != outcome) {
    return "outcome of the survey of the whole buffer";
  }
  const SplitRun run = runInPieces(input, pieces, outputRoom);
  if (run.outcome != outcome) {
    return "outcome";
  }
  if (run.output != whole) {
    return "output";
  }
  if (run.wroteBeyond) {
    return "output room, written past what a call reported";
  }
  if (!sameResult(run.result, result)) {
    return "result";
  }
  if (!sameInfo(run.info, info)) {
    return "survey";
  }
  if (!sameChunks(run.chunks, chunks)) {
    return "chunks surveyed";
  }
  return nullptr;
}

}  // namespace convert3do::testing

#endif  // CONVERT3DO_TESTS_SPLIT_CHECK_H
