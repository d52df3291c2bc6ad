#include "cli/3do/zip_layout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace convert3do {
namespace {

void put16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string& s, unsigned long v) {
  put16(s, static_cast<unsigned>(v & 0xffff));
  put16(s, static_cast<unsigned>(v >> 16));
}

struct Member {
  std::string name;
  std::string data;
  unsigned flags = 0;
  unsigned long statedSize = 0;  // 0: the data's
  unsigned long offset = ~0UL;   // the local header the directory names; ~0: its own
};

// A stored archive of the members, with its central directory and end
// record; a member with flag 8 has a signed data descriptor.
std::string archiveOf(const std::vector<Member>& members, unsigned disk = 0) {
  std::string bytes;
  std::string directory;
  for (const Member& m : members) {
    const unsigned long at = bytes.size();
    const unsigned long size = m.statedSize != 0 ? m.statedSize : m.data.size();
    std::string local = "PK\3\4";
    put16(local, 20);
    put16(local, m.flags);
    put16(local, 0);
    put32(local, 0);  // time and date
    put32(local, 0);  // crc
    put32(local, m.data.size());
    put32(local, size);
    put16(local, m.name.size());
    put16(local, 0);
    bytes += local + m.name + m.data;
    if ((m.flags & 8) != 0) {
      bytes += "PK\7\x08";
      put32(bytes, 0);
      put32(bytes, m.data.size());
      put32(bytes, size);
    }
    directory += "PK\1\2";
    put16(directory, 20);
    directory += local.substr(4, 26);
    put16(directory, 0);  // comment
    put16(directory, 0);  // disk
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, m.offset != ~0UL ? m.offset : at);
    directory += m.name;
  }
  const unsigned long directoryAt = bytes.size();
  bytes += directory + "PK\5\6";
  put16(bytes, disk);
  put16(bytes, 0);
  put16(bytes, members.size());
  put16(bytes, members.size());
  put32(bytes, directory.size());
  put32(bytes, directoryAt);
  put16(bytes, 0);
  return bytes;
}

// The layout read from the bytes, through a file.
ZipVerdict layoutOf(const std::string& bytes, ZipLayout* layout) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  EXPECT_EQ(std::fflush(file), 0);
  const ZipVerdict v = readZipLayout(fileno(file), bytes.size(), layout);
  (void)std::fclose(file);
  return v;
}

struct LayoutCase {
  const char* what;
  std::string bytes;
  ZipProblem problem;
  std::size_t entry;
};

TEST(ZipLayout, RefusesWhatBreaksARule) {
  const Member a{"a.3do", "aaaa"};
  const Member b{"b.3do", "bbbbbbbb"};
  std::string cut = archiveOf({a, b});
  cut.resize(cut.size() - 3);
  std::string trailing = archiveOf({a}) + "junk";
  const LayoutCase cases[] = {
      {"sound", archiveOf({a, b}), ZipProblem::None, 0},
      {"empty", archiveOf({}), ZipProblem::None, 0},
      {"cut short", cut, ZipProblem::NoEndRecord, 0},
      {"bytes after the end", trailing, ZipProblem::NoEndRecord, 0},
      {"no zip at all", "plain text, long enough to hold an end record", ZipProblem::NotZip, 0},
      {"split", archiveOf({a}, 1), ZipProblem::Split, 0},
      {"b's bytes are a's", archiveOf({a, Member{"b.3do", "bb", 0, 0, 0}}), ZipProblem::Overlap, 0},
      {"a header past the directory", archiveOf({Member{"a.3do", "a", 0, 0, 40}}),
       ZipProblem::LocalHeader, 0},
      {"stored, stating more", archiveOf({Member{"a.3do", "aa", 0, 3}}), ZipProblem::Ratio, 0},
      {"duplicate", archiveOf({a, Member{"a.3do", "x"}}), ZipProblem::Duplicate, 0},
      {"climbs out", archiveOf({a, Member{"x/../../b", "x"}}), ZipProblem::UnsafeName, 1},
  };
  for (const LayoutCase& c : cases) {
    ZipLayout layout;
    const ZipVerdict v = layoutOf(c.bytes, &layout);
    EXPECT_EQ(v.problem, c.problem) << c.what;
    EXPECT_EQ(v.entry, c.entry) << c.what;
  }
}

TEST(ZipLayout, PlacesEachEntrysBytes) {
  const std::string bytes =
      archiveOf({Member{"a.3do", "aaaa", 8}, Member{"dir/b.txt", "bbbbbbbbbb"}});
  ZipLayout layout;
  ASSERT_EQ(layoutOf(bytes, &layout).problem, ZipProblem::None);
  ASSERT_EQ(layout.entries.size(), 2U);
  const ZipSpan& a = layout.entries[0];
  EXPECT_EQ(a.name, "a.3do");
  EXPECT_EQ(a.data, 30U + 5);
  EXPECT_EQ(a.end, a.data + 4 + 16);  // its signed descriptor too
  EXPECT_EQ(layout.entries[1].header, a.end);
  EXPECT_EQ(layout.entries[1].end, layout.directory);
  EXPECT_EQ(bytes.substr(layout.entries[1].record, 4), "PK\1\2");
}

TEST(ZipLayout, NamesAndLevels) {
  const std::pair<const char*, bool> names[] = {
      {"models/a.3do", false},
      {"a..b/c", false},
      {"..a", false},
      {"", true},
      {"/etc/passwd", true},
      {"\\x", true},
      {"C:x.3do", true},
      {"a/../b", true},
      {"..", true},
      {"a\\..\\b", true},
      {"a\x1b]2;x", true},
      {"tab\there", true},
      {"del\x7f", true},
      {"caf\xC3\xA9", false},
      {"a/b/..", true},
  };
  for (const auto& [name, unsafe] : names) {
    EXPECT_EQ(unsafeEntryName(name), unsafe) << name;
  }
  EXPECT_EQ(deflateLevelOf(0), 6);
  EXPECT_EQ(deflateLevelOf(2), 9);
  EXPECT_EQ(deflateLevelOf(4), 2);
  EXPECT_EQ(deflateLevelOf(6 | 8 | 1), 1);
}

}  // namespace
}  // namespace convert3do
