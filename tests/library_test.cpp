// The C interface's contract beyond what the split check covers: refusals of
// bad calls, reuse, in-place and overlapping buffers, skipping in a survey.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
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

TEST(Library, RefusesBadCalls) {
  alignas(8) unsigned char memory[4096];
  EXPECT_EQ(convert3do_converter_init(memory, convert3do_converter_size() - 1), nullptr);
  EXPECT_EQ(convert3do_converter_init(memory + 1, sizeof memory - 1), nullptr);  // misaligned
  EXPECT_EQ(convert3do_converter_init(nullptr, sizeof memory), nullptr);
  convert3do_converter* c = convert3do_converter_init(memory, sizeof memory);
  ASSERT_NE(c, nullptr);
  unsigned char room[CONVERT3DO_MIN_OUTPUT];
  unsigned char header[12];
  convert3do_result result{};
  // Ending before the walk has ended is out of turn.
  EXPECT_EQ(convert3do_converter_end(c, header, &result), CONVERT3DO_BAD_ARGUMENT);
  const unsigned char* in = kModel.data();
  std::size_t length = kModel.size();
  unsigned char* out = room;
  std::size_t free = sizeof room - 1;
  EXPECT_EQ(convert3do_convert(c, &in, &length, &out, &free, 1), CONVERT3DO_BAD_ARGUMENT);
  EXPECT_EQ(in, kModel.data());  // nothing taken
  EXPECT_EQ(convert3do_convert(c, nullptr, &length, &out, &free, 1), CONVERT3DO_BAD_ARGUMENT);
  Bytes buffer(kModel);
  // Overlapping buffers, other than in place, and too little room.
  EXPECT_EQ(convert3do_convert_buffer(buffer.data() + 4, 40, buffer.data(), 40, &result),
            CONVERT3DO_BAD_ARGUMENT);
  EXPECT_EQ(convert3do_convert_buffer(kModel.data(), kModel.size(), buffer.data(), 10, &result),
            CONVERT3DO_BAD_ARGUMENT);
  convert3do_info info{};
  EXPECT_EQ(convert3do_survey_buffer(nullptr, 5, nullptr, nullptr, &info), CONVERT3DO_BAD_ARGUMENT);
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

TEST(Library, DescribesEveryStatusInItsOwnWords) {
  std::set<std::string> seen;
  for (int status = CONVERT3DO_CONVERTED; status <= CONVERT3DO_BAD_ARGUMENT; ++status) {
    seen.insert(convert3do_describe(static_cast<convert3do_status>(status)));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(CONVERT3DO_BAD_ARGUMENT) + 1);
  EXPECT_STREQ(convert3do_version(), CONVERT3DO_VERSION_STRING);
}

}  // namespace
}  // namespace convert3do
