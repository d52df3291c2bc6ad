// Fuzz target: runs the conversion pass on arbitrary bytes and checks every
// promise it makes about its output, and that the library gives the same
// answers however the input is split into pieces.
//
// Built with clang's -fsanitize=fuzzer it is a libFuzzer target; the unit tests
// link it too and replay fuzz/corpus through it, so every input kept there (the
// seeds and any crash found) runs as an ordinary test in every build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert/convert.h"
#include "format/word32.h"
#include "reference_model.h"
#include "split_check.h"
#include "test_files.h"

namespace {

using Bytes = std::vector<unsigned char>;

[[noreturn]] void violated(const char* what) {
  (void)std::fprintf(stderr, "convert_fuzzer: %s\n", what);
  std::abort();
}

// Converts through temporary files, and insists that the input is left alone.
convert3do::testing::PassRun convert(const Bytes& input, std::size_t windowBytes) {
  convert3do::testing::PassRun run = convert3do::testing::runPass(input, windowBytes);
  if (!run.inputIntact) {
    violated("the input was changed");
  }
  return run;
}

// Feeds the input to the library in pieces whose sizes come from the input's
// own bytes, so that the fuzzer explores how pieces fall as it explores bytes.
void checkPieces(const Bytes& input, const Bytes& expected) {
  std::size_t k = 0;
  const auto pieces = [&]() -> std::size_t {
    const std::size_t n = input.empty() ? 1 : 1 + (input[k % input.size()] ^ k) % 64;
    ++k;
    return n;
  };
  const std::size_t room = 32 + input.size() % 64;
  if (const char* what = convert3do::testing::splitError(input, expected, pieces, room)) {
    (void)std::fprintf(stderr, "convert_fuzzer: in pieces, the %s differs\n", what);
    std::abort();
  }
}

}  // namespace

// Every check on one input, with the file conversion working in a window of
// windowBytes.
void convert3doFuzzCheck(const std::uint8_t* data, std::size_t size, std::size_t windowBytes) {
  using convert3do::Outcome;
  const Bytes input(data, data + size);
  const convert3do::testing::PassRun run = convert(input, windowBytes);
  const convert3do::ConversionResult& result = run.result;
  const Bytes& output = run.output;

  const convert3do::testing::ModelResult expected = convert3do::testing::referenceConvert(input);
  if (result.outcome != expected.outcome) {
    violated("the outcome differs from the model's");
  }
  if (output != expected.output) {
    violated("the output differs from the model's");
  }
  if (const char* what = convert3do::testing::predictionError(input, run)) {
    (void)std::fprintf(stderr, "convert_fuzzer: survey and conversion disagree on the %s\n", what);
    std::abort();
  }
  checkPieces(input, output);
  if (output.empty()) {
    return;
  }
  // Independently of the model: the output is 12 + its length field bytes
  // long, and it is the input byte for byte except the length field and words
  // set to 1 (the first words of XYZS entries).
  if (output.size() < 12 || output.size() > input.size() ||
      static_cast<std::int64_t>(output.size()) !=
          12 + static_cast<std::int64_t>(convert3do::decodeWord(output.data() + 8)) ||
      result.bytesWritten + 12 != static_cast<std::int64_t>(output.size())) {
    violated("the length field does not state the output's length");
  }
  for (std::size_t at = 0; at < output.size(); at += 4) {
    if (at != 8 && std::memcmp(output.data() + at, input.data() + at, 4) != 0 &&
        convert3do::decodeWord(output.data() + at) != 1) {
      violated("the output changes a word other than an XYZS entry's first");
    }
  }
  // A well-formed output converts to itself.
  const convert3do::testing::PassRun again = convert(output, windowBytes);
  if (again.result.outcome != Outcome::Converted || again.output != output) {
    violated("converting the output again changes it");
  }
}

// The window, too, comes from the input: small ones, so that small inputs
// cross many window edges.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t window = 16 + (size > 0 ? data[size - 1] % 49 : 0);
  convert3doFuzzCheck(data, size, window);
  return 0;
}
