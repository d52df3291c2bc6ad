// Writes random 3do files, as the random-file test makes them, for tests
// that compare other builds with the native programs.
//
// usage: write_random_models DIR COUNT SEED
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "random_files.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    (void)std::fprintf(stderr, "usage: write_random_models DIR COUNT SEED\n");
    return 2;
  }
  const int count = std::atoi(argv[2]);
  std::mt19937 random(static_cast<std::mt19937::result_type>(std::strtoul(argv[3], nullptr, 10)));
  for (int i = 0; i < count; ++i) {
    using convert3do::testing::FileShape;
    const convert3do::testing::Bytes bytes = convert3do::testing::randomFile(
        random, i % 100 == 0 ? FileShape::LargePayloads : FileShape::Small);
    const std::string name = std::string(argv[1]) + "/model-" + std::to_string(i) + ".3do";
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
      std::perror(name.c_str());
      return 1;
    }
  }
  return 0;
}
