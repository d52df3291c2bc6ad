#include <gtest/gtest.h>

#include <cstring>

#include "format/chunk.h"
#include "format/word32.h"
#include "test_files.h"

namespace convert3do {
namespace {

struct WordCase {
  unsigned char bytes[4];
  Word32 value;
};

TEST(Word32, DecodesAndEncodesLittleEndian) {
  const WordCase cases[] = {
      {{0x00, 0x00, 0x00, 0x00}, 0},          {{0x01, 0x00, 0x00, 0x00}, 1},
      {{0x78, 0x56, 0x34, 0x12}, 0x12345678}, {{0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
      {{0x00, 0x00, 0x00, 0x80}, INT32_MIN},  {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {{0xFE, 0xFF, 0xFF, 0xFF}, -2},         {{0x34, 0x4F, 0x44, 0x33}, kMagic},
  };
  for (const WordCase& c : cases) {
    EXPECT_EQ(decodeWord(c.bytes), c.value);
    unsigned char encoded[4] = {};
    encodeWord(c.value, encoded);
    EXPECT_EQ(0, std::memcmp(encoded, c.bytes, 4)) << "value " << c.value;
  }
}

struct CodeCase {
  Word32 code;
  const char* onDisk;
};

TEST(FourCC, CharactersStandReversedOnDisk) {
  const CodeCase cases[] = {
      {kMagic, "4OD3"},
      {static_cast<Word32>(ChunkTag::Hand), "DNAH"},
      {static_cast<Word32>(ChunkTag::Norm), "MRON"},
      {static_cast<Word32>(ChunkTag::Plan), "NALP"},
      {static_cast<Word32>(ChunkTag::Prim), "MIRP"},
      {static_cast<Word32>(ChunkTag::Strn), "NRTS"},
      {static_cast<Word32>(ChunkTag::Xyzs), "SZYX"},
  };
  for (const CodeCase& c : cases) {
    unsigned char encoded[4] = {};
    encodeWord(c.code, encoded);
    EXPECT_EQ(0, std::memcmp(encoded, c.onDisk, 4)) << c.onDisk;
  }
  EXPECT_EQ(kMagic, 0x33444F34);
  EXPECT_EQ(static_cast<Word32>(ChunkTag::Xyzs), 0x58595A53);
  // The magic spelled forwards on disk is not the magic.
  const unsigned char forwards[] = {'3', 'D', 'O', '4'};
  EXPECT_NE(decodeWord(forwards), kMagic);
}

TEST(ChunkTag, RecognisesExactlyTheSixTags) {
  for (ChunkTag tag : {ChunkTag::Hand, ChunkTag::Norm, ChunkTag::Plan, ChunkTag::Prim,
                       ChunkTag::Strn, ChunkTag::Xyzs}) {
    EXPECT_EQ(recognizeTag(static_cast<Word32>(tag)), tag);
  }
  const Word32 others[] = {0,
                           -1,
                           kMagic,
                           fourCC('h', 'a', 'n', 'd'),
                           fourCC('D', 'N', 'A', 'H'),
                           fourCC('X', 'Y', 'Z', 'T'),
                           static_cast<Word32>(ChunkTag::Xyzs) + 1};
  for (Word32 other : others) {
    EXPECT_FALSE(recognizeTag(other).has_value()) << other;
  }
}

struct SizeCase {
  ChunkTag tag;
  Word32 payloadLength;
  std::int64_t size;
};

TEST(ChunkSize, RoundsPayloadsUpAndIgnoresNonPositiveLengths) {
  const SizeCase cases[] = {
      {ChunkTag::Prim, 0, 12},
      {ChunkTag::Prim, -1, 12},
      {ChunkTag::Prim, INT32_MIN, 12},
      {ChunkTag::Hand, 1, 16},
      {ChunkTag::Hand, 4, 16},
      {ChunkTag::Hand, 5, 20},
      {ChunkTag::Prim, 6, 20},
      {ChunkTag::Strn, 8, 20},
      {ChunkTag::Norm, INT32_MAX, 12 + 2147483648LL},
      {ChunkTag::Xyzs, 0, 12},
      {ChunkTag::Xyzs, -16, 12},
      {ChunkTag::Xyzs, 1, 28},
      {ChunkTag::Xyzs, 16, 28},
      {ChunkTag::Xyzs, 17, 44},
      {ChunkTag::Xyzs, 20, 44},
      {ChunkTag::Xyzs, 32, 44},
      {ChunkTag::Xyzs, INT32_MAX, 12 + 2147483648LL},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(chunkSize(c.tag, c.payloadLength), c.size)
        << "tag " << static_cast<Word32>(c.tag) << " length " << c.payloadLength;
  }
}

}  // namespace
}  // namespace convert3do
