// The C interface's contract beyond what the split check covers: refusals of
// bad calls, reuse, in-place and overlapping buffers, skipping in a survey.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "convert/convert3do.h"
#include "test_files.h"

namespace convert3do {
namespace {

using testing::Bytes;

const Bytes kModel =
    testing::concat({testing::wordsToBytes({kMagic, 7, 100, testing::kPlan, 0, 24}),
                     Bytes(24, 0xAB), testing::wordsToBytes({testing::kXyzs, 0, 16, 9, 8, 7, 6})});
const Bytes kConverted =
    testing::concat({testing::wordsToBytes({kMagic, 7, 64, testing::kPlan, 0, 24}), Bytes(24, 0xAB),
                     testing::wordsToBytes({testing::kXyzs, 0, 16, 1, 8, 7, 6})});

// Each bad call gets its own status, and changes nothing: a null pointer, too
// little room, a call out of turn.
TEST(Library, RefusesBadCalls) {
  alignas(8) unsigned char memory[4096];
  EXPECT_EQ(convert3do_converter_init(memory, convert3do_converter_size() - 1), nullptr);
  EXPECT_EQ(convert3do_converter_init(memory + 1, sizeof memory - 1), nullptr);  // misaligned
  EXPECT_EQ(convert3do_converter_init(nullptr, sizeof memory), nullptr);
  convert3do_converter* c = convert3do_converter_init(memory, sizeof memory);
  ASSERT_NE(c, nullptr);
  alignas(8) unsigned char surveyMemory[4096];
  convert3do_survey* s =
      convert3do_survey_init(surveyMemory, sizeof surveyMemory, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  unsigned char room[CONVERT3DO_MIN_OUTPUT];
  unsigned char header[12];
  convert3do_result result{};
  convert3do_info info{};
  Bytes buffer(kModel);
  // Calls with 4 bytes of input, or all of kModel (more than the room takes).
  const auto convert = [&](std::size_t free, int atEnd, const unsigned char* from) {
    const unsigned char* in = from;
    std::size_t length = from == kModel.data() ? kModel.size() : 4;
    unsigned char* out = room;
    return convert3do_convert(c, &in, &length, &out, &free, atEnd);
  };
  struct Case {
    const char* call;
    convert3do_status got;
    convert3do_status want;
  };
  // In this order: each call sees the state the ones before it left.
  const Case cases[] = {
      {"an end before the walk has ended", convert3do_converter_end(c, header, &result),
       CONVERT3DO_OUT_OF_TURN},
      {"less room than the least", convert(sizeof room - 1, 1, kModel.data()),
       CONVERT3DO_TOO_LITTLE_ROOM},
      {"no input", convert(sizeof room, 1, nullptr), CONVERT3DO_BAD_ARGUMENT},
      {"all the input, said to be all, more than the room takes",
       convert(sizeof room, 1, kModel.data()), CONVERT3DO_MORE},
      {"then more, said not to be the last", convert(sizeof room, 0, kModel.data() + 8),
       CONVERT3DO_OUT_OF_TURN},
      {"buffers that overlap, not in place",
       convert3do_convert_buffer(buffer.data() + 4, 40, buffer.data(), 40, &result),
       CONVERT3DO_BAD_ARGUMENT},
      {"too little room for a whole buffer",
       convert3do_convert_buffer(kModel.data(), kModel.size(), buffer.data(), 10, &result),
       CONVERT3DO_TOO_LITTLE_ROOM},
      {"a survey of nothing", convert3do_survey_buffer(nullptr, 5, nullptr, nullptr, &info),
       CONVERT3DO_BAD_ARGUMENT},
      {"a skip in no survey", convert3do_survey_skip(nullptr, 0), CONVERT3DO_BAD_ARGUMENT},
      {"a survey's end before its walk's", convert3do_survey_end(s, -1, &info),
       CONVERT3DO_OUT_OF_TURN},
      {"a survey's last piece", convert3do_survey_feed(s, kModel.data(), 20, 1), CONVERT3DO_ENDED},
      {"then more, said not to be", convert3do_survey_feed(s, kModel.data(), 4, 0),
       CONVERT3DO_OUT_OF_TURN},
      {"a size less than the bytes given", convert3do_survey_end(s, 19, &info),
       CONVERT3DO_BAD_ARGUMENT},
      {"a size below -1, the one unknown size", convert3do_survey_end(s, -7, &info),
       CONVERT3DO_BAD_ARGUMENT},
      {"a length no offset can count",
       convert3do_convert_buffer(kModel.data(), SIZE_MAX, buffer.data(), SIZE_MAX, &result),
       CONVERT3DO_BAD_ARGUMENT},
      {"a length just past INT64_MAX",
       convert3do_convert_buffer(kModel.data(), std::size_t{INT64_MAX} + 1, buffer.data(), SIZE_MAX,
                                 &result),
       CONVERT3DO_BAD_ARGUMENT},
      {"a survey of a length no offset can count",
       convert3do_survey_buffer(kModel.data(), SIZE_MAX, nullptr, nullptr, &info),
       CONVERT3DO_BAD_ARGUMENT},
  };
  for (const Case& call : cases) {
    EXPECT_EQ(call.got, call.want) << call.call;
  }
  // Every status is described, and any other value too.
  std::set<std::string> seen;
  for (int status = CONVERT3DO_CONVERTED; status <= CONVERT3DO_STOPPED; ++status) {
    seen.insert(convert3do_describe(status));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(CONVERT3DO_STOPPED) + 1);
  EXPECT_STREQ(convert3do_describe(99), "unknown status");
  EXPECT_STREQ(convert3do_describe(-1), "unknown status");
}

// A handle that was never started, or was overwritten or freed, is refused
// by every call that takes one, as zlib's state check refuses a stream: it
// is never walked on, whatever its memory holds.
TEST(Library, RefusesHandlesNeverStarted) {
  const unsigned char fills[] = {0x00, 0xff, 0x5a};
  for (const unsigned char fill : fills) {
    alignas(8) unsigned char memory[4096];
    std::memset(memory, fill, sizeof memory);
    auto* c = reinterpret_cast<convert3do_converter*>(memory);
    auto* s = reinterpret_cast<convert3do_survey*>(memory);
    const unsigned char* in = kModel.data();
    std::size_t length = kModel.size();
    unsigned char room[64];
    unsigned char* out = room;
    std::size_t free = sizeof room;
    unsigned char header[12];
    convert3do_result result{};
    convert3do_info info{};
    convert3do_chunk chunk{};
    EXPECT_EQ(convert3do_convert(c, &in, &length, &out, &free, 1), CONVERT3DO_BAD_ARGUMENT)
        << +fill;
    EXPECT_EQ(in, kModel.data());
    EXPECT_EQ(convert3do_converter_end(c, header, &result), CONVERT3DO_BAD_ARGUMENT) << +fill;
    EXPECT_EQ(convert3do_survey_feed(s, kModel.data(), kModel.size(), 1), CONVERT3DO_BAD_ARGUMENT);
    EXPECT_EQ(convert3do_survey_end(s, -1, &info), CONVERT3DO_BAD_ARGUMENT) << +fill;
    EXPECT_EQ(convert3do_survey_skip(s, 0), CONVERT3DO_BAD_ARGUMENT) << +fill;
    EXPECT_EQ(convert3do_survey_skippable(s), 0) << +fill;
    EXPECT_EQ(convert3do_survey_current(s, &chunk), 0) << +fill;
    convert3do_converter_fail(c);  // a no-op
    convert3do_survey_stop(s);     // a no-op
  }
  // A converter started, then overwritten: refused too.
  alignas(8) unsigned char memory[4096];
  convert3do_converter* c = convert3do_converter_init(memory, sizeof memory);
  ASSERT_NE(c, nullptr);
  std::memset(memory, 0, 8);
  unsigned char header[12];
  convert3do_result result{};
  EXPECT_EQ(convert3do_converter_end(c, header, &result), CONVERT3DO_BAD_ARGUMENT);
}

// Every status's row: its name, its exit status and what kind it is. A row
// missing from the library's table, or one that says another thing, fails
// here, whatever else uses it (both programs' exit statuses, the Python
// package's and the page's names).
TEST(Library, StatusTable) {
  struct Row {
    int status;
    const char* name;
    int exitStatus;
    int outcome;
    int damage;
  };
  const Row rows[] = {
      {CONVERT3DO_CONVERTED, "converted", 0, 1, 0},
      {CONVERT3DO_NOT_3DO, "not_3do", 0, 1, 0},
      {CONVERT3DO_CUT_HEADER, "cut_header", 4, 1, 1},
      {CONVERT3DO_CUT_CHUNK, "cut_chunk", 4, 1, 1},
      {CONVERT3DO_CHUNK_TOO_LARGE, "chunk_too_large", 4, 1, 1},
      {CONVERT3DO_READ_FAILED, "read_failed", 4, 1, 1},
      {CONVERT3DO_MORE, "more", 2, 0, 0},
      {CONVERT3DO_ENDED, "ended", 2, 0, 0},
      {CONVERT3DO_BAD_ARGUMENT, "bad_argument", 2, 0, 0},
      {CONVERT3DO_TOO_LITTLE_ROOM, "too_little_room", 2, 0, 0},
      {CONVERT3DO_OUT_OF_TURN, "out_of_turn", 2, 0, 0},
      {CONVERT3DO_STOPPED, "stopped", 2, 0, 0},
      {12, nullptr, 2, 0, 0},
      {-1, nullptr, 2, 0, 0},
  };
  for (const Row& row : rows) {
    const char* name = convert3do_status_name(row.status);
    EXPECT_STREQ(name != nullptr ? name : "(none)", row.name != nullptr ? row.name : "(none)")
        << row.status;
    EXPECT_EQ(convert3do_exit_status(static_cast<convert3do_status>(row.status)), row.exitStatus)
        << row.status;
    EXPECT_EQ(convert3do_is_outcome(row.status), row.outcome) << row.status;
    EXPECT_EQ(convert3do_is_damage(static_cast<convert3do_status>(row.status)), row.damage)
        << row.status;
    EXPECT_EQ(std::string(convert3do_describe(row.status)) == "unknown status", row.name == nullptr)
        << row.status;
  }
}

// Nothing is written but what a call reports, and the cost follows the
// output: a large input whose walk ends at byte 40.
TEST(Library, WritesOnlyWhatItReports) {
  Bytes input =
      testing::concat({testing::wordsToBytes({kMagic, 0, 28, testing::kXyzs, 0, 16, 5, 6, 7, 8}),
                       Bytes(1 << 20, 0x11)});
  Bytes out(input.size(), 0xEE);
  convert3do_result result{};
  ASSERT_EQ(convert3do_convert_buffer(input.data(), input.size(), out.data(), out.size(), &result),
            CONVERT3DO_CONVERTED);
  ASSERT_EQ(result.output_length, 40);
  EXPECT_EQ(std::count(out.begin() + 40, out.end(), 0xEE), static_cast<long>(out.size() - 40));
  convert3do_converter* c = convert3do_converter_new();
  const unsigned char* in = input.data();
  std::size_t length = input.size();
  std::fill(out.begin(), out.end(), 0xEE);
  unsigned char* at = out.data();
  std::size_t free = out.size();
  ASSERT_EQ(convert3do_convert(c, &in, &length, &at, &free, 1), CONVERT3DO_ENDED);
  EXPECT_EQ(at - out.data(), 40);
  EXPECT_EQ(std::count(out.begin() + 40, out.end(), 0xEE), static_cast<long>(out.size() - 40));
  convert3do_converter_free(c);
}

// A chunk function may stop the survey; the survey says what it found so far.
TEST(Library, AChunkFunctionStopsTheSurvey) {
  struct Stopper {
    convert3do_survey* survey = nullptr;
    int seen = 0;
  } stopper;
  stopper.survey = convert3do_survey_new(
      [](void* context, const convert3do_chunk*) {
        auto* self = static_cast<Stopper*>(context);
        ++self->seen;
        convert3do_survey_stop(self->survey);
      },
      &stopper);
  ASSERT_EQ(convert3do_survey_feed(stopper.survey, kModel.data(), kModel.size(), 1),
            CONVERT3DO_STOPPED);
  EXPECT_EQ(stopper.seen, 1);
  convert3do_info info{};
  EXPECT_EQ(convert3do_survey_end(stopper.survey, -1, &info), CONVERT3DO_STOPPED);
  EXPECT_EQ(info.walk_end, CONVERT3DO_END_STOPPED);
  EXPECT_EQ(info.chunk_count, 1);
  convert3do_survey_free(stopper.survey);
}

// A survey says which chunk its walk is in, between the chunks it hands out.
TEST(Library, ASurveySaysWhichChunkItIsIn) {
  convert3do_survey* s = convert3do_survey_new(nullptr, nullptr);
  convert3do_chunk chunk{};
  EXPECT_EQ(convert3do_survey_current(s, &chunk), 0);  // not in a chunk yet
  ASSERT_EQ(convert3do_survey_feed(s, kModel.data(), 30, 0), CONVERT3DO_MORE);  // into PLAN
  ASSERT_EQ(convert3do_survey_current(s, &chunk), 1);
  EXPECT_EQ(chunk.offset, 12);
  EXPECT_EQ(chunk.size, 36);
  ASSERT_EQ(convert3do_survey_feed(s, kModel.data() + 30, 34, 0), CONVERT3DO_MORE);  // into XYZS
  ASSERT_EQ(convert3do_survey_current(s, &chunk), 1);
  EXPECT_EQ(chunk.offset, 48);
  EXPECT_EQ(chunk.tag, 0x58595A53u);
  convert3do_survey_free(s);
}

// A caller built with another layout of the structures it passes is told so.
TEST(Library, TellsACallerOfAnotherLayout) {
  EXPECT_EQ(CONVERT3DO_ABI_MATCHES(), 1);
  EXPECT_EQ(convert3do_abi_matches(CONVERT3DO_VERSION_NUMBER, sizeof(convert3do_result) - 8,
                                   sizeof(convert3do_info), sizeof(convert3do_chunk)),
            0);
  EXPECT_EQ(convert3do_abi_matches(20000, sizeof(convert3do_result), sizeof(convert3do_info),
                                   sizeof(convert3do_chunk)),
            0);
  EXPECT_EQ(convert3do_version_number(), static_cast<unsigned long>(CONVERT3DO_VERSION_NUMBER));
  EXPECT_EQ(convert3do_min_output(), static_cast<std::size_t>(CONVERT3DO_MIN_OUTPUT));
}

TEST(Library, ConvertsInPlaceAndIntoAnotherBuffer) {
  Bytes same(kModel);
  convert3do_result result{};
  ASSERT_EQ(convert3do_convert_buffer(same.data(), same.size(), same.data(), same.size(), &result),
            CONVERT3DO_CONVERTED);
  same.resize(static_cast<std::size_t>(result.output_length));
  EXPECT_EQ(same, kConverted);
  Bytes other(kModel.size() + 8, 0xEE);
  ASSERT_EQ(
      convert3do_convert_buffer(kModel.data(), kModel.size(), other.data(), other.size(), &result),
      CONVERT3DO_CONVERTED);
  other.resize(static_cast<std::size_t>(result.output_length));
  EXPECT_EQ(other, kConverted);
  EXPECT_EQ(result.chunk_bytes, 64);
}

// A converter started over converts the next file as a new one would.
TEST(Library, AConverterStartedOverConvertsTheNextFile) {
  convert3do_converter* c = convert3do_converter_new();
  ASSERT_NE(c, nullptr);
  for (const Bytes& input : {Bytes{'n', 'o', 'p', 'e', '!'}, kModel}) {
    ASSERT_EQ(convert3do_converter_init(c, convert3do_converter_size()), c);
    const unsigned char* in = input.data();
    std::size_t length = input.size();
    unsigned char room[256];
    unsigned char* out = room;
    std::size_t free = sizeof room;
    ASSERT_EQ(convert3do_convert(c, &in, &length, &out, &free, 1), CONVERT3DO_ENDED);
    unsigned char header[12];
    convert3do_result result{};
    const convert3do_status status = convert3do_converter_end(c, header, &result);
    if (input == kModel) {
      EXPECT_EQ(status, CONVERT3DO_CONVERTED);
      std::memcpy(room, header, sizeof header);
      EXPECT_EQ(Bytes(room, room + result.output_length), kConverted);
    } else {
      EXPECT_EQ(status, CONVERT3DO_NOT_3DO);
      EXPECT_EQ(out, room);
    }
  }
  convert3do_converter_free(c);
}

// A caller that seeks over opaque payloads gets the survey of one that reads them.
TEST(Library, ASurveyThatSkipsPayloadsAgreesWithOneThatReadsThem) {
  convert3do_survey* s = convert3do_survey_new(nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  std::size_t pos = 0;
  int skipped = 0;
  while (convert3do_survey_feed(s, kModel.data() + pos, 1, pos + 1 == kModel.size()) ==
         CONVERT3DO_MORE) {
    ++pos;
    const std::int64_t skippable = convert3do_survey_skippable(s);
    if (skippable > 0) {
      ASSERT_EQ(convert3do_survey_skip(s, skippable + 1), CONVERT3DO_BAD_ARGUMENT);
      ASSERT_EQ(convert3do_survey_skip(s, skippable), CONVERT3DO_MORE);
      pos += static_cast<std::size_t>(skippable);
      ++skipped;
    }
  }
  EXPECT_EQ(skipped, 1);  // the PLAN payload
  convert3do_info fed{};
  convert3do_info whole{};
  ASSERT_EQ(convert3do_survey_end(s, static_cast<std::int64_t>(kModel.size()), &fed),
            CONVERT3DO_CONVERTED);
  ASSERT_EQ(convert3do_survey_buffer(kModel.data(), kModel.size(), nullptr, nullptr, &whole),
            CONVERT3DO_CONVERTED);
  EXPECT_EQ(fed.size, whole.size);
  EXPECT_EQ(fed.chunk_count, 2);
  EXPECT_EQ(fed.words_changed, whole.words_changed);
  EXPECT_EQ(fed.bytes_dropped, 0);
  // Without the size, what follows the walk's end is not known: no guess.
  convert3do_info unknown{};
  ASSERT_EQ(convert3do_survey_end(s, -1, &unknown), CONVERT3DO_CONVERTED);
  EXPECT_EQ(unknown.size, -1);
  EXPECT_EQ(unknown.bytes_dropped, -1);
  EXPECT_EQ(unknown.already_converted, 0);
  convert3do_survey_free(s);
}

// Where and why the walk ended, in the words 3do info, its JSON, the page and
// the Python package all show.
TEST(Library, SaysWhereTheWalkEnded) {
  using testing::wordsToBytes;
  const Word32 lght = fourCC('L', 'G', 'H', 'T');
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {wordsToBytes({kMagic, 1, 16, testing::kHand, 0, 4, 9}), "the length bound (16)"},
      {wordsToBytes({kMagic, 1, 13, testing::kHand, 0, 4, 9}),
       "the length bound (13), which the last chunk runs 3 bytes past"},
      {wordsToBytes({kMagic, 1, 40, testing::kHand, 0, 4, 9, lght, 0, 4, 1}),
       "an unrecognised tag, LGHT, at byte 28"},
      {wordsToBytes({kMagic, 1, 400, testing::kHand, 0, 4, 9}),
       "the end of the input, at a chunk boundary (byte 28), before the bound"},
      {wordsToBytes({kMagic, 1, 400, testing::kHand, 0, 40, 9}),
       "damage: cut at byte 28, inside the chunk at byte 12"},
      {wordsToBytes({kMagic, 1}), "damage: cut at byte 8, inside the 12-byte header"},
      {wordsToBytes({7, 1, 4}), "not a 3do file (it does not start with the magic 3DO4)"},
  };
  for (const auto& [model, expected] : cases) {
    convert3do_info info{};
    (void)convert3do_survey_buffer(model.data(), model.size(), nullptr, nullptr, &info);
    char text[256];
    EXPECT_EQ(convert3do_walk_end_text(&info, text, sizeof text), expected.size());
    EXPECT_EQ(std::string(text), expected);
    char json[1024];
    (void)convert3do_info_json(&info, nullptr, 0, json, sizeof json);
    EXPECT_NE(std::string(json).find("\"walk_end_text\":\"" + expected + "\""), std::string::npos)
        << json;
  }
}

TEST(Library, SaysItsVersion) {
  EXPECT_STREQ(convert3do_version(), CONVERT3DO_VERSION_STRING);
}

}  // namespace
}  // namespace convert3do
