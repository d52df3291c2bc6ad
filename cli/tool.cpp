#include "cli/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cli/file_identity.h"
#include "convert/output_file.h"

#ifndef CONVERT3DO_VERSION
#define CONVERT3DO_VERSION "unknown"
#endif

namespace convert3do {

namespace {

constexpr const char* kDefaultInput = "in.3do";
constexpr const char* kDefaultOutput = "out.3do";

// The two messages on standard output; scripts match them byte for byte.
constexpr const char* kFileNotFound = "FILE NOT FOUND!\n\a";
constexpr const char* kNotA3do = "The referenced file is not in Torvanels' 3do format\n\a";

constexpr const char* kUsage =
    "usage: convert3do [INPUT OUTPUT]\n"
    "\n"
    "Converts a 3do model file: the first word of every XYZS entry becomes 1,\n"
    "the copy ends at the first unrecognised chunk or where the header's length\n"
    "field ends the chunk area, and the length field states the chunk bytes\n"
    "written. With no arguments, in.3do is converted into out.3do.\n"
    "\n"
    "  -h, --help     show this help (only as the sole argument)\n"
    "  --version      show the version (only as the sole argument)\n"
    "\n"
    "Exit status:\n"
    "  0  converted, or the input is not a 3do file (a message says so)\n"
    "  1  the input cannot be opened\n"
    "  2  bad arguments, or the output is the input file\n"
    "  3  the output cannot be created or written (a partial file is removed)\n"
    "  4  the input is damaged; the output keeps every complete chunk\n";

struct ExitRow {
  Outcome outcome;
  int status;
};

constexpr ExitRow kExitTable[] = {
    {Outcome::Converted, kExitOk},
    {Outcome::BadMagic, kExitOk},
    {Outcome::CutHeader, kExitDamagedInput},
    {Outcome::CutChunk, kExitDamagedInput},
    {Outcome::ChunkTooLarge, kExitDamagedInput},
    {Outcome::ReadFailed, kExitDamagedInput},
    {Outcome::WriteFailed, kExitOutputFailed},
};

// Prints text on standard output. A console that refuses it is told of on
// standard error. Messages on standard error are printed with their result
// cast away: if the console refuses those too, nowhere is left to say so.
bool say(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    (void)std::fprintf(stderr, "convert3do: standard output: cannot write: %s\n",
                       std::strerror(errno));
    return false;
  }
  return true;
}

void reportOutcome(const ConversionResult& result, const char* input, const char* output) {
  const auto offset = static_cast<long long>(result.chunkOffset);
  const auto end = static_cast<long long>(result.inputEnd);
  const auto kept = static_cast<long long>(result.bytesWritten);
  switch (result.outcome) {
    case Outcome::Converted:
      break;
    case Outcome::BadMagic:
      say(kNotA3do);
      break;
    case Outcome::CutHeader:
      (void)std::fprintf(stderr,
                         "convert3do: %s: damaged input: the file ends at byte %lld, inside its "
                         "12-byte header; %s is left empty\n",
                         input, end, output);
      break;
    case Outcome::CutChunk:
      (void)std::fprintf(
          stderr,
          "convert3do: %s: damaged input: the file ends at byte %lld, inside the chunk "
          "at byte %lld; %s keeps the %lld chunk bytes before it\n",
          input, end, offset, output, kept);
      break;
    case Outcome::ChunkTooLarge:
      (void)std::fprintf(
          stderr,
          "convert3do: %s: damaged input: the chunk at byte %lld has payload length "
          "%ld, more than a 3do file can hold; %s keeps the %lld chunk bytes before it\n",
          input, offset, static_cast<long>(result.payloadLength), output, kept);
      break;
    case Outcome::ReadFailed:
      (void)std::fprintf(
          stderr,
          "convert3do: %s: cannot read the input at byte %lld: %s; %s keeps the %lld "
          "chunk bytes before it\n",
          input, end, std::strerror(result.error), output, kept);
      break;
    case Outcome::WriteFailed:
      (void)std::fprintf(stderr, "convert3do: %s: cannot write the output: %s%s\n", output,
                         std::strerror(result.error),
                         result.error == ESPIPE ? " (the output must be a seekable file)" : "");
      break;
  }
}

// Removes what a failed run left of the output, if it is the regular file that
// this run created or emptied; devices, FIFOs and other files are left alone.
void removePartialOutput(const FileIdentity& opened, const char* output) {
  const FileIdentity entry = identifyEntry(output);
  if (opened.regular && entry.regular && sameFile(entry, opened) && std::remove(output) != 0) {
    (void)std::fprintf(stderr, "convert3do: %s: cannot remove the partial output: %s\n", output,
                       std::strerror(errno));
  }
}

// The input is only ever read, so closing it cannot lose data.
void closeInput(std::FILE* in) {
  (void)std::fclose(in);
}

}  // namespace

int exitStatusFor(Outcome outcome) {
  const ExitRow* row = std::find_if(std::begin(kExitTable), std::end(kExitTable),
                                    [outcome](const ExitRow& r) { return r.outcome == outcome; });
  return row != std::end(kExitTable) ? row->status : kExitOutputFailed;
}

int runTool(int argc, char** argv) {
  if (argc == 2) {
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      return say(kUsage) ? kExitOk : kExitOutputFailed;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
      return say("convert3do " CONVERT3DO_VERSION "\n") ? kExitOk : kExitOutputFailed;
    }
    (void)std::fprintf(stderr, "convert3do: %s: no output file named after the input\n%s", argv[1],
                       kUsage);
    return kExitUsage;
  }
  const char* input = argc >= 3 ? argv[1] : kDefaultInput;
  const char* output = argc >= 3 ? argv[2] : kDefaultOutput;

  std::FILE* in = std::fopen(input, "rb+");
  if (in == nullptr) {
    say(kFileNotFound);
    return kExitInputNotFound;
  }
  // "wb+" empties the file it opens, so an output that is the input under any
  // name must be refused before it is opened.
  if (sameFile(identifyStream(in), identifyPath(output))) {
    (void)std::fprintf(
        stderr, "convert3do: %s: is the same file as the input %s; refusing to overwrite it\n",
        output, input);
    closeInput(in);
    return kExitUsage;
  }
  std::FILE* out = std::fopen(output, "wb+");
  if (out == nullptr) {
    (void)std::fprintf(stderr, "convert3do: %s: cannot create the output: %s\n", output,
                       std::strerror(errno));
    closeInput(in);
    return kExitOutputFailed;
  }
  const FileIdentity opened = identifyStream(out);

  ConversionResult result = convertFile(in, out);
  closeInput(in);
  if (result.outcome == Outcome::WriteFailed) {
    // Leave no partial data even behind a symlink (truncateOutput leaves
    // devices and FIFOs alone); the file is removed below, and the write has
    // failed already, so these results change nothing.
    (void)truncateOutput(out, 0);
    (void)std::fclose(out);
    removePartialOutput(opened, output);
  } else if (std::fclose(out) != 0) {
    result.outcome = Outcome::WriteFailed;
    result.error = errno;
    removePartialOutput(opened, output);
  }
  reportOutcome(result, input, output);
  return exitStatusFor(result.outcome);
}

}  // namespace convert3do
