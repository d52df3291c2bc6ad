// Replays the fuzz corpus through the fuzz target's checks; a violated check
// aborts the test.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_files.h"

void convert3doFuzzCheck(const std::uint8_t* data, std::size_t size, std::size_t windowBytes);

namespace {

// At several window sizes: inputs of a few KiB cross a small window's edge
// many times, and a large one's never.
TEST(FuzzCorpus, EveryInputPassesTheFuzzChecks) {
  const std::string folder = CONVERT3DO_FUZZ_CORPUS;
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr) << folder;
  int replayed = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const std::string path = folder + "/" + entry->d_name;
    const convert3do::testing::Bytes bytes = convert3do::testing::readFile(path.c_str());
    SCOPED_TRACE(path);
    for (const std::size_t window : {36, 64, 4096, 1024 * 1024}) {
      convert3doFuzzCheck(bytes.data(), bytes.size(), window);
    }
    ++replayed;
  }
  closedir(dir);
  EXPECT_GE(replayed, 10);
}

}  // namespace
