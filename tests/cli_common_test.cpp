// What both programs share at process level: exit statuses, temporary names
// and the JSON strings of 3do's reports.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cli/3do/convert_report.h"
#include "cli/3do/json.h"
#include "cli/3do/names.h"
#include "cli/common/exit_status.h"
#include "cli/common/temporary.h"

namespace convert3do {
namespace {

TEST(WorseStatus, FollowsTheDocumentedOrder) {
  // 0 < 5 < 6 < 7 < 4 < 1 < 3 < 2, whatever the order of the arguments.
  const int order[] = {kExitOk,           kExitLengthDiffers, kExitWouldDrop,    kExitNotA3do,
                       kExitDamagedInput, kExitInputNotFound, kExitOutputFailed, kExitUsage};
  for (int i = 0; i < 8; ++i) {
    for (int k = 0; k < 8; ++k) {
      EXPECT_EQ(worseStatus(order[i], order[k]), order[i > k ? i : k]) << i << " " << k;
    }
  }
}

TEST(ExitStatusFor, EveryOutcome) {
  const std::pair<Outcome, int> rows[] = {
      {Outcome::Converted, 0},   {Outcome::BadMagic, 0},      {Outcome::CutHeader, 4},
      {Outcome::CutChunk, 4},    {Outcome::ChunkTooLarge, 4}, {Outcome::ReadFailed, 4},
      {Outcome::WriteFailed, 3},
  };
  for (const auto& [outcome, status] : rows) {
    EXPECT_EQ(exitStatusFor(outcome), status) << static_cast<int>(outcome);
  }
}

TEST(TemporaryName, FitsTheFolderAndKeepsWholeCharacters) {
  const std::string ascii(300, 'm');
  std::string wide;
  for (int i = 0; i < 100; ++i) {
    wide += "\xE6\xA8\xA1";  // three bytes a character
  }
  for (const std::string& base : {std::string("model.3do"), ascii, wide}) {
    for (std::size_t longest : {std::size_t{30}, std::size_t{255}, std::size_t{256}}) {
      const std::string name = temporaryName(base, longest);
      ASSERT_LE(name.size(), longest) << base.size() << " " << longest;
      // ".BASE.SUFFIX.tmp": what is kept of BASE lies before the suffix's dot.
      const std::string kept = name.substr(1, name.rfind('.', name.size() - 5) - 1);
      EXPECT_EQ(base.compare(0, kept.size(), kept), 0);
      EXPECT_EQ(kept.size() % (base == wide ? 3 : 1), 0u) << "a character was cut";
      EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
    }
  }
  EXPECT_NE(temporaryName("m", 255), temporaryName("m", 255));
}

TEST(Progress, RedrawsAtMostTenTimesASecond) {
  // A wake-up every 5 ms for two seconds draws about twenty times, not 400.
  double last = -1;
  int drawn = 0;
  for (int tick = 0; tick < 400; ++tick) {
    drawn += redrawDue(1.0 + tick * 0.005, &last) ? 1 : 0;
  }
  EXPECT_GE(drawn, 19);
  EXPECT_LE(drawn, 20);
  EXPECT_TRUE(redrawDue(100.0, &last));
}

struct JsonCase {
  const char* text;
  const char* json;
};

// The string shortcuts for plain names give what std::filesystem gives, and
// names that are not plain go to std::filesystem.
TEST(Names, AgreeWithStdFilesystem) {
  namespace fs = std::filesystem;
  const char* const names[] = {
      "a",    "a/b",  "/a/b.3do", "a/./b",         "a/../b",     "./a",        "..", ".",
      "a//b", "a/b/", "/",        "dir.3do/m.3do", ".hidden/.x", "a/b..c/..d", "/a"};
  for (const char* folder : names) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(normalName(folder), fromPath(toPath(folder).lexically_normal()));
    std::string parent;
    std::string base;
    splitName(folder, &parent, &base);
    EXPECT_EQ(parent, fromPath(toPath(folder).parent_path()));
    EXPECT_EQ(base, fromPath(toPath(folder).filename()));
    for (const char* name : names) {
      SCOPED_TRACE(name);
      EXPECT_EQ(joinName(folder, name), fromPath(toPath(folder) / toPath(name)));
    }
  }
}

TEST(JsonString, IsAlwaysValidJson) {
  const JsonCase cases[] = {
      {"models/cube.3do", "\"models/cube.3do\""},
      {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
      {"tab\there\nand\x1b[2J", "\"tab\\u0009here\\u000aand\\u001b[2J\""},
      {"Jos\xC3\xA9/\xE6\xA8\xA1", "\"Jos\xC3\xA9/\xE6\xA8\xA1\""},
      {"bad\xFF\xC3", "\"bad\\udcff\\udcc3\""},
      {"c1\xC2\x85", "\"c1\\u0085\""},
      {"", "\"\""},
  };
  for (const JsonCase& c : cases) {
    std::string out;
    appendJsonString(out, c.text);
    EXPECT_EQ(out, c.json);
  }
  std::string object = "{";
  appendJsonMember(object, "a", 1);
  appendJsonNull(object, "b");
  appendJsonBool(object, "c", true);
  EXPECT_EQ(object, "{\"a\":1,\"b\":null,\"c\":true");
}

}  // namespace
}  // namespace convert3do
