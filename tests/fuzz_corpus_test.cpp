// Replays the fuzz corpus through the fuzz target's checks; a violated check
// aborts the test.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(FuzzCorpus, EveryInputPassesTheFuzzChecks) {
  const std::string folder = CONVERT3DO_FUZZ_CORPUS;
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr) << folder;
  int replayed = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string path = folder + "/" + entry->d_name;
    std::FILE* file = entry->d_name[0] == '.' ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      continue;
    }
    std::vector<std::uint8_t> bytes;
    unsigned char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
      bytes.insert(bytes.end(), block, block + got);
    }
    std::fclose(file);
    SCOPED_TRACE(path);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++replayed;
  }
  closedir(dir);
  EXPECT_GE(replayed, 10);
}

}  // namespace
