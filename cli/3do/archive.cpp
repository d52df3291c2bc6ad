// Reading archives: their entries' contents, their checks, and the survey of
// the models in them for 3do info and check.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/3do/archive_read.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/text.h"
#include "cli/common/damage.h"
#include "cli/common/exit_status.h"
#include "cli/common/file_io.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

namespace convert3do {

const bool kArchivesBuilt = true;

std::string archiveLibraries() {
  return std::string("libzip ") + zip_libzip_version() + ", zlib " + zlibVersion();
}

namespace {

constexpr std::size_t kInflateInput = std::size_t{64} * 1024;

// Reads count bytes of an entry at offset: the layout said they are there.
bool readAt(int fd, unsigned char* bytes, std::size_t count, std::uint64_t offset, int* error) {
  if (readFileAt(fd, bytes, count, offset, error)) {
    return true;
  }
  *error = *error != 0 ? *error : EIO;
  return false;
}

}  // namespace

EntryReader::~EntryReader() {
  if (inflating_) {
    (void)inflateEnd(&z_);
  }
}

std::int64_t EntryReader::failWith(EntryFault fault, int error) {
  fault_ = fault;
  error_ = error;
  return -1;
}

// Counts bytes handed out; more than the size states is a fault at once.
std::int64_t EntryReader::produced(const unsigned char* bytes, std::size_t count) {
  made_ += count;
  if (made_ > e_.size) {
    return failWith(EntryFault::Size);
  }
  crc_ = static_cast<std::uint32_t>(crc32(crc_, bytes, static_cast<uInt>(count)));
  return static_cast<std::int64_t>(count);
}

std::int64_t EntryReader::readStored(unsigned char* bytes, std::size_t count) {
  const std::uint64_t left = e_.compressedSize - (next_ - e_.data);
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, left));
  if (n == 0) {
    return 0;
  }
  int why = 0;
  if (!readAt(fd_, bytes, n, next_, &why)) {
    return failWith(EntryFault::ReadFailed, why);
  }
  next_ += n;
  return produced(bytes, n);
}

std::int64_t EntryReader::readDeflated(unsigned char* bytes, std::size_t count) {
  if (!inflating_) {
    in_.reset(new unsigned char[kInflateInput]);
    if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) {
      return failWith(EntryFault::ReadFailed, ENOMEM);
    }
    inflating_ = true;
  }
  z_.next_out = bytes;
  z_.avail_out = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
  const uInt wanted = z_.avail_out;
  while (!streamEnded_ && z_.avail_out == wanted) {
    const std::uint64_t left = e_.compressedSize - (next_ - e_.data);
    if (z_.avail_in == 0 && left > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kInflateInput, left));
      int why = 0;
      if (!readAt(fd_, in_.get(), n, next_, &why)) {
        return failWith(EntryFault::ReadFailed, why);
      }
      next_ += n;
      z_.next_in = in_.get();
      z_.avail_in = static_cast<uInt>(n);
    }
    const int status = inflate(&z_, Z_NO_FLUSH);
    streamEnded_ = status == Z_STREAM_END;
    if (status == Z_BUF_ERROR && z_.avail_in == 0 && left == 0) {
      message_ = "cut short";
      return failWith(EntryFault::Inflate);
    }
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      message_ = z_.msg != nullptr ? z_.msg : "not deflate data";
      return failWith(EntryFault::Inflate);
    }
  }
  return produced(bytes, wanted - z_.avail_out);
}

std::int64_t EntryReader::readStart(unsigned char* bytes, std::size_t count) {
  std::size_t have = 0;
  while (have < count) {
    const std::int64_t got = e_.method == kZipStored ? readStored(bytes + have, count - have)
                                                     : readDeflated(bytes + have, count - have);
    if (got <= 0) {
      return got < 0 ? -1 : static_cast<std::int64_t>(have);
    }
    have += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(have);
}

std::int64_t EntryReader::read(unsigned char* bytes, std::size_t count) {
  if (fault_ != EntryFault::None) {
    return -1;
  }
  const std::int64_t got =
      e_.method == kZipStored ? readStored(bytes, count) : readDeflated(bytes, count);
  if (got != 0) {
    return got;
  }
  if (made_ != e_.size) {
    return failWith(EntryFault::Size);
  }
  if (crc_ != e_.crc) {
    return failWith(EntryFault::Crc);
  }
  checked_ = true;
  return 0;
}

std::string entryText(const EntryPath& path) {
  std::string text;
  for (const std::string& name : path) {
    text += text.empty() ? "" : say::kZipEntryNamed;
    text += quoteWord(name.c_str()).text;
  }
  return text;
}

std::string shownEntry(const std::string& file, const EntryPath& path) {
  return std::string(quoteWord(file.c_str()).text) + say::kZipEntryNamed + entryText(path);
}

ArchiveFailure archiveFailure(bool damaged, int status, const std::string& message,
                              const EntryPath& entry) {
  ArchiveFailure f;
  f.failed = true;
  f.damaged = damaged;
  f.status = status;
  f.message = message;
  f.entry = entry;
  return f;
}

ArchiveFailure entryFailure(const EntryPath& path, const EntryReader& reader) {
  const std::string name = entryText(path);
  switch (reader.fault()) {
    case EntryFault::ReadFailed:
      return archiveFailure(false, kExitDamagedInput,
                            printed(say::kCannotReadInput, std::strerror(reader.error())), path);
    case EntryFault::Crc:
      return archiveFailure(true, kExitDamagedInput, printed(say::kZipCrc, name.c_str()), path);
    case EntryFault::Size:
      return archiveFailure(true, kExitDamagedInput, printed(say::kZipSize, name.c_str()), path);
    default:
      return archiveFailure(true, kExitDamagedInput,
                            printed(say::kZipInflate, name.c_str(), reader.inflateMessage()), path);
  }
}

MemberKind memberKind(int fd, const ZipSpan& e, int depth, const EntryPath& path,
                      ArchiveFailure* failure) {
  const bool readable =
      (e.flags & kZipEncrypted) == 0 && (e.method == kZipStored || e.method == kZipDeflated);
  if (!readable) {
    if (endsWith3do(e.name)) {
      const std::string name = entryText(path);
      *failure = archiveFailure(
          false, kExitDamagedInput,
          (e.flags & kZipEncrypted) != 0
              ? printed(say::kZipEncryptedModel, name.c_str())
              : printed(say::kZipMethodModel, name.c_str(), static_cast<unsigned>(e.method)));
    }
    return MemberKind::Other;
  }
  if (e.size == 0) {
    return MemberKind::Other;
  }
  unsigned char start[4] = {};
  EntryReader reader(fd, e);
  const std::int64_t got = reader.readStart(start, sizeof start);
  if (got < 0) {
    *failure = entryFailure(path, reader);
    return MemberKind::Other;
  }
  const auto length = static_cast<std::size_t>(got);
  if (surveyBuffer(start, length, nullptr, nullptr).is3do) {
    return MemberKind::Model;
  }
  return startsLikeZip(start, length) && depth + 1 < kArchiveDepth ? MemberKind::Archive
                                                                   : MemberKind::Other;
}

namespace {

// The rules' verdict in words.
ArchiveFailure layoutFailure(const ZipVerdict& v, const ZipLayout& layout, const EntryPath& path) {
  const auto named = [&](std::size_t i) {
    EntryPath inner = path;
    inner.push_back(i < layout.entries.size() ? layout.entries[i].name : std::string());
    return inner;
  };
  const std::string entry = entryText(named(v.entry));
  const std::string other = entryText(named(v.other));
  const auto damaged = [&](const std::string& m) {
    return archiveFailure(true, kExitDamagedInput, m, path);
  };
  const auto refusedBy = [&](const std::string& m) {
    return archiveFailure(false, kExitDamagedInput, m, named(v.entry));
  };
  switch (v.problem) {
    case ZipProblem::NotZip:
      return archiveFailure(false, kExitNotA3do, say::kNotA3do, path);
    case ZipProblem::NoEndRecord:
      return damaged(say::kZipNoEndRecord);
    case ZipProblem::ReadFailed:
      return archiveFailure(false, kExitDamagedInput,
                            printed(say::kCannotReadInput, std::strerror(v.error)), path);
    case ZipProblem::Split:
      return damaged(say::kZipSplit);
    case ZipProblem::Directory:
      return damaged(say::kZipDirectory);
    case ZipProblem::LocalHeader:
      return damaged(printed(say::kZipLocalHeader, entry.c_str()));
    case ZipProblem::Overlap:
      return refusedBy(printed(say::kZipOverlap, entry.c_str(), other.c_str()));
    case ZipProblem::Ratio: {
      const ZipSpan& e = layout.entries[v.entry];
      return refusedBy(printed(say::kZipRatio, entry.c_str(),
                               static_cast<unsigned long long>(e.size),
                               static_cast<unsigned long long>(e.compressedSize)));
    }
    case ZipProblem::Duplicate:
      return refusedBy(printed(say::kZipDuplicate, entry.c_str()));
    case ZipProblem::UnsafeName:
      return refusedBy(printed(say::kZipUnsafeName, entry.c_str()));
    default:
      return ArchiveFailure();
  }
}

}  // namespace

ArchiveFailure readCheckedLayout(int fd, std::uint64_t size, const EntryPath& path,
                                 ZipLayout* layout) {
  const ZipVerdict v = readZipLayout(fd, size, layout);
  if (v.problem != ZipProblem::None) {
    return layoutFailure(v, *layout, path);
  }
  ZipHandle zip;
  if (!zip.open(fd, size, -1)) {
    const int code = zip.error().zip_err;
    if (code == ZIP_ER_INCONS || code == ZIP_ER_NOZIP) {
      return archiveFailure(true, kExitDamagedInput, say::kZipInconsistent, path);
    }
    return archiveFailure(false, kExitDamagedInput,
                          printed(say::kZipCannotRead, zipErrorText(zip.error()).c_str()), path);
  }
  return ArchiveFailure();
}

bool surveyEntry(int fd, const ZipSpan& e, const EntryPath& path, unsigned char* piece,
                 ChunkVisit visit, void* context, SurveyInfo* survey, ConversionResult* result,
                 unsigned char* header, ArchiveFailure* failure) {
  Survey s;
  s.visit = visit;
  s.context = context;
  EntryReader reader(fd, e);
  std::size_t length = 0;
  for (;;) {
    const std::int64_t got = reader.read(piece + length, kPieceBytes - length);
    if (got < 0) {
      *failure = entryFailure(path, reader);
      return false;
    }
    length += static_cast<std::size_t>(got);
    if (surveyEnded(s)) {
      length = 0;  // read on only for the checks at the end
    } else {
      const std::size_t walked = surveyBytes(s, piece, length, got == 0);
      std::memmove(piece, piece + walked, length - walked);
      length -= walked;
    }
    if (got == 0) {
      break;
    }
  }
  *survey = finishSurvey(s, static_cast<std::int64_t>(e.size));
  *result = finishConversion(Conversion{s.walk}, header);
  return true;
}

bool extractEntry(int fd, const ZipSpan& e, const EntryPath& path, unsigned char* piece, int out,
                  ArchiveFailure* failure) {
  EntryReader reader(fd, e);
  for (;;) {
    const std::int64_t got = reader.read(piece, kPieceBytes);
    if (got < 0) {
      *failure = entryFailure(path, reader);
      return false;
    }
    if (got == 0) {
      return true;
    }
    if (!writeAll(out, piece, static_cast<std::size_t>(got))) {
      *failure = archiveFailure(
          false, kExitOutputFailed,
          printed(say::kZipCannotScratch, entryText(path).c_str(), std::strerror(errno)), path);
      return false;
    }
  }
}

bool makeScratch(const Scratch& scratch, const EntryPath& path, TemporaryFile& file,
                 ArchiveFailure* failure) {
  const int error =
      scratch.folder == nullptr ? ENOENT : file.createScratch(*scratch.folder, "3do-zip");
  if (error != 0) {
    *failure = archiveFailure(
        false, kExitOutputFailed,
        printed(say::kZipCannotScratch, entryText(path).c_str(), std::strerror(error)), path);
  }
  return error == 0;
}

namespace {

// The survey of one archive, or of one inside it.
struct SurveyWalk {
  const Scratch& scratch;
  ArchiveVisitor& visitor;
  ArchiveCounts& counts;
  std::unique_ptr<unsigned char[]> piece{new unsigned char[kPieceBytes]};
};

void tellChunk(void* context, const ChunkRecord& chunk) {
  static_cast<ArchiveVisitor*>(context)->chunk(chunk);
}

ArchiveFailure surveyAt(SurveyWalk& w, int fd, std::uint64_t size, EntryPath& path, int depth);

// Surveys entry e of the archive in fd, at path.
ArchiveFailure surveyOne(SurveyWalk& w, int fd, const ZipSpan& e, EntryPath& path, int depth) {
  ArchiveFailure failure;
  const MemberKind kind = memberKind(fd, e, depth, path, &failure);
  if (failure.failed) {
    return failure;
  }
  if (kind == MemberKind::Model) {
    ++w.counts.models;
    w.visitor.beginModel(path);
    SurveyInfo s;
    ConversionResult result;
    unsigned char header[kFileHeaderBytes];
    if (!surveyEntry(fd, e, path, w.piece.get(), tellChunk, &w.visitor, &s, &result, header,
                     &failure)) {
      return failure;
    }
    w.visitor.endModel(path, s);
    return failure;
  }
  w.visitor.other(path,
                  OtherEntry{e.size, e.compressedSize, e.method, kind == MemberKind::Archive});
  if (kind == MemberKind::Other) {
    ++w.counts.others;
    return failure;
  }
  ++w.counts.archives;
  TemporaryFile inner(*w.scratch.share);
  if (!makeScratch(w.scratch, path, inner, &failure) ||
      !extractEntry(fd, e, path, w.piece.get(), inner.fd(), &failure)) {
    return failure;
  }
  return surveyAt(w, inner.fd(), e.size, path, depth + 1);
}

ArchiveFailure surveyAt(SurveyWalk& w, int fd, std::uint64_t size, EntryPath& path, int depth) {
  ZipLayout layout;
  ArchiveFailure failure = readCheckedLayout(fd, size, path, &layout);
  for (std::size_t i = 0; !failure.failed && i < layout.entries.size(); ++i) {
    ++w.counts.entries;
    path.push_back(layout.entries[i].name);
    failure = surveyOne(w, fd, layout.entries[i], path, depth);
    path.pop_back();
  }
  return failure;
}

}  // namespace

ArchiveFailure surveyArchive(int fd, std::uint64_t size, const Scratch& scratch,
                             ArchiveVisitor& visitor, ArchiveCounts* counts) {
  SurveyWalk walk{scratch, visitor, *counts};
  EntryPath path;
  return surveyAt(walk, fd, size, path, 0);
}

}  // namespace convert3do
