// Replays the fuzz corpus through the fuzz target's checks; a violated check
// aborts the test.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

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
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++replayed;
  }
  closedir(dir);
  EXPECT_GE(replayed, 10);
}

}  // namespace
