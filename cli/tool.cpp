#include "cli/tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

void reportOutcome(const ConversionResult& result, const char* input, const char* output) {
  const auto offset = static_cast<long long>(result.chunkOffset);
  const auto end = static_cast<long long>(result.inputEnd);
  const auto kept = static_cast<long long>(result.bytesWritten);
  switch (result.outcome) {
    case Outcome::Converted:
      break;
    case Outcome::BadMagic:
      std::fputs(kNotA3do, stdout);
      break;
    case Outcome::CutHeader:
      std::fprintf(stderr,
                   "convert3do: %s: damaged input: the file ends at byte %lld, inside its "
                   "12-byte header; %s is left empty\n",
                   input, end, output);
      break;
    case Outcome::CutChunk:
      std::fprintf(stderr,
                   "convert3do: %s: damaged input: the file ends at byte %lld, inside the chunk "
                   "at byte %lld; %s keeps the %lld chunk bytes before it\n",
                   input, end, offset, output, kept);
      break;
    case Outcome::ChunkTooLarge:
      std::fprintf(stderr,
                   "convert3do: %s: damaged input: the chunk at byte %lld has payload length "
                   "%ld, more than a 3do file can hold; %s keeps the %lld chunk bytes before it\n",
                   input, offset, static_cast<long>(result.payloadLength), output, kept);
      break;
    case Outcome::ReadFailed:
      std::fprintf(stderr,
                   "convert3do: %s: cannot read the input at byte %lld: %s; %s keeps the %lld "
                   "chunk bytes before it\n",
                   input, end, std::strerror(result.error), output, kept);
      break;
    case Outcome::WriteFailed:
      std::fprintf(stderr, "convert3do: %s: cannot write the output: %s%s\n", output,
                   std::strerror(result.error),
                   result.error == ESPIPE ? " (the output must be a seekable file)" : "");
      break;
  }
}

// Removes what a failed run left of the output, if it is the regular file that
// this run created or emptied; devices, FIFOs and other files are left alone.
void removePartialOutput(const FileIdentity& opened, const char* output) {
  const FileIdentity entry = identifyEntry(output);
  if (opened.regular && entry.regular && sameFile(entry, opened)) {
    std::remove(output);
  }
}

}  // namespace

int exitStatusFor(Outcome outcome) {
  for (const ExitRow& row : kExitTable) {
    if (row.outcome == outcome) {
      return row.status;
    }
  }
  return kExitOutputFailed;
}

int runTool(int argc, char** argv) {
  if (argc == 2) {
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
      std::fputs("convert3do " CONVERT3DO_VERSION "\n", stdout);
      return kExitOk;
    }
    std::fprintf(stderr, "convert3do: %s: no output file named after the input\n%s", argv[1],
                 kUsage);
    return kExitUsage;
  }
  const char* input = argc >= 3 ? argv[1] : kDefaultInput;
  const char* output = argc >= 3 ? argv[2] : kDefaultOutput;

  std::FILE* in = std::fopen(input, "rb+");
  if (in == nullptr) {
    std::fputs(kFileNotFound, stdout);
    return kExitInputNotFound;
  }
  // "wb+" empties the file it opens, so an output that is the input under any
  // name must be refused before it is opened.
  if (sameFile(identifyStream(in), identifyPath(output))) {
    std::fprintf(stderr,
                 "convert3do: %s: is the same file as the input %s; refusing to overwrite it\n",
                 output, input);
    std::fclose(in);
    return kExitUsage;
  }
  std::FILE* out = std::fopen(output, "wb+");
  if (out == nullptr) {
    std::fprintf(stderr, "convert3do: %s: cannot create the output: %s\n", output,
                 std::strerror(errno));
    std::fclose(in);
    return kExitOutputFailed;
  }
  const FileIdentity opened = identifyStream(out);

  ConversionResult result = convertFile(in, out);
  std::fclose(in);  // Only ever read, so closing it cannot lose data.
  if (result.outcome == Outcome::WriteFailed) {
    if (opened.regular) {
      truncateOutput(out, 0);  // Even behind a symlink, leave no partial data.
    }
    std::fclose(out);
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
