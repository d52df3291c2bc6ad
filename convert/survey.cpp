#include "convert/survey.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "convert/file_io.h"
#include "format/chunk.h"

namespace convert3do {

namespace {

constexpr std::size_t kBufferBytes = std::size_t{64} * 1024;

// Buffered reading that can step over bytes: by seeking on a regular file, by
// reading and dropping them on anything else.
struct Reader {
  int fd = -1;
  bool seekable = false;
  std::int64_t origin = 0;    // where a seekable input was when the walk began
  std::int64_t fileSize = 0;  // for a seekable input, from the origin on
  std::unique_ptr<unsigned char[]> bytes;  // kBufferBytes, not cleared: only read into
  std::size_t pos = 0;
  std::size_t len = 0;
  std::int64_t base = 0;  // the input offset of bytes[0]
  bool ended = false;
  int error = 0;

  std::int64_t offset() const { return base + static_cast<std::int64_t>(pos); }
  std::size_t available() const { return len - pos; }
  const unsigned char* at() const { return bytes.get() + pos; }

  // Reads until count bytes (a few words) are at the cursor or the input
  // ends or fails; returns the bytes there.
  std::size_t fill(std::size_t count) {
    while (available() < count && !ended && error == 0) {
      if (pos > 0) {
        std::memmove(bytes.get(), at(), available());
        base += static_cast<std::int64_t>(pos);
        len -= pos;
        pos = 0;
      }
      const std::int64_t got = readSome(fd, bytes.get() + len, kBufferBytes - len);
      if (got > 0) {
        len += static_cast<std::size_t>(got);
      } else if (got == 0) {
        ended = true;
      } else {
        error = errno;
      }
    }
    return available();
  }

  // Steps over count bytes; returns how many there were before the input
  // ended or failed.
  std::int64_t skip(std::int64_t count) {
    const std::int64_t buffered = std::min(count, static_cast<std::int64_t>(available()));
    pos += static_cast<std::size_t>(buffered);
    if (buffered == count) {
      return count;
    }
    const std::int64_t start = offset();
    if (seekable) {
      const std::int64_t target = std::min(start + count - buffered, fileSize);
      if (seekFile(fd, origin + target, SEEK_SET) != origin + target) {
        error = errno;
        return buffered;
      }
      base = target;
      pos = len = 0;
      ended = target == fileSize;
      return buffered + (target - start);
    }
    std::int64_t left = count - buffered;
    while (left > 0 && fill(1) > 0) {
      const std::int64_t take = std::min(left, static_cast<std::int64_t>(available()));
      pos += static_cast<std::size_t>(take);
      left -= take;
    }
    return count - left;
  }

  // The size of the input: what a regular file states, or for a stream as
  // much as the walk read. A stream is not read past the walk's end, so a
  // writer that keeps it open cannot make the walk wait.
  std::int64_t totalSize() const { return seekable ? fileSize : offset(); }
};

}  // namespace

bool tagIsPrintable(Word32 tag) {
  const auto bits = static_cast<std::uint32_t>(tag);
  for (int shift = 0; shift < 32; shift += 8) {
    const std::uint32_t c = (bits >> shift) & 0xFFu;
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

Inspection inspectFile(int fd, const ChunkVisitor& visit) {
  Reader r;
  r.fd = fd;
  r.bytes.reset(new unsigned char[kBufferBytes]);
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    r.origin = seekFile(fd, 0, SEEK_CUR);
    r.seekable = r.origin >= 0;
    r.fileSize = static_cast<std::int64_t>(info.st_size) - r.origin;
  }

  Inspection s;
  const auto finish = [&]() {
    s.size = r.totalSize();
    s.alreadyConverted =
        s.outcome == Outcome::Converted && s.wordsChanged == 0 && s.outputSize == s.size;
    return s;
  };
  // Damage at byte `where` inside the chunk at `chunk` (0: the header); a
  // read error rather than an early end makes it a read failure.
  const auto damaged = [&](Outcome cut, std::int64_t where, std::int64_t chunk) {
    s.end = WalkEnd::Damaged;
    s.outcome = r.error != 0 ? Outcome::ReadFailed : cut;
    s.error = r.error;
    s.damageOffset = where;
    s.damageChunk = chunk;
  };

  std::size_t got = r.fill(kWordBytes);
  if (got < kWordBytes && r.error != 0) {
    damaged(Outcome::ReadFailed, static_cast<std::int64_t>(got), 0);
    return finish();
  }
  if (got < kWordBytes || decodeWord(r.at()) != kMagic) {
    s.outcome = Outcome::BadMagic;
    return finish();
  }
  s.is3do = true;
  got = r.fill(kFileHeaderBytes);
  if (got < kFileHeaderBytes) {
    damaged(Outcome::CutHeader, static_cast<std::int64_t>(got), 0);
    return finish();
  }
  s.headerComplete = true;
  s.header = decodeFileHeader(r.at());
  r.skip(kFileHeaderBytes);
  s.outcome = Outcome::Converted;
  s.end = WalkEnd::Bound;

  std::int64_t consumed = 0;
  while (walkGoesOn(consumed, s.header.bodyLength)) {
    const std::int64_t chunk = r.offset();
    got = r.fill(kWordBytes);
    if (got == 0 && r.error == 0) {
      s.end = WalkEnd::EndOfInput;
      break;
    }
    if (got < kWordBytes) {
      damaged(Outcome::CutChunk, chunk + static_cast<std::int64_t>(got), chunk);
      break;
    }
    const Word32 tag = decodeWord(r.at());
    if (!recognizeTag(tag)) {
      s.end = WalkEnd::UnrecognisedTag;
      s.endOffset = chunk;
      s.endTag = tag;
      r.pos += kWordBytes;  // read, as the conversion reads it
      break;
    }
    got = r.fill(kChunkHeaderBytes);
    if (got < kChunkHeaderBytes) {
      damaged(Outcome::CutChunk, chunk + static_cast<std::int64_t>(got), chunk);
      break;
    }
    ChunkRecord record;
    record.offset = chunk;
    record.tag = tag;
    record.chunkWord = decodeWord(r.at() + kWordBytes);
    record.payloadLength = decodeWord(r.at() + 2 * kWordBytes);
    const ChunkPlan plan = planChunk(tag, record.payloadLength, consumed);
    if (!plan.fits) {
      damaged(Outcome::ChunkTooLarge, chunk, chunk);
      s.damagePayloadLength = record.payloadLength;
      s.damageAreaEnd = plan.areaEnd;
      break;
    }
    record.size = plan.size;
    r.skip(kChunkHeaderBytes);
    std::int64_t walked = kChunkHeaderBytes;
    if (*plan.tag == ChunkTag::Xyzs) {
      // Entries are read, to count the first words that are not 1 yet.
      record.entries = entriesOf(*plan.tag, plan.size);
      for (std::int64_t i = 0; i < record.entries; ++i) {
        got = r.fill(kEntryBytes);
        if (got < kEntryBytes) {
          walked += static_cast<std::int64_t>(got);
          break;
        }
        record.entriesToChange += decodeWord(r.at()) != 1 ? 1 : 0;
        r.skip(kEntryBytes);
        walked += kEntryBytes;
      }
    } else {
      walked += r.skip(plan.size - kChunkHeaderBytes);
    }
    if (walked < plan.size) {
      damaged(Outcome::CutChunk, chunk + walked, chunk);
      break;
    }
    visit(record);
    ++s.chunkCount;
    s.wordsChanged += record.entriesToChange;
    consumed = plan.areaEnd;
  }
  s.chunkBytes = consumed;
  if (s.end == WalkEnd::Bound) {
    s.overrun = std::max<std::int64_t>(0, consumed - std::max<Word32>(0, s.header.bodyLength));
  }
  // Every ending after a whole header writes the header and the complete
  // chunks, with the length field stating them.
  s.outputSize = kFileHeaderBytes + consumed;
  if (consumed != s.header.bodyLength) {
    ++s.wordsChanged;
  }
  return finish();
}

}  // namespace convert3do
