#include "convert/convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "convert/file_io.h"
#include "format/chunk.h"
#include "format/walk.h"

namespace convert3do {

namespace {

static_assert(kWindowBytes >= kEntryBytes, "the window must hold a whole XYZS entry");
constexpr std::size_t kLead = kWindowLead;
static_assert(kLead >= kEntryBytes + kWordBytes,
              "the lead must hold the rest of an XYZS entry after the spare word");

// Static rather than on the stack, so a small stack limit cannot crash a run.
ConversionWindow gWindow;

// The window onto the input, which is also the output buffer: the output is
// the walked part of the input with XYZS entries rewritten in place, so bytes
// [flushed, pos) have been walked and are due for the output, and bytes
// [pos, len) are still to be walked.
//
// Reads fill the window from kLead to its end, each read going on where the
// last stopped. When the window is full its walked bytes are written, the
// unwalked rest moves to just before kLead and the next read starts at kLead
// again. Block reads and writes are thus page aligned in memory and fall on
// file offsets that are multiples of the window size, which the kernel copies
// fastest. The rest is shorter than an XYZS entry, so the first word of the
// lead never holds input: it is the spare word that copyChunksInWindow writes
// to when a chunk has no entry to rewrite.
struct Window {
  int in;
  int out;
  unsigned char* bytes;
  std::size_t flushed;
  std::size_t pos;
  std::size_t len;
  std::int64_t base;     // the input offset of bytes[0]
  std::int64_t written;  // bytes written to the output so far
  int error;             // errno of a failed read or write
};

constexpr std::size_t kWindowEnd = kLead + kWindowBytes;

enum class Step { Ok, InputEnded, ReadFailed, WriteFailed };

std::size_t available(const Window& w) {
  return w.len - w.pos;
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
  if (count > 0 && !writeAll(w.out, w.bytes + w.flushed, count)) {
    w.error = errno;
    return false;
  }
  w.written += static_cast<std::int64_t>(count);
  w.flushed = w.pos;
  return true;
}

// Reads more of the input behind what the window holds; when the window is
// full, first writes what has been walked and starts it over.
Step refill(Window& w) {
  if (w.len == kWindowEnd) {
    if (!flushWalked(w)) {
      return Step::WriteFailed;
    }
    const std::size_t rest = available(w);
    const std::size_t restStart = kLead - rest;
    std::memmove(w.bytes + restStart, w.bytes + w.pos, rest);
    w.base += static_cast<std::int64_t>(w.pos) - static_cast<std::int64_t>(restStart);
    w.pos = restStart;
    w.flushed = restStart;
    w.len = kLead;
  }
  const std::int64_t got = readSome(w.in, w.bytes + w.len, kWindowEnd - w.len);
  if (got > 0) {
    w.len += static_cast<std::size_t>(got);
    return Step::Ok;
  }
  if (got < 0) {
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
    unsigned char* entry = w.bytes + w.pos;
    for (std::int64_t i = 0; i < whole; ++i, entry += kEntryBytes) {
      encodeWord(1, entry);
    }
    w.pos += static_cast<std::size_t>(whole) * kEntryBytes;
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

// Walks the chunks that lie wholly in the window, from the cursor on, with
// consumed chunk bytes walked before it; returns the chunk bytes walked then.
// It stops where the length field ends the walk, and leaves to the general
// step a chunk cut by the window's end, an unrecognised tag, and a chunk the
// length field cannot state.
//
// Small chunks spend their time here, and their kinds follow each other
// unpredictably, so nothing in the loop branches on the tag: the plan is
// computed from the tag word alongside the tag lookup, and the first word of
// a chunk's first entry is written as 1 into the chunk when it has entries
// and into the window's spare first word when it has none. Only a chunk of
// more than one entry loops.
std::int64_t copyChunksInWindow(Window& w, Word32 bodyLength, std::int64_t consumed) {
  unsigned char* const bytes = w.bytes;
  const std::size_t len = w.len;  // kept in a register: the writes below could alias w
  std::size_t pos = w.pos;
  while (walkGoesOn(consumed, bodyLength) && len - pos >= kChunkHeaderBytes) {
    const Word32 tagWord = decodeWord(bytes + pos);
    const ChunkPlan plan = planChunk(tagWord, decodeWord(bytes + pos + 2 * kWordBytes), consumed);
    if (!plan.tag || !plan.fits || plan.size > static_cast<std::int64_t>(len - pos)) {
      break;
    }
    // From the word, which equals *plan.tag here but is known sooner.
    const std::int64_t entries = entriesOf(static_cast<ChunkTag>(tagWord), plan.size);
    const std::size_t first = pos + kChunkHeaderBytes;
    encodeWord(1, bytes + (first & -static_cast<std::size_t>(entries > 0)));
    for (std::int64_t i = 1; i < entries; ++i) {
      encodeWord(1, bytes + first + i * kEntryBytes);
    }
    pos += static_cast<std::size_t>(plan.size);
    consumed = plan.areaEnd;
  }
  w.pos = pos;
  return consumed;
}

// Walks a recognised chunk that the window does not hold whole, header and
// payload, block by block.
Step copyChunk(Window& w, const ChunkPlan& plan) {
  copyWord(w);  // the tag
  copyWord(w);  // the opaque chunk word
  copyWord(w);  // the payload length
  return *plan.tag == ChunkTag::Xyzs ? copyXyzsEntries(w, entriesOf(*plan.tag, plan.size))
                                     : copyPlainPayload(w, plan.size - kChunkHeaderBytes);
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
// damaged chunk that reached the output, and then writes the header, with the
// length field stating the chunk bytes written, over the placeholder.
bool finishOutput(Window& w, std::int64_t outputStart, FileHeader header,
                  std::int64_t bytesWritten) {
  // Everything complete has been walked, so the walked bytes reach at least to
  // the end of the last complete chunk.
  const std::int64_t wanted = kFileHeaderBytes + bytesWritten;
  w.pos = w.flushed + static_cast<std::size_t>(std::max<std::int64_t>(0, wanted - w.written));
  if (!flushWalked(w)) {
    return false;
  }
  header.bodyLength = static_cast<Word32>(bytesWritten);
  unsigned char bytes[kFileHeaderBytes];
  encodeFileHeader(header, bytes);
  if ((w.written != wanted && !truncateFile(w.out, outputStart + wanted)) ||
      seekFile(w.out, outputStart, SEEK_SET) != outputStart ||
      !writeAll(w.out, bytes, sizeof bytes)) {
    w.error = errno;
    return false;
  }
  return true;
}

}  // namespace

ConversionResult convertFile(int in, int out) {
  return convertFile(in, out, gWindow);
}

ConversionResult convertFile(int in, int out, ConversionWindow& window) {
  Window w{in, out, window.bytes, kLead, kLead, kLead, -static_cast<std::int64_t>(kLead), 0, 0};
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
  const std::int64_t outputStart = seekFile(out, 0, SEEK_CUR);
  if (outputStart < 0) {
    w.error = errno;
    return finish(Outcome::WriteFailed);
  }
  const FileHeader header = decodeFileHeader(w.bytes + w.pos);
  // The header goes out as zeros and is written for real at the end.
  std::memset(w.bytes + w.pos, 0, kFileHeaderBytes);
  w.pos += kFileHeaderBytes;

  // Every recognised chunk is written at the size it has in the input, so the
  // bytes written are also the bytes of the chunk area consumed, and the next
  // chunk starts at their end.
  std::int64_t bytesWritten = 0;
  Outcome outcome = Outcome::Converted;
  for (;;) {
    // The fast walk goes as far as the window allows; it walks nothing when
    // the length field has already ended the walk.
    bytesWritten = copyChunksInWindow(w, header.bodyLength, bytesWritten);
    if (!walkGoesOn(bytesWritten, header.bodyLength)) {
      break;
    }
    // The general step, for the chunk the fast walk stopped at.
    if (available(w) < kChunkHeaderBytes) {
      // Near the window's end: the tag alone decides whether the walk goes
      // on, so an unrecognised tag at the input's very end is a normal end.
      step = require(w, kWordBytes);
      if (step == Step::InputEnded && available(w) == 0) {
        break;  // The input ends exactly at a chunk boundary: a normal end.
      }
      if (step != Step::Ok) {
        outcome = outcomeOf(step, Outcome::CutChunk);
        break;
      }
      if (!recognizeTag(wordAt(w, 0))) {
        break;
      }
      step = require(w, kChunkHeaderBytes);
      if (step != Step::Ok) {
        outcome = outcomeOf(step, Outcome::CutChunk);
        break;
      }
    }
    const Word32 payloadLength = wordAt(w, 2 * kWordBytes);
    const ChunkPlan plan = planChunk(wordAt(w, 0), payloadLength, bytesWritten);
    if (!plan.tag) {
      break;  // An unrecognised chunk ends the copy; its tag is not written.
    }
    if (!plan.fits) {
      result.payloadLength = payloadLength;
      result.areaEnd = plan.areaEnd;
      outcome = Outcome::ChunkTooLarge;
      break;
    }
    step = copyChunk(w, plan);
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    bytesWritten = plan.areaEnd;
  }
  // The chunk the walk ended in starts right after those it walked.
  result.chunkOffset = kFileHeaderBytes + bytesWritten;
  result.inputEnd = w.base + static_cast<std::int64_t>(w.len);

  result.bytesWritten = bytesWritten;
  if (outcome == Outcome::WriteFailed || !finishOutput(w, outputStart, header, bytesWritten)) {
    return finish(Outcome::WriteFailed);
  }
  return finish(outcome);
}

}  // namespace convert3do
