// The conversion and the survey of files: the programs' drivers that read and
// write descriptors and hand the bytes to the library's walk.
#ifndef CONVERT3DO_CLI_COMMON_FILE_CONVERT_H
#define CONVERT3DO_CLI_COMMON_FILE_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "convert/convert.h"
#include "convert/survey.h"

namespace convert3do {

// Room before the window for the unwalked rest of the previous block (less
// than one XYZS entry); a page, so that the window itself is page aligned.
constexpr std::size_t kWindowLead = 4096;
constexpr std::size_t kDefaultWindowBytes = std::size_t{1024} * 1024;

// The memory one file conversion works in: kWindowLead bytes of lead, then the
// window proper, at least an XYZS entry. Conversions that run at the same time
// need one each; it holds nothing between them.
struct ConversionWindow {
  unsigned char* bytes = nullptr;  // page aligned
  std::size_t size = 0;            // of the window, after the lead
};

// A window on the heap, for the programs that convert many files at once.
struct WindowMemory {
  explicit WindowMemory(std::size_t size = kDefaultWindowBytes)
      : memory(new unsigned char[kWindowLead + size + kWindowLead]) {
    const auto address = reinterpret_cast<std::uintptr_t>(memory.get());
    window.bytes = memory.get() + (kWindowLead - address % kWindowLead) % kWindowLead;
    window.size = size;
  }
  std::unique_ptr<unsigned char[]> memory;
  ConversionWindow window;
};

// Converts the 3do file read from the descriptor in into the descriptor out,
// which must be empty and seekable: every XYZS entry's first word becomes 1,
// the copy ends at the first unrecognised chunk or where the length field
// bounds the chunk area, and the length field is patched to the chunk bytes
// written. On damaged input the output is still a well-formed 3do file holding
// every complete chunk.
//
// The output's 12-byte header is written last, in one write after one seek:
// until then offset 0 holds zeros, so an output cut off at any moment never
// reads as a 3do file. Reads take what the input has (a pipe's bytes so far),
// and nothing is read once the walk has ended. Block reads and writes are as
// large as the window and fall on offsets that are multiples of it. Neither
// descriptor is closed, nothing is printed, and nothing is allocated.
ConversionResult convertFile(int in, int out, const ConversionWindow& window);

using ChunkVisitor = std::function<void(const ChunkRecord&)>;

// Surveys the 3do file read from fd, calling visit for every chunk it keeps,
// in order; on a regular file it seeks over opaque payloads. A stream is read
// to its end with toEnd, so that its size is known, else only as far as the
// walk goes (its size is then not known). Memory does not depend on the
// file: chunks are handed out, not kept.
SurveyInfo surveyFile(int fd, const ChunkVisitor& visit, bool toEnd);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_FILE_CONVERT_H
