#include "cli/common/file_convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/common/file_io.h"
#include "format/chunk.h"

namespace convert3do {

namespace {

static_assert(kWindowLead >= kEntryBytes, "the lead must hold the rest of an XYZS entry");

// The window onto the input, which is also the output buffer: the output is
// the walked part of the input with XYZS entries rewritten in place, so bytes
// [flushed, pos) have been walked and are due for the output, and bytes
// [pos, len) are still to be walked.
//
// Reads fill the window from the lead's end to its end, each read going on
// where the last stopped. When the window is full its walked bytes are
// written, the unwalked rest moves to just before the lead's end and the next
// read starts there again.
struct Window {
  unsigned char* bytes;
  std::size_t end;
  std::size_t flushed = kWindowLead;
  std::size_t pos = kWindowLead;
  std::size_t len = kWindowLead;
  std::int64_t written = 0;  // bytes written to the output so far
};

// Writes the walked bytes up to upTo.
bool flushWalked(int out, Window& w, std::size_t upTo) {
  const std::size_t count = upTo - w.flushed;
  if (count > 0 && !writeAll(out, w.bytes + w.flushed, count)) {
    return false;
  }
  w.written += static_cast<std::int64_t>(count);
  w.flushed = upTo;
  return true;
}

// Starts the window over, keeping the unwalked rest.
void restartWindow(Window& w) {
  const std::size_t rest = w.len - w.pos;
  const std::size_t restStart = kWindowLead - rest;
  std::memmove(w.bytes + restStart, w.bytes + w.pos, rest);
  w.pos = w.flushed = restStart;
  w.len = kWindowLead;
}

// Writes the complete chunks still in the window, cuts off anything of a
// damaged chunk that reached the output, and then writes the header over the
// placeholder.
bool finishOutput(int out, Window& w, std::int64_t outputStart, const ConversionResult& result,
                  const unsigned char* header) {
  const std::int64_t wanted = result.outputLength;
  const std::int64_t due = std::max<std::int64_t>(
      0, std::min<std::int64_t>(static_cast<std::int64_t>(w.pos - w.flushed), wanted - w.written));
  return flushWalked(out, w, w.flushed + static_cast<std::size_t>(due)) &&
         (w.written == wanted || truncateFile(out, outputStart + wanted)) &&
         seekFile(out, outputStart, SEEK_SET) == outputStart &&
         writeAll(out, header, kFileHeaderBytes);
}

ConversionResult writeFailed(ConversionResult result) {
  result.outcome = Outcome::WriteFailed;
  result.error = errno;
  return result;
}

}  // namespace

ConversionResult convertFile(int in, int out, const ConversionWindow& window) {
  Window w{window.bytes, kWindowLead + window.size};
  Conversion c;
  unsigned char header[kFileHeaderBytes];
  std::int64_t outputStart = -1;
  int readError = 0;
  while (!conversionEnded(c)) {
    if (w.len == w.end) {
      if (!flushWalked(out, w, w.pos)) {
        return writeFailed(finishConversion(c, header));
      }
      restartWindow(w);
    }
    const std::int64_t got = readSome(in, w.bytes + w.len, w.end - w.len);
    if (got < 0) {
      readError = errno;
      failConversionRead(c);
      break;
    }
    w.len += static_cast<std::size_t>(got);
    w.pos += convertInPlace(c, w.bytes + w.pos, w.len - w.pos, got == 0);
    // Also proves that the output can be seeked before anything is written:
    // a pipe fails here rather than after the whole copy.
    if (outputStart < 0 && w.pos > w.flushed) {
      outputStart = seekFile(out, 0, SEEK_CUR);
      if (outputStart < 0) {
        return writeFailed(finishConversion(c, header));
      }
    }
  }
  ConversionResult result = finishConversion(c, header);
  result.error = readError;
  if (result.outputLength > 0 && !finishOutput(out, w, outputStart, result, header)) {
    return writeFailed(result);
  }
  return result;
}

}  // namespace convert3do
