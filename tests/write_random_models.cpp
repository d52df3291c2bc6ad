// Writes random 3do files, as the random-file test makes them, for tests
// that compare other builds with the native programs; with EXPECTED, also
// what the reference model says of each: EXPECTED/NAME, its conversion (as
// convert3do writes it, salvaged when damaged; empty when nothing can be),
// and EXPECTED/NAME.status, convert3do's exit status.
//
// usage: write_random_models DIR COUNT SEED [EXPECTED]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "cli/common/exit_status.h"
#include "random_files.h"
#include "reference_model.h"

namespace {

bool writeFile(const std::string& name, const unsigned char* bytes, std::size_t size) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  // (An empty conversion has no bytes to point at: fwrite is not given null.)
  const bool written = file != nullptr && (size == 0 || std::fwrite(bytes, 1, size, file) == size);
  if (file == nullptr || std::fclose(file) != 0 || !written) {
    std::perror(name.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    (void)std::fprintf(stderr, "usage: write_random_models DIR COUNT SEED [EXPECTED]\n");
    return 2;
  }
  const int count = std::atoi(argv[2]);
  std::mt19937 random(static_cast<std::mt19937::result_type>(std::strtoul(argv[3], nullptr, 10)));
  for (int i = 0; i < count; ++i) {
    using convert3do::testing::FileShape;
    const convert3do::testing::Bytes bytes = convert3do::testing::randomFile(
        random, i % 100 == 0 ? FileShape::LargePayloads : FileShape::Small);
    const std::string base = "model-" + std::to_string(i) + ".3do";
    if (!writeFile(std::string(argv[1]) + "/" + base, bytes.data(), bytes.size())) {
      return 1;
    }
    if (argc == 5) {
      const convert3do::testing::ModelResult expected =
          convert3do::testing::referenceConvert(bytes);
      const std::string status = std::to_string(convert3do::exitStatusFor(expected.outcome)) + "\n";
      const std::string at = std::string(argv[4]) + "/" + base;
      if (!writeFile(at, expected.output.data(), expected.output.size()) ||
          !writeFile(at + ".status", reinterpret_cast<const unsigned char*>(status.data()),
                     status.size())) {
        return 1;
      }
    }
  }
  return 0;
}
