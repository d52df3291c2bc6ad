#include "convert/convert.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "convert/output_file.h"
#include "format/chunk.h"

namespace convert3do {

namespace {

// Input is read, and output written, in blocks of this size. The fuzzer builds
// with a tiny window, so that its small inputs cross many window boundaries.
#ifdef CONVERT3DO_WINDOW_BYTES
constexpr std::size_t kWindowBytes = CONVERT3DO_WINDOW_BYTES;
#else
constexpr std::size_t kWindowBytes = std::size_t{128} * 1024;
#endif
static_assert(kWindowBytes >= kEntryBytes, "the window must hold a whole XYZS entry");

// A window onto the input, which is also the output buffer: the output is the
// walked part of the input with XYZS entries rewritten in place, so bytes
// [flushed, pos) have been walked and are due for the output, and bytes
// [pos, len) are still to be walked.
struct Window {
  std::FILE* in;
  std::FILE* out;
  unsigned char* bytes;
  std::size_t flushed;
  std::size_t pos;
  std::size_t len;
  std::int64_t base;     // the input offset of bytes[0]
  std::int64_t written;  // bytes written to the output so far
  int error;             // errno of a failed read or write
};

enum class Step { Ok, InputEnded, ReadFailed, WriteFailed };

std::size_t available(const Window& w) {
  return w.len - w.pos;
}

std::int64_t offsetOf(const Window& w) {
  return w.base + static_cast<std::int64_t>(w.pos);
}

// The word at the cursor, or at a byte distance after it.
Word32 wordAt(const Window& w, std::size_t distance) {
  return decodeWord(w.bytes + w.pos + distance);
}

// Takes the word at the cursor into the output unchanged. As the window is the
// output buffer, that is only a step of the cursor past it.
void copyWord(Window& w) {
  w.pos += kWordBytes;
}

// Writes the walked bytes that are not written yet.
bool flushWalked(Window& w) {
  const std::size_t count = w.pos - w.flushed;
  if (count > 0 && std::fwrite(w.bytes + w.flushed, 1, count, w.out) != count) {
    w.error = errno;
    return false;
  }
  w.written += static_cast<std::int64_t>(count);
  w.flushed = w.pos;
  return true;
}

// Writes what has been walked, moves the unwalked rest to the front and reads
// the next block behind it.
Step refill(Window& w) {
  if (!flushWalked(w)) {
    return Step::WriteFailed;
  }
  const std::size_t rest = available(w);
  if (w.pos > 0) {
    std::memmove(w.bytes, w.bytes + w.pos, rest);
  }
  w.base = offsetOf(w);
  w.len = rest;
  w.pos = 0;
  w.flushed = 0;
  const std::size_t got = std::fread(w.bytes + w.len, 1, kWindowBytes - w.len, w.in);
  w.len += got;
  if (got > 0) {
    return Step::Ok;
  }
  if (std::ferror(w.in) != 0) {
    w.error = errno;
    return Step::ReadFailed;
  }
  return Step::InputEnded;
}

// Makes count bytes (at most one entry) available at the cursor, unless the
// input ends or fails first.
Step require(Window& w, std::size_t count) {
  while (available(w) < count) {
    const Step step = refill(w);
    if (step != Step::Ok) {
      return step;
    }
  }
  return Step::Ok;
}

// Walks an opaque payload of the given number of bytes.
Step copyPlainPayload(Window& w, std::int64_t bytes) {
  for (;;) {
    const std::int64_t take = std::min(bytes, static_cast<std::int64_t>(available(w)));
    w.pos += static_cast<std::size_t>(take);
    bytes -= take;
    if (bytes == 0) {
      return Step::Ok;
    }
    const Step step = refill(w);
    if (step != Step::Ok) {
      return step;
    }
  }
}

// Walks XYZS entries, writing 1 over each entry's first word in place. An entry
// cut by the end of the window is moved to the front with the next refill, so
// every entry is rewritten whole.
Step copyXyzsEntries(Window& w, std::int64_t entries) {
  for (;;) {
    const std::int64_t whole =
        std::min(entries, static_cast<std::int64_t>(available(w) / kEntryBytes));
    for (std::int64_t i = 0; i < whole; ++i) {
      encodeWord(1, w.bytes + w.pos);
      w.pos += kEntryBytes;
    }
    entries -= whole;
    if (entries == 0) {
      return Step::Ok;
    }
    const Step step = require(w, kEntryBytes);
    if (step != Step::Ok) {
      return step;
    }
  }
}

// The outcome of a step that did not succeed; an input that ended early is
// reported as whenInputEnded.
Outcome outcomeOf(Step step, Outcome whenInputEnded) {
  switch (step) {
    case Step::ReadFailed:
      return Outcome::ReadFailed;
    case Step::WriteFailed:
      return Outcome::WriteFailed;
    case Step::InputEnded:
    case Step::Ok:
      break;
  }
  return whenInputEnded;
}

// Writes the complete chunks still in the window, cuts off anything of a
// damaged chunk that reached the output, and patches the length field.
bool finishOutput(Window& w, std::int64_t outputStart, std::int64_t bytesWritten) {
  // Everything complete has been walked, so the walked bytes reach at least to
  // the end of the last complete chunk.
  const std::int64_t wanted = kFileHeaderBytes + bytesWritten;
  w.pos = w.flushed + static_cast<std::size_t>(std::max<std::int64_t>(0, wanted - w.written));
  if (!flushWalked(w)) {
    return false;
  }
  const std::int64_t lengthFieldPos = outputStart + kLengthFieldOffset;
  unsigned char length[kWordBytes];
  encodeWord(static_cast<Word32>(bytesWritten), length);
  if (std::fflush(w.out) != 0 ||
      (w.written != wanted && !truncateOutput(w.out, outputStart + wanted)) ||
      std::fseek(w.out, static_cast<long>(lengthFieldPos), SEEK_SET) != 0 ||
      std::fwrite(length, 1, kWordBytes, w.out) != kWordBytes || std::fflush(w.out) != 0) {
    w.error = errno;
    return false;
  }
  return true;
}

}  // namespace

ConversionResult convertFile(std::FILE* in, std::FILE* out) {
  unsigned char bytes[kWindowBytes];
  Window w{in, out, bytes, 0, 0, 0, 0, 0, 0};
  ConversionResult result;
  const auto finish = [&](Outcome outcome) {
    result.outcome = outcome;
    result.error = w.error;
    return result;
  };

  // The whole header is in the window before anything is written, so an input
  // that is not a 3do file, or whose header is cut short, leaves the output
  // empty.
  Step step = require(w, kWordBytes);
  if (step == Step::ReadFailed) {
    return finish(Outcome::ReadFailed);
  }
  if (step != Step::Ok || wordAt(w, 0) != kMagic) {
    return finish(Outcome::BadMagic);
  }
  step = require(w, kFileHeaderBytes);
  if (step != Step::Ok) {
    result.inputEnd = w.base + static_cast<std::int64_t>(w.len);
    return finish(outcomeOf(step, Outcome::CutHeader));
  }
  // Also proves that the output can be seeked, before anything is written: a
  // pipe fails here rather than after the whole copy.
  const long outputStart = std::ftell(out);
  if (outputStart < 0) {
    w.error = errno;
    return finish(Outcome::WriteFailed);
  }
  const Word32 bodyLength = wordAt(w, 2 * kWordBytes);
  copyWord(w);  // the magic
  copyWord(w);  // the opaque header word
  copyWord(w);  // the length field, a placeholder patched at the end

  // Every recognised chunk is written at the size it has in the input, so the
  // bytes written are also the bytes of the chunk area consumed. The bound is
  // checked only before a chunk starts; the last chunk is copied whole.
  std::int64_t bytesWritten = 0;
  Outcome outcome = Outcome::Converted;
  while (bytesWritten < bodyLength) {
    result.chunkOffset = offsetOf(w);
    step = require(w, kWordBytes);
    if (step == Step::InputEnded && available(w) == 0) {
      break;  // The input ends exactly at a chunk boundary: a normal end.
    }
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    const std::optional<ChunkTag> tag = recognizeTag(wordAt(w, 0));
    if (!tag) {
      break;  // An unrecognised chunk ends the copy; its tag is not written.
    }
    step = require(w, kChunkHeaderBytes);
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    const Word32 payloadLength = wordAt(w, 2 * kWordBytes);
    const std::int64_t size = chunkSize(*tag, payloadLength);
    if (bytesWritten + size > kMaxBodyLength) {
      result.payloadLength = payloadLength;
      outcome = Outcome::ChunkTooLarge;
      break;
    }
    copyWord(w);  // the tag
    copyWord(w);  // the opaque chunk word
    copyWord(w);  // the payload length
    step = *tag == ChunkTag::Xyzs ? copyXyzsEntries(w, xyzsEntries(payloadLength))
                                  : copyPlainPayload(w, size - kChunkHeaderBytes);
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    bytesWritten += size;
  }
  result.inputEnd = w.base + static_cast<std::int64_t>(w.len);

  result.bytesWritten = bytesWritten;
  if (outcome == Outcome::WriteFailed || !finishOutput(w, outputStart, bytesWritten)) {
    return finish(Outcome::WriteFailed);
  }
  return finish(outcome);
}

}  // namespace convert3do
