// The one walk over a 3do file, as a resumable state machine over buffers.
//
// The walk is handed the input in pieces of any size. It takes whole units
// from each piece (the file header, a chunk header, an XYZS entry, or any run
// of an opaque payload) and stops before a unit the piece holds only part of;
// the caller hands that rest back at the front of the next piece. It says
// what it meets to a sink: the conversion's sink rewrites entries in place,
// the survey's records chunks. Both are driven by this one walk, so they
// cannot disagree on where a walk goes on, where it ends and why.
//
// No I/O, no allocation, no globals: the state is a plain value.
#ifndef CONVERT3DO_CONVERT_WALKER_H
#define CONVERT3DO_CONVERT_WALKER_H

#include <cstddef>
#include <cstdint>

#include "format/chunk.h"
#include "format/walk.h"
#include "format/word32.h"

namespace convert3do {

enum class Outcome {
  Converted,      // header copied, chunks walked, length field patched
  BadMagic,       // the first word is not "3DO4"; nothing written
  CutHeader,      // the input ends inside the file header; nothing written
  CutChunk,       // the input ends inside a chunk; the complete chunks are kept
  ChunkTooLarge,  // a chunk would take the chunk area past the length field's range
  ReadFailed,     // the input reported a read error; the complete chunks are kept
  WriteFailed,    // a write, flush, seek or truncation of the output failed
};

// Why the walk ended.
enum class WalkEnd {
  Bound,            // the chunks walked reached the length field
  UnrecognisedTag,  // a chunk with a tag that is not recognised
  EndOfInput,       // the input ended at a chunk boundary before the bound
  Damaged,          // cut short, a chunk too large, or a read error
  NotA3do,          // the file does not start with the magic
  Stopped,          // a survey's caller stopped it after a chunk
};

// Where a walk found damage: where a cut input ends or could not be read on,
// or where a chunk too large starts (at); the chunk it is in (chunk; 0 for the
// file header); and for a chunk too large its payload length and the chunk
// area it would make.
struct Damage {
  std::int64_t at = 0;
  std::int64_t chunk = 0;
  Word32 payloadLength = 0;
  std::int64_t areaEnd = 0;
};

// A chunk the walk keeps.
struct ChunkRecord {
  std::int64_t offset = 0;  // of its header, in the file
  Word32 tag = 0;
  Word32 chunkWord = 0;
  Word32 payloadLength = 0;
  std::int64_t size = 0;             // header included
  std::int64_t entries = 0;          // XYZS entries
  std::int64_t entriesToChange = 0;  // XYZS entries whose first word is not 1 yet
};

enum class WalkPhase : std::uint8_t {
  FileHeader,   // the 12-byte file header is next
  ChunkHeader,  // a chunk header, or the end of the walk, is next
  Entries,      // XYZS entries of the current chunk are next
  Payload,      // opaque payload bytes of the current chunk are next
  Ended,
};

struct WalkState {
  WalkPhase phase = WalkPhase::FileHeader;
  std::int64_t offset = 0;     // the input offset of the next byte to walk
  std::int64_t inputSeen = 0;  // the input bytes the walk has been shown
  FileHeader header;
  bool is3do = false;
  bool headerComplete = false;
  std::int64_t areaWalked = 0;  // the chunk bytes of the complete chunks
  std::int64_t chunkCount = 0;
  std::int64_t left = 0;  // of the current chunk: entries, or payload bytes
  ChunkRecord chunk;      // the current chunk
  std::int64_t areaEnd = 0;
  // How the walk ended.
  WalkEnd end = WalkEnd::NotA3do;
  Outcome outcome = Outcome::BadMagic;
  bool starved = false;        // it ended because the input ended
  bool tagRead = false;        // it read the tag word of an unrecognised chunk
  std::int64_t endOffset = 0;  // of that chunk
  Word32 endTag = 0;
  Damage damage;  // when it ended Damaged
};

namespace walk_detail {

inline void endWalk(WalkState& s, WalkEnd end, Outcome outcome) {
  s.phase = WalkPhase::Ended;
  s.end = end;
  s.outcome = outcome;
}

// The input ended inside a unit: damage at the input's end.
inline void endCut(WalkState& s, Outcome outcome, std::int64_t chunk) {
  endWalk(s, WalkEnd::Damaged, outcome);
  s.starved = true;
  s.damage.at = s.inputSeen;
  s.damage.chunk = chunk;
}

inline void finishChunk(WalkState& s) {
  s.areaWalked = s.areaEnd;
  ++s.chunkCount;
  s.phase = WalkPhase::ChunkHeader;
}

// The steps of a walk, one for each phase (and the chunks that lie wholly
// in the bytes, the walk's tight loop). Each takes the bytes from pos on,
// moves pos past what it walked, and returns false when walkBytes is to
// return: for want of input, or as the walk has ended.

template <class Sink, class Byte>
inline bool walkFileHeader(WalkState& s, Byte* bytes, std::size_t count, std::size_t& pos,
                           bool inputEnded, Sink& sink) {
  const std::size_t available = count - pos;
  if (available < kWordBytes || (decodeWord(bytes + pos) == kMagic &&
                                 available < static_cast<std::size_t>(kFileHeaderBytes))) {
    if (inputEnded && available < kWordBytes) {
      endWalk(s, WalkEnd::NotA3do, Outcome::BadMagic);
      s.starved = true;
    } else if (inputEnded) {
      s.is3do = true;
      endCut(s, Outcome::CutHeader, 0);
    }
    return false;
  }
  if (decodeWord(bytes + pos) != kMagic) {
    endWalk(s, WalkEnd::NotA3do, Outcome::BadMagic);
    return false;
  }
  s.is3do = s.headerComplete = true;
  s.header = decodeFileHeader(bytes + pos);
  sink.header(bytes + pos);
  pos += kFileHeaderBytes;
  s.phase = WalkPhase::ChunkHeader;
  s.end = WalkEnd::Bound;
  s.outcome = Outcome::Converted;
  return true;
}

// The chunks that lie wholly in the bytes, in a tight loop; it leaves to
// walkChunkHeader a chunk cut by the bytes' end, an unrecognised tag, a
// chunk the length field cannot state. False when the walk ended here: at
// the bound, or stopped by the sink.
template <class Sink, class Byte>
inline bool walkWholeChunks(WalkState& s, Byte* bytes, std::size_t count, std::size_t& pos,
                            Sink& sink) {
  std::int64_t walked = s.areaWalked;
  const Word32 bound = s.header.bodyLength;
  const std::int64_t base = s.offset;
  std::int64_t chunks = s.chunkCount;  // in registers: the sink's writes could alias s
  std::size_t at = pos;
  while (walkGoesOn(walked, bound) && count - at >= kChunkHeaderBytes) {
    const Word32 tagWord = decodeWord(bytes + at);
    const ChunkPlan plan = planChunk(tagWord, decodeWord(bytes + at + 2 * kWordBytes), walked);
    if (!plan.tag || !plan.fits || plan.size > static_cast<std::int64_t>(count - at)) {
      break;
    }
    sink.wholeChunk(bytes + at, tagWord, plan, base + static_cast<std::int64_t>(at));
    at += static_cast<std::size_t>(plan.size);
    walked = plan.areaEnd;
    ++chunks;
    if (sink.stopped()) {
      break;
    }
  }
  pos = at;
  s.areaWalked = walked;
  s.chunkCount = chunks;
  if (sink.stopped()) {
    endWalk(s, WalkEnd::Stopped, s.outcome);
    return false;
  }
  if (!walkGoesOn(walked, bound)) {
    endWalk(s, WalkEnd::Bound, Outcome::Converted);
    return false;
  }
  return true;
}

// The chunk at pos, not wholly in the bytes or not walked on: its header
// read, the walk goes on into its payload; or the walk ends there.
template <class Sink, class Byte>
inline bool walkChunkHeader(WalkState& s, Byte* bytes, std::size_t count, std::size_t& pos,
                            bool inputEnded, Sink& sink) {
  const std::size_t rest = count - pos;
  const std::int64_t chunk = s.offset + static_cast<std::int64_t>(pos);
  if (rest < kWordBytes || (recognizeTag(decodeWord(bytes + pos)) &&
                            rest < static_cast<std::size_t>(kChunkHeaderBytes))) {
    if (inputEnded && rest == 0) {
      endWalk(s, WalkEnd::EndOfInput, Outcome::Converted);
      s.starved = true;
    } else if (inputEnded) {
      endCut(s, Outcome::CutChunk, chunk);
    }
    return false;
  }
  const Word32 tagWord = decodeWord(bytes + pos);
  if (!recognizeTag(tagWord)) {
    // An unrecognised chunk ends the walk; its tag word has been read.
    endWalk(s, WalkEnd::UnrecognisedTag, Outcome::Converted);
    s.tagRead = true;
    s.endOffset = chunk;
    s.endTag = tagWord;
    return false;
  }
  const Word32 payloadLength = decodeWord(bytes + pos + 2 * kWordBytes);
  const ChunkPlan plan = planChunk(tagWord, payloadLength, s.areaWalked);
  if (!plan.fits) {
    endWalk(s, WalkEnd::Damaged, Outcome::ChunkTooLarge);
    s.damage.at = s.damage.chunk = chunk;
    s.damage.payloadLength = payloadLength;
    s.damage.areaEnd = plan.areaEnd;
    return false;
  }
  s.chunk = ChunkRecord{
      chunk, tagWord, decodeWord(bytes + pos + kWordBytes), payloadLength, plan.size, 0, 0};
  s.areaEnd = plan.areaEnd;
  sink.chunkHeader(bytes + pos, s.chunk);
  pos += kChunkHeaderBytes;
  if (*plan.tag == ChunkTag::Xyzs) {
    s.chunk.entries = s.left = entriesOf(*plan.tag, plan.size);
    s.phase = WalkPhase::Entries;
  } else {
    s.left = plan.size - kChunkHeaderBytes;
    s.phase = WalkPhase::Payload;
  }
  return true;
}

// Whole entries of an XYZS chunk, or any run of another chunk's payload.
template <class Sink, class Byte>
inline bool walkPayload(WalkState& s, Byte* bytes, std::size_t count, std::size_t& pos,
                        bool inputEnded, Sink& sink) {
  const bool entries = s.phase == WalkPhase::Entries;
  const std::int64_t unit = entries ? kEntryBytes : 1;
  const auto whole = static_cast<std::int64_t>(count - pos) / unit;
  const std::int64_t take = whole < s.left ? whole : s.left;
  if (entries) {
    sink.entries(bytes + pos, take, s.chunk);
  } else {
    sink.payload(bytes + pos, take);
  }
  pos += static_cast<std::size_t>(take * unit);
  s.left -= take;
  if (s.left > 0) {
    if (inputEnded) {
      endCut(s, Outcome::CutChunk, s.chunk.offset);
    }
    return false;
  }
  sink.chunkDone(s.chunk);
  finishChunk(s);
  if (sink.stopped()) {
    endWalk(s, WalkEnd::Stopped, s.outcome);
    return false;
  }
  return true;
}

}  // namespace walk_detail

// Walks bytes[0, count), the input from s.offset on; inputEnded says that no
// input follows. Returns the bytes walked: the rest (less than one XYZS entry)
// is to be handed back at the front of the next call. With inputEnded the walk
// always ends. The sink is told of the header, of every chunk that lies wholly
// in the bytes, of the entries of a chunk that does not, and of each chunk
// when it is complete:
//   void header(Byte* bytes);                           // the file header's 12 bytes
//   void wholeChunk(Byte* chunk, Word32 tag, const ChunkPlan&, std::int64_t offset);
//   void chunkHeader(Byte* chunk, ChunkRecord&);        // the chunk continues past the bytes
//   void entries(Byte* first, std::int64_t count, ChunkRecord&);
//   void payload(Byte* first, std::int64_t count);      // opaque payload bytes walked
//   void chunkDone(const ChunkRecord&);
//   bool stopped();  // after a chunk is done: whether the walk is to end there
template <class Sink, class Byte>
std::size_t walkBytes(WalkState& s, Byte* bytes, std::size_t count, bool inputEnded, Sink& sink) {
  using namespace walk_detail;
  std::size_t pos = 0;
  s.inputSeen = s.offset + static_cast<std::int64_t>(count);
  bool goesOn = true;
  while (goesOn) {
    switch (s.phase) {
      case WalkPhase::FileHeader:
        goesOn = walkFileHeader(s, bytes, count, pos, inputEnded, sink);
        break;
      case WalkPhase::ChunkHeader:
        goesOn = walkWholeChunks(s, bytes, count, pos, sink) &&
                 walkChunkHeader(s, bytes, count, pos, inputEnded, sink);
        break;
      case WalkPhase::Entries:
      case WalkPhase::Payload:
        goesOn = walkPayload(s, bytes, count, pos, inputEnded, sink);
        break;
      case WalkPhase::Ended:
        goesOn = false;
        break;
    }
  }
  s.offset += static_cast<std::int64_t>(pos);
  return pos;
}

// Steps over count payload bytes that the caller did not hand to the walk
// (a survey seeks over them); only while the walk is in a payload.
inline void skipPayload(WalkState& s, std::int64_t count) {
  s.left -= count;
  s.offset += count;
  if (s.inputSeen < s.offset) {
    s.inputSeen = s.offset;
  }
}

// The input bytes an ended walk used, whatever the pieces it was given (see
// ConversionResult::inputEnd).
inline std::int64_t inputUsed(const WalkState& s) {
  if (s.outcome == Outcome::ChunkTooLarge) {
    return s.offset + kChunkHeaderBytes;
  }
  if (s.end == WalkEnd::Damaged) {
    return s.inputSeen;
  }
  if (s.end == WalkEnd::NotA3do) {
    return s.inputSeen < static_cast<std::int64_t>(kWordBytes)
               ? s.inputSeen
               : static_cast<std::int64_t>(kWordBytes);
  }
  return s.offset + (s.tagRead ? static_cast<std::int64_t>(kWordBytes) : 0);
}

// The walk was stopped by a read error: an ending for want of input becomes a
// read failure at the input's end.
inline void failRead(WalkState& s) {
  if (s.phase == WalkPhase::Ended && !s.starved) {
    return;
  }
  s.phase = WalkPhase::Ended;
  s.end = WalkEnd::Damaged;
  s.outcome = Outcome::ReadFailed;
  s.damage.at = s.inputSeen;
  s.damage.chunk = s.headerComplete ? kFileHeaderBytes + s.areaWalked : 0;
}

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_WALKER_H
