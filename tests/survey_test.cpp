#include "convert/survey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/common/file_convert.h"
#include "convert/c_types.h"
#include "test_files.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace convert3do {
namespace {

using testing::Bytes;
using testing::concat;
using testing::kHand;
using testing::kJunk;
using testing::kPrim;
using testing::kXyzs;
using testing::wordsToBytes;

struct WalkCase {
  const char* name;
  Bytes input;
  WalkEnd end;
  std::int64_t chunks;
  std::int64_t where;  // overrun, end offset or damage offset, by the kind of end
  std::int64_t outputSize;
  std::int64_t wordsChanged;
  bool alreadyConverted;
};

// Each way a walk can end, with what it reports and predicts.
TEST(SurveyFile, ReportsEachWayAWalkEnds) {
  const Bytes hand = wordsToBytes({kHand, 1, 4, 9});
  const Bytes xyzs = wordsToBytes({kXyzs, 2, 32, 1, 0, 0, 0, 5, 0, 0, 0});  // one entry to change
  const WalkCase cases[] = {
      {"bound, already converted", concat({wordsToBytes({kMagic, 0, 16}), hand}), WalkEnd::Bound, 1,
       0, 28, 0, true},
      {"bound, last chunk past it", concat({wordsToBytes({kMagic, 0, 20}), hand, xyzs}),
       WalkEnd::Bound, 2, 40, 72, 2, false},
      {"bound, bytes beyond it", concat({wordsToBytes({kMagic, 0, 16}), hand, Bytes(8, 7)}),
       WalkEnd::Bound, 1, 0, 28, 0, false},
      {"negative length field", concat({wordsToBytes({kMagic, 0, -4}), hand}), WalkEnd::Bound, 0, 0,
       12, 1, false},
      {"unrecognised tag", concat({wordsToBytes({kMagic, 0, 100}), hand, wordsToBytes({kJunk, 1})}),
       WalkEnd::UnrecognisedTag, 1, 28, 28, 1, false},
      {"end of input at a chunk boundary", concat({wordsToBytes({kMagic, 0, 100}), xyzs}),
       WalkEnd::EndOfInput, 1, 0, 56, 2, false},
      {"cut inside the header", wordsToBytes({kMagic, 0}), WalkEnd::Damaged, 0, 8, 0, 0, false},
      {"cut inside a payload",
       concat({wordsToBytes({kMagic, 0, 100}), hand, wordsToBytes({kPrim, 1, 40, 5})}),
       WalkEnd::Damaged, 1, 44, 28, 1, false},
      {"cut inside an entry",
       concat({wordsToBytes({kMagic, 0, 100}), wordsToBytes({kXyzs, 1, 16, 3})}), WalkEnd::Damaged,
       0, 28, 12, 1, false},
      {"chunk too large",
       concat({wordsToBytes({kMagic, 0, 100}), hand, wordsToBytes({kPrim, 1, INT32_MAX})}),
       WalkEnd::Damaged, 1, 28, 28, 1, false},
      {"not a 3do file", wordsToBytes({kHand, 0, 0}), WalkEnd::NotA3do, 0, 0, 0, 0, false},
      {"empty", {}, WalkEnd::NotA3do, 0, 0, 0, 0, false},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::PassRun run = testing::runPass(c.input);
    const SurveyInfo& s = run.predicted;
    EXPECT_EQ(s.end, c.end);
    EXPECT_EQ(s.chunkCount, c.chunks);
    const std::int64_t where = c.end == WalkEnd::Bound             ? s.overrun
                               : c.end == WalkEnd::UnrecognisedTag ? s.endOffset
                               : c.end == WalkEnd::Damaged         ? s.damage.at
                                                                   : 0;
    EXPECT_EQ(where, c.where);
    EXPECT_EQ(s.outputSize, c.outputSize);
    EXPECT_EQ(s.wordsChanged, c.wordsChanged);
    EXPECT_EQ(s.alreadyConverted, c.alreadyConverted);
    EXPECT_EQ(testing::predictionError(c.input, run), nullptr);
  }
}

#ifndef _WIN32
// Through a pipe, which cannot seek, the walk reads what it would skip and
// still reports the same.
TEST(SurveyFile, ReadsAPipeAsItSeeksAFile) {
  const Bytes input = concat({wordsToBytes({kMagic, 0, 10000}), wordsToBytes({kPrim, 1, 3000}),
                              Bytes(3000, 1), wordsToBytes({kXyzs, 2, 16, 4, 0, 0, 0}),
                              wordsToBytes({kJunk, 0, 0}), Bytes(5000, 2)});
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(ends[1]);
  std::int64_t offsets = 0;
  const SurveyInfo piped = surveyFile(
      ends[0], [&](const ChunkRecord& c) { offsets += c.offset; }, true);
  close(ends[0]);
  const SurveyInfo& seeked = testing::runPass(input).predicted;
  EXPECT_EQ(offsets, 12 + 3024);
  EXPECT_EQ(piped.end, WalkEnd::UnrecognisedTag);
  EXPECT_EQ(piped.endOffset, seeked.endOffset);
  // Read to its end, a stream's size is known, as a file's is.
  EXPECT_EQ(piped.size, static_cast<std::int64_t>(input.size()));
  EXPECT_EQ(piped.outputSize, seeked.outputSize);
  EXPECT_EQ(piped.wordsChanged, seeked.wordsChanged);
  EXPECT_EQ(piped.alreadyConverted, seeked.alreadyConverted);
}

// Read only as far as the walk, a stream's size is not known: nor then are
// the bytes dropped, and it is never said to be converted already.
TEST(SurveyFile, DoesNotGuessTheSizeOfAStreamNotReadToItsEnd) {
  const Bytes input =
      concat({wordsToBytes({kMagic, 0, 16}), wordsToBytes({kHand, 1, 4, 9}), Bytes(100, 7)});
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(ends[1]);
  const SurveyInfo piped = surveyFile(
      ends[0], [](const ChunkRecord&) {}, false);
  close(ends[0]);
  EXPECT_EQ(piped.end, WalkEnd::Bound);
  EXPECT_EQ(piped.size, -1);
  EXPECT_FALSE(piped.alreadyConverted);
  const convert3do_info info = infoOf(piped);
  EXPECT_EQ(info.bytes_dropped, -1);
  char json[1024];
  ASSERT_LT(convert3do_info_json(&info, nullptr, 0, json, sizeof json), sizeof json);
  EXPECT_NE(std::strstr(json, "\"size\":null"), nullptr) << json;
  EXPECT_NE(std::strstr(json, "\"bytes_dropped\":null"), nullptr) << json;
}
#endif

}  // namespace
}  // namespace convert3do
