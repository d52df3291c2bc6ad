#include "convert/convert.h"

#include <cerrno>

#include "convert/output_file.h"
#include "format/chunk.h"

namespace convert3do {

namespace {

// How a single word step went.
enum class Step { Ok, InputEnded, ReadFailed, WriteFailed };

// The state of one conversion.
struct Pass {
  std::FILE* in;
  std::FILE* out;
  ConversionResult result;
};

Step readCounted(Pass& pass, Word32& value) {
  const std::size_t got = readWord(pass.in, value);
  pass.result.inputOffset += static_cast<std::int64_t>(got);
  if (got == kWordBytes) {
    return Step::Ok;
  }
  if (std::ferror(pass.in) != 0) {
    pass.result.error = errno;
    return Step::ReadFailed;
  }
  return Step::InputEnded;
}

Step writeChecked(Pass& pass, Word32 value) {
  if (!writeWord(pass.out, value)) {
    pass.result.error = errno;
    return Step::WriteFailed;
  }
  return Step::Ok;
}

// Reads one word and writes it unchanged.
Step copyWord(Pass& pass) {
  Word32 value = 0;
  const Step step = readCounted(pass, value);
  return step == Step::Ok ? writeChecked(pass, value) : step;
}

Step copyPlainPayload(Pass& pass, std::int64_t words) {
  for (std::int64_t i = 0; i < words; ++i) {
    const Step step = copyWord(pass);
    if (step != Step::Ok) {
      return step;
    }
  }
  return Step::Ok;
}

// Copies XYZS entries, writing 1 in place of each entry's first word.
Step copyXyzsEntries(Pass& pass, std::int64_t entries) {
  for (std::int64_t i = 0; i < entries; ++i) {
    Word32 discarded = 0;
    Step step = readCounted(pass, discarded);
    if (step == Step::Ok) {
      step = writeChecked(pass, 1);
    }
    if (step == Step::Ok) {
      step = copyPlainPayload(pass, kEntryWords - 1);
    }
    if (step != Step::Ok) {
      return step;
    }
  }
  return Step::Ok;
}

ConversionResult finish(Pass& pass, Outcome outcome) {
  pass.result.outcome = outcome;
  return pass.result;
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

// Makes the output a well-formed file again: drops anything after the
// complete chunks and states their length in the length field.
bool finishOutput(Pass& pass, long lengthFieldPos, std::int64_t bytesWritten, bool dropTail) {
  pass.result.bytesWritten = bytesWritten;
  if (std::fflush(pass.out) != 0 ||
      (dropTail && !truncateOutput(pass.out, lengthFieldPos + kWordBytes + bytesWritten)) ||
      std::fseek(pass.out, lengthFieldPos, SEEK_SET) != 0 ||
      !writeWord(pass.out, static_cast<Word32>(bytesWritten)) || std::fflush(pass.out) != 0) {
    pass.result.error = errno;
    return false;
  }
  return true;
}

}  // namespace

ConversionResult convertFile(std::FILE* in, std::FILE* out) {
  Pass pass{in, out, ConversionResult{}};

  // The whole header is read before anything is written, so an input that is
  // not a 3do file, or whose header is cut short, leaves the output empty.
  Word32 magic = 0;
  Step step = readCounted(pass, magic);
  if (step == Step::ReadFailed) {
    return finish(pass, Outcome::ReadFailed);
  }
  if (step != Step::Ok || magic != kMagic) {
    return finish(pass, Outcome::BadMagic);
  }
  Word32 headerWord = 0;
  Word32 bodyLength = 0;
  step = readCounted(pass, headerWord);
  if (step == Step::Ok) {
    step = readCounted(pass, bodyLength);
  }
  if (step != Step::Ok) {
    return finish(pass, outcomeOf(step, Outcome::CutHeader));
  }

  if (!writeWord(out, magic) || !writeWord(out, headerWord)) {
    pass.result.error = errno;
    return finish(pass, Outcome::WriteFailed);
  }
  // Also proves that the output can be seeked back to, before any chunk is
  // read: a pipe fails here rather than after the whole copy.
  const long lengthFieldPos = std::ftell(out);
  if (lengthFieldPos < 0 || !writeWord(out, bodyLength)) {
    pass.result.error = errno;
    return finish(pass, Outcome::WriteFailed);
  }

  // Every recognised chunk is written at the size it has in the input, so the
  // bytes written are also the bytes of the chunk area consumed; the bound is
  // checked only before a chunk starts, and the last chunk is copied whole.
  std::int64_t bytesWritten = 0;
  Outcome outcome = Outcome::Converted;
  while (bytesWritten < bodyLength) {
    pass.result.chunkOffset = pass.result.inputOffset;
    Word32 tagWord = 0;
    step = readCounted(pass, tagWord);
    if (step == Step::InputEnded && pass.result.inputOffset == pass.result.chunkOffset) {
      break;  // The input ends exactly at a chunk boundary: a normal end.
    }
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    const std::optional<ChunkTag> tag = recognizeTag(tagWord);
    if (!tag) {
      break;  // An unrecognised chunk ends the copy; its tag is not written.
    }
    Word32 chunkWord = 0;
    Word32 payloadLength = 0;
    step = readCounted(pass, chunkWord);
    if (step == Step::Ok) {
      step = readCounted(pass, payloadLength);
    }
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    const std::int64_t size = chunkSize(*tag, payloadLength);
    if (bytesWritten + size > kMaxBodyLength) {
      pass.result.payloadLength = payloadLength;
      outcome = Outcome::ChunkTooLarge;
      break;
    }

    step = writeChecked(pass, tagWord);
    if (step == Step::Ok) {
      step = writeChecked(pass, chunkWord);
    }
    if (step == Step::Ok) {
      step = writeChecked(pass, payloadLength);
    }
    if (step == Step::Ok) {
      step = *tag == ChunkTag::Xyzs ? copyXyzsEntries(pass, xyzsEntries(payloadLength))
                                    : copyPlainPayload(pass, plainPayloadWords(payloadLength));
    }
    if (step != Step::Ok) {
      outcome = outcomeOf(step, Outcome::CutChunk);
      break;
    }
    bytesWritten += size;
  }

  if (outcome == Outcome::WriteFailed) {
    return finish(pass, outcome);
  }
  // After a damaged chunk the output may hold part of it: drop that part.
  const bool dropTail = outcome != Outcome::Converted;
  if (!finishOutput(pass, lengthFieldPos, bytesWritten, dropTail)) {
    return finish(pass, Outcome::WriteFailed);
  }
  return finish(pass, outcome);
}

}  // namespace convert3do
