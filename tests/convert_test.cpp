#include "convert/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>

#include "convert/survey.h"
#include "random_files.h"
#include "reference_model.h"
#include "split_check.h"
#include "test_files.h"

namespace convert3do {
namespace {

using testing::Bytes;
using testing::concat;
using testing::kHand;
using testing::kJunk;
using testing::kNorm;
using testing::kPlan;
using testing::kPrim;
using testing::kStrn;
using testing::kXyzs;
using testing::runPass;
using testing::wordsToBytes;

Bytes header(Word32 bodyLength, Word32 headerWord = 99) {
  return wordsToBytes({kMagic, headerWord, bodyLength});
}

struct ConvertCase {
  const char* name;
  Bytes input;
  Bytes expected;
};

// Each case: an input and the exact output bytes the pass must write.
TEST(ConvertFile, WritesTheExpectedBytes) {
  const ConvertCase cases[] = {
      {"worked example",
       concat({header(60), wordsToBytes({kHand, 1, 4, 9}), wordsToBytes({kXyzs, 2, 16, 8, 1, 2, 3}),
               wordsToBytes({kJunk, 3, 4, 5})}),
       concat(
           {header(44), wordsToBytes({kHand, 1, 4, 9}), wordsToBytes({kXyzs, 2, 16, 1, 1, 2, 3})})},
      {"empty chunk area", header(0), header(0)},
      {"zero length ignores the chunks after it",
       concat({header(0), wordsToBytes({kHand, 1, 4, 9})}), header(0)},
      {"negative length reads no chunk", concat({header(-5), wordsToBytes({kHand, 1, 4, 9})}),
       header(0)},
      {"non-positive payload lengths have no payload",
       concat({header(36), wordsToBytes({kPrim, 5, 0}), wordsToBytes({kXyzs, 6, -16}),
               wordsToBytes({kHand, 7, INT32_MIN})}),
       concat({header(36), wordsToBytes({kPrim, 5, 0}), wordsToBytes({kXyzs, 6, -16}),
               wordsToBytes({kHand, 7, INT32_MIN})})},
      {"plain payloads round up to whole words",
       concat({header(56), wordsToBytes({kPrim, 0, 6, 11, 12}), wordsToBytes({kHand, 0, 4, 13}),
               wordsToBytes({kStrn, 0, 5, 14, 15})}),
       concat({header(56), wordsToBytes({kPrim, 0, 6, 11, 12}), wordsToBytes({kHand, 0, 4, 13}),
               wordsToBytes({kStrn, 0, 5, 14, 15})})},
      {"xyzs entries each get a first word of 1",
       concat({header(44), wordsToBytes({kXyzs, 4, 32, 7, 21, 22, 23, 9, 31, 32, 33})}),
       concat({header(44), wordsToBytes({kXyzs, 4, 32, 1, 21, 22, 23, 1, 31, 32, 33})})},
      {"xyzs payloads round up to whole entries",
       concat({header(44), wordsToBytes({kXyzs, 4, 20, -1, 21, 22, 23, 0, -2, -3, -4})}),
       concat({header(44), wordsToBytes({kXyzs, 4, 20, 1, 21, 22, 23, 1, -2, -3, -4})})},
      {"the last chunk is copied whole past the bound",
       concat({header(100), wordsToBytes({kNorm, 1, 48}), Bytes(48, 0xAB),
               wordsToBytes({kPlan, 2, 48}), Bytes(48, 0xCD), wordsToBytes({kHand, 3, 0})}),
       concat({header(120), wordsToBytes({kNorm, 1, 48}), Bytes(48, 0xAB),
               wordsToBytes({kPlan, 2, 48}), Bytes(48, 0xCD)})},
      {"bytes after the chunk area are not copied",
       concat({header(16), wordsToBytes({kHand, 1, 4, 9}), wordsToBytes({1, 2, 3})}),
       concat({header(16), wordsToBytes({kHand, 1, 4, 9})})},
      {"an unrecognised first chunk ends the walk at once",
       concat({header(16), wordsToBytes({kJunk, 1, 4, 9})}), header(0)},
      {"an unrecognised tag after two chunks",
       concat({header(1000, -7), wordsToBytes({kHand, 1, 4, 9}), wordsToBytes({kStrn, 2, 1, 3}),
               wordsToBytes({kMagic, 3, 4, 5})}),
       concat({header(32, -7), wordsToBytes({kHand, 1, 4, 9}), wordsToBytes({kStrn, 2, 1, 3})})},
      {"the input ending at a chunk boundary is a normal end",
       concat({header(1000), wordsToBytes({kHand, 1, 4, 9})}),
       concat({header(16), wordsToBytes({kHand, 1, 4, 9})})},
  };
  for (const ConvertCase& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::PassRun run = runPass(c.input);
    EXPECT_EQ(run.result.outcome, Outcome::Converted);
    EXPECT_EQ(run.output, c.expected);
    EXPECT_EQ(run.result.bytesWritten, static_cast<std::int64_t>(c.expected.size()) - 12);
    // Converting the output again changes nothing.
    const testing::PassRun again = runPass(run.output);
    EXPECT_EQ(again.result.outcome, Outcome::Converted);
    EXPECT_EQ(again.output, run.output);
  }
}

TEST(ConvertFile, RejectsInputsWithoutTheMagic) {
  const Bytes inputs[] = {
      {},
      {0x34},
      {0x34, 0x4F, 0x44},
      {'3', 'D', 'O', '4', 0, 0, 0, 0, 0, 0, 0, 0},
      wordsToBytes({kMagic + 1, 0, 0}),
  };
  for (const Bytes& input : inputs) {
    const testing::PassRun run = runPass(input);
    EXPECT_EQ(run.result.outcome, Outcome::BadMagic) << input.size() << " bytes";
    EXPECT_TRUE(run.output.empty());
  }
}

struct DamageCase {
  const char* name;
  Bytes input;
  Outcome outcome;
  Bytes expected;
  std::int64_t chunkOffset;
};

TEST(ConvertFile, KeepsTheCompleteChunksOfDamagedInput) {
  const Bytes hand = wordsToBytes({kHand, 1, 4, 9});
  const DamageCase cases[] = {
      {"header cut after the magic", wordsToBytes({kMagic}), Outcome::CutHeader, {}, 0},
      {"header cut inside the length field",
       concat({wordsToBytes({kMagic, 5}), Bytes{1, 2}}),
       Outcome::CutHeader,
       {},
       0},
      {"tag cut short", concat({header(100), hand, Bytes{0x44, 0x4E}}), Outcome::CutChunk,
       concat({header(16), hand}), 28},
      {"chunk header cut short", concat({header(100), hand, wordsToBytes({kPrim, 1})}),
       Outcome::CutChunk, concat({header(16), hand}), 28},
      {"plain payload cut short", concat({header(100), hand, wordsToBytes({kPrim, 1, 12, 5, 6})}),
       Outcome::CutChunk, concat({header(16), hand}), 28},
      {"payload word cut short", concat({header(100), wordsToBytes({kPrim, 1, 4}), Bytes{1, 2, 3}}),
       Outcome::CutChunk, header(0), 12},
      {"xyzs entry cut short",
       concat({header(100), hand, wordsToBytes({kXyzs, 1, 20, 5, 6, 7, 8, 9})}), Outcome::CutChunk,
       concat({header(16), hand}), 28},
      {"payload length too large for the length field",
       concat({header(INT32_MAX), hand, wordsToBytes({kNorm, 1, INT32_MAX, 5})}),
       Outcome::ChunkTooLarge, concat({header(16), hand}), 28},
      {"chunks adding up past the length field's range",
       concat({header(INT32_MAX), hand, wordsToBytes({kXyzs, 1, INT32_MAX - 30})}),
       Outcome::ChunkTooLarge, concat({header(16), hand}), 28},
      {"xyzs payload length too large",
       concat({header(-1 - INT32_MIN), wordsToBytes({kXyzs, 1, INT32_MAX - 2})}),
       Outcome::ChunkTooLarge, header(0), 12},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::PassRun run = runPass(c.input);
    EXPECT_EQ(run.result.outcome, c.outcome);
    EXPECT_EQ(run.output, c.expected);
    EXPECT_EQ(run.result.damage.chunk, c.chunkOffset);
    if (c.outcome != Outcome::ChunkTooLarge) {
      EXPECT_EQ(run.result.inputEnd, static_cast<std::int64_t>(c.input.size()));
    }
  }
}

// A file cut at every length converts to the complete chunks before the cut.
TEST(ConvertFile, HandlesAValidFileCutAtEveryLength) {
  const Bytes chunks[] = {
      wordsToBytes({kHand, 1, 5, 10, 11}),
      wordsToBytes({kXyzs, 2, 20, 7, 1, 2, 3, 8, 4, 5, 6}),
      wordsToBytes({kPrim, 3, 0}),
      wordsToBytes({kNorm, 4, 4, 12}),
  };
  Bytes body;
  for (const Bytes& chunk : chunks) {
    body.insert(body.end(), chunk.begin(), chunk.end());
  }
  const Bytes file = concat({header(static_cast<Word32>(body.size())), body});
  const Bytes converted = runPass(file).output;

  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const testing::PassRun run = runPass(Bytes(file.begin(), file.begin() + cut));
    if (cut < 4) {
      EXPECT_EQ(run.result.outcome, Outcome::BadMagic);
      EXPECT_TRUE(run.output.empty());
      continue;
    }
    if (cut < 12) {
      EXPECT_EQ(run.result.outcome, Outcome::CutHeader);
      EXPECT_TRUE(run.output.empty());
      continue;
    }
    std::size_t kept = 12;
    for (const Bytes& chunk : chunks) {
      if (kept + chunk.size() > cut) {
        break;
      }
      kept += chunk.size();
    }
    EXPECT_EQ(run.result.outcome, kept == cut ? Outcome::Converted : Outcome::CutChunk);
    Bytes expected(converted.begin(), converted.begin() + kept);
    const Bytes length = wordsToBytes({static_cast<Word32>(kept - 12)});
    std::copy(length.begin(), length.end(), expected.begin() + 8);
    EXPECT_EQ(run.output, expected);
  }
}

}  // namespace
}  // namespace convert3do

namespace convert3do {
namespace {

using testing::FileShape;
using testing::randomFile;

TEST(ConvertFile, MatchesTheReferenceModelOnRandomFiles) {
  std::mt19937 random(20261207);
  for (int i = 0; i < 3000; ++i) {
    const Bytes input = randomFile(random, i % 100 == 0    ? FileShape::LargePayloads
                                           : i % 100 == 50 ? FileShape::TinyChunks
                                                           : FileShape::Small);
    const testing::ModelResult expected = testing::referenceConvert(input);
    const testing::PassRun run = runPass(input);
    ASSERT_EQ(run.result.outcome, expected.outcome) << "file " << i << ", " << input.size();
    ASSERT_EQ(run.output, expected.output) << "file " << i << ", " << input.size() << " bytes";
    ASSERT_TRUE(run.inputIntact) << "file " << i;
    // The survey predicts exactly what the conversion did.
    const char* disagreement = testing::predictionError(input, run);
    ASSERT_EQ(disagreement, nullptr) << "file " << i << ": " << disagreement;
    // The same in pieces of every size through the library's C interface:
    // one byte at a time (on the smaller files) and random sizes.
    const std::uint32_t most = i % 3 == 0 ? 17 : 70000;
    const std::size_t room = 32 + random() % 200;
    const char* split = testing::splitError(
        input, run.output, [&] { return std::size_t{1} + random() % most; }, room);
    ASSERT_EQ(split, nullptr) << "file " << i << " in random pieces: " << split;
    if (input.size() < 65536) {
      split = testing::splitError(
          input, run.output, [] { return std::size_t{1}; }, room);
      ASSERT_EQ(split, nullptr) << "file " << i << " byte by byte: " << split;
    }
    // Converted in place and surveyed in one walk: the same output and result,
    // and what a survey alone says.
    Bytes fused = input;
    ConversionResult result;
    const SurveyInfo f = convertSurveyed(fused.data(), fused.size(), &result);
    fused.resize(static_cast<std::size_t>(result.outputLength));
    ASSERT_EQ(fused, run.output) << "file " << i << " converted as surveyed";
    ASSERT_EQ(std::tie(result.outcome, result.inputEnd, result.bytesWritten, result.damage.at),
              std::tie(run.result.outcome, run.result.inputEnd, run.result.bytesWritten,
                       run.result.damage.at));
    const SurveyInfo s = surveyBuffer(input.data(), input.size(), nullptr, nullptr);
    ASSERT_EQ(std::tie(f.end, f.chunkCount, f.chunkBytes, f.overrun, f.endOffset, f.outputSize,
                       f.wordsChanged, f.alreadyConverted, f.damage.at),
              std::tie(s.end, s.chunkCount, s.chunkBytes, s.overrun, s.endOffset, s.outputSize,
                       s.wordsChanged, s.alreadyConverted, s.damage.at))
        << "file " << i;
    if (expected.outcome == Outcome::Converted) {
      const testing::PassRun again = runPass(run.output);
      ASSERT_EQ(again.output, run.output) << "file " << i << " changes when converted again";
    }
  }
}

}  // namespace
}  // namespace convert3do

namespace convert3do {
namespace {

#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// Streams that refuse every read or every write stand in for failing devices.
TEST(ConvertFile, ReportsStreamsThatFail) {
  const Bytes example = concat({header(16), testing::wordsToBytes({testing::kHand, 1, 4, 9})});

  const WindowMemory window;
  ConversionResult result;
#ifndef _WIN32  // The Windows C runtime reports a read of a write-only stream as an end of file.
  std::FILE* out = std::tmpfile();
  std::FILE* unreadable = std::fopen(kNullDevice, "wb");  // open, but not for reading
  ASSERT_NE(unreadable, nullptr);
  result = convertFile(fileno(unreadable), fileno(out), window.window);
  EXPECT_EQ(result.outcome, Outcome::ReadFailed);
  EXPECT_NE(result.error, 0);
  EXPECT_TRUE(testing::readAll(out).empty());
  std::fclose(unreadable);
  std::fclose(out);
#endif

  std::FILE* in = std::tmpfile();
  std::fwrite(example.data(), 1, example.size(), in);
  std::rewind(in);
  std::FILE* unwritable = std::fopen(kNullDevice, "rb");  // open, but not for writing
  ASSERT_NE(unwritable, nullptr);
  result = convertFile(fileno(in), fileno(unwritable), window.window);
  EXPECT_EQ(result.outcome, Outcome::WriteFailed);
  EXPECT_NE(result.error, 0);
  std::fclose(in);
  std::fclose(unwritable);
}

}  // namespace
}  // namespace convert3do
