#include "cli/convert3do/tool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli/common/damage.h"
#include "cli/common/exit_status.h"
#include "cli/common/file_convert.h"
#include "cli/common/file_io.h"
#include "cli/common/files.h"
#include "cli/common/messages.h"
#include "cli/common/printf_format.h"
#include "cli/common/process.h"
#include "cli/common/quote.h"
#include "format/chunk.h"

#ifndef CONVERT3DO_VERSION
#define CONVERT3DO_VERSION "unknown"
#endif

namespace convert3do {

namespace {

constexpr const char* kDefaultInput = "in.3do";
constexpr const char* kDefaultOutput = "out.3do";

// The window the conversion works in; static rather than on the stack, so a
// small stack limit cannot crash a run.
alignas(kWindowLead) unsigned char gWindow[kWindowLead + kDefaultWindowBytes];

// "convert3do: NAME: " and the message, on standard error. Messages on
// standard error are printed with their result cast away: if the console
// refuses those too, nowhere is left to say so.
void complain(const char* name, const char* format, ...) CONVERT3DO_PRINTF(2, 3);
void complain(const char* name, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  (void)std::fprintf(stderr, "convert3do: %s: ", name);
  std::va_list arguments;
  va_start(arguments, format);
  (void)std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  (void)std::fputc('\n', stderr);
}

// Prints text on standard output. A console that refuses it is told of on
// standard error.
bool show(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    complain("standard output", say::kCannotWriteStandardOutput, std::strerror(errno));
    return false;
  }
  return true;
}

void reportOutcome(const ConversionResult& result, const char* inputName, const char* outputName) {
  const QuotedName input = quoteName(inputName);
  const QuotedName output = quoteName(outputName);
  const auto kept = static_cast<long long>(result.bytesWritten);
  switch (result.outcome) {
    case Outcome::Converted:
      break;
    case Outcome::BadMagic:
      show(say::kNotTorvanels);
      break;
    case Outcome::CutHeader:
    case Outcome::CutChunk:
    case Outcome::ChunkTooLarge:
    case Outcome::ReadFailed:
      // Nothing is kept of a file cut or unreadable inside its header.
      if (result.bytesWritten == 0 && result.inputEnd < kFileHeaderBytes &&
          result.outcome != Outcome::ChunkTooLarge) {
        complain(input.text, say::kConvert3doDamagedEmpty, describeDamage(result).text,
                 output.text);
      } else {
        complain(input.text, say::kConvert3doDamagedKept, describeDamage(result).text, output.text,
                 kept);
      }
      break;
    case Outcome::WriteFailed:
      complain(output.text, say::kConvert3doCannotWriteOutput, std::strerror(result.error),
               result.error == ESPIPE ? say::kConvert3doNotSeekable : "");
      break;
  }
}

// Removes what a failed run left of the output: the regular file this run
// created or emptied. Devices, FIFOs and other files are left alone.
void removePartialOutput(const OpenedFile& out, const char* name) {
  if (!removeIfSame(name, out.identity)) {
    complain(quoteName(name).text, say::kConvert3doCannotRemovePartial, std::strerror(errno));
  }
}

}  // namespace

int runTool(int argc, char** argv) {
  if (argc == 2) {
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      return show(say::kConvert3doUsage) ? kExitOk : kExitOutputFailed;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
      return show("convert3do " CONVERT3DO_VERSION "\n") ? kExitOk : kExitOutputFailed;
    }
    complain(quoteName(argv[1]).text, say::kConvert3doNoOutputNamed);
    (void)std::fputs(say::kConvert3doUsage, stderr);
    return kExitUsage;
  }
  const char* input = argc >= 3 ? argv[1] : kDefaultInput;
  const char* output = argc >= 3 ? argv[2] : kDefaultOutput;

  const OpenedFile in = openInput(input, true);
  if (in.fd < 0) {
    show(say::kFileNotFound);
    // Worded as 3do words it, with why a readable file may be refused here.
    const bool refused = in.error == EACCES || in.error == EPERM || in.error == EROFS;
    complain(quoteName(input).text, say::kConvert3doCannotOpen, std::strerror(in.error),
             refused ? say::kConvert3doOpensForUpdate : "");
    return kExitInputNotFound;
  }
  // The output is opened without being emptied, compared with the input, and
  // only then emptied; signals wait until its removal is armed.
  holdSignals(true);
  bool sameAsInput = false;
  const OpenedFile out = openOutput(output, in.identity, &sameAsInput);
  if (out.fd >= 0) {
    armOutput(out.fd, output, out.identity);
  }
  holdSignals(false);
  if (sameAsInput) {
    complain(quoteName(output).text, say::kConvert3doSameFile, quoteName(input).text);
    (void)closeFile(in.fd);
    return kExitUsage;
  }
  if (out.fd < 0) {
    complain(quoteName(output).text, say::kConvert3doCannotCreateOutput, std::strerror(out.error));
    (void)closeFile(in.fd);
    return kExitOutputFailed;
  }

  ConversionResult result =
      convertFile(in.fd, out.fd, ConversionWindow{gWindow, kDefaultWindowBytes});
  (void)closeFile(in.fd);  // only ever read, so closing it cannot lose data
  // From here on a signal leaves the output alone: it is complete, or removed
  // below.
  disarmOutput();
  if (result.outcome == Outcome::WriteFailed) {
    // No partial data stays even behind a symlink; the write has failed
    // already, so these results change nothing.
    (void)truncateFile(out.fd, 0);
    (void)closeFile(out.fd);
    removePartialOutput(out, output);
  } else if (!closeFile(out.fd)) {
    result.outcome = Outcome::WriteFailed;
    result.error = errno;
    removePartialOutput(out, output);
  }
  reportOutcome(result, input, output);
  return exitStatusFor(result.outcome);
}

}  // namespace convert3do
