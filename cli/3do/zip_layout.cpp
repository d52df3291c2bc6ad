#include "cli/3do/zip_layout.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <utility>

namespace convert3do {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kDirectorySignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kEnd64Signature = 0x06064b50;
constexpr std::uint32_t kLocator64Signature = 0x07064b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::size_t kLocalHeaderBytes = 30;
constexpr std::size_t kDirectoryHeaderBytes = 46;
constexpr std::size_t kEndBytes = 22;
constexpr std::size_t kLocator64Bytes = 20;
constexpr std::size_t kEnd64Bytes = 56;
constexpr std::uint32_t kMarker32 = 0xffffffffu;
constexpr std::uint16_t kMarker16 = 0xffffu;

std::uint16_t u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(u16(p)) | (static_cast<std::uint32_t>(u16(p + 2)) << 16);
}

std::uint64_t u64(const unsigned char* p) {
  return static_cast<std::uint64_t>(u32(p)) | (static_cast<std::uint64_t>(u32(p + 4)) << 32);
}

}  // namespace

bool readFileAt(int fd, unsigned char* bytes, std::size_t count, std::uint64_t offset, int* error) {
  *error = 0;
  while (count > 0) {
    const ssize_t got = pread(fd, bytes, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      *error = got < 0 ? errno : 0;
      return false;
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

namespace {

bool readAt(int fd, unsigned char* bytes, std::size_t count, std::uint64_t offset, int* error) {
  return readFileAt(fd, bytes, count, offset, error);
}

ZipVerdict problem(ZipProblem what, std::size_t entry = 0, std::size_t other = 0) {
  return ZipVerdict{what, entry, other, 0};
}

// A failed read: an error, or the end of the file where the records said
// there were bytes.
ZipVerdict unread(int error, ZipProblem atEnd) {
  ZipVerdict v = problem(error != 0 ? ZipProblem::ReadFailed : atEnd);
  v.error = error;
  return v;
}

// What the end records say.
struct Ends {
  std::uint64_t entries = 0;
  std::uint64_t directorySize = 0;
  std::uint64_t directory = 0;
  std::uint64_t directoryEnd = 0;  // where the first end record starts
};

// Finds the end record: the last one whose comment reaches the end of the
// file exactly.
ZipVerdict findEnd(int fd, std::uint64_t size, std::uint64_t* at, unsigned char* record) {
  const std::size_t tail =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndBytes + kMarker16));
  std::vector<unsigned char> bytes(tail);
  int error = 0;
  if (!readAt(fd, bytes.data(), tail, size - tail, &error)) {
    return unread(error, ZipProblem::NotZip);
  }
  for (std::size_t i = tail >= kEndBytes ? tail - kEndBytes + 1 : 0; i-- > 0;) {
    if (u32(&bytes[i]) == kEndSignature && i + kEndBytes + u16(&bytes[i + 20]) == tail) {
      *at = size - tail + i;
      std::memcpy(record, &bytes[i], kEndBytes);
      return problem(ZipProblem::None);
    }
  }
  unsigned char start[4] = {};
  const bool archive = readAt(fd, start, sizeof start, 0, &error) && startsLikeZip(start, 4);
  return problem(archive ? ZipProblem::NoEndRecord : ZipProblem::NotZip);
}

// Reads the end records: the Zip64 ones, where a locator stands before the
// end record, take the place of its fields.
ZipVerdict readEnds(int fd, std::uint64_t size, Ends* ends) {
  unsigned char end[kEndBytes] = {};
  std::uint64_t at = 0;
  ZipVerdict v = findEnd(fd, size, &at, end);
  if (v.problem != ZipProblem::None) {
    return v;
  }
  if (u16(end + 4) != 0 && u16(end + 4) != kMarker16) {
    return problem(ZipProblem::Split);
  }
  ends->entries = u16(end + 10);
  ends->directorySize = u32(end + 12);
  ends->directory = u32(end + 16);
  ends->directoryEnd = at;
  unsigned char locator[kLocator64Bytes];
  int error = 0;
  if (at < kLocator64Bytes || !readAt(fd, locator, sizeof locator, at - kLocator64Bytes, &error) ||
      u32(locator) != kLocator64Signature) {
    const bool marked = u16(end + 10) == kMarker16 || ends->directorySize == kMarker32 ||
                        ends->directory == kMarker32;
    return problem(marked || u16(end + 8) != u16(end + 10) ? ZipProblem::Directory
                                                           : ZipProblem::None);
  }
  const std::uint64_t end64 = u64(locator + 8);
  unsigned char record[kEnd64Bytes];
  if (u32(locator + 4) != 0 || u32(locator + 16) > 1 ||
      end64 + kEnd64Bytes > at - kLocator64Bytes ||
      !readAt(fd, record, sizeof record, end64, &error) || u32(record) != kEnd64Signature ||
      end64 + 12 + u64(record + 4) != at - kLocator64Bytes) {
    return error != 0 ? unread(error, ZipProblem::Directory) : problem(ZipProblem::Directory);
  }
  if (u32(record + 16) != 0 || u32(record + 20) != 0 || u64(record + 24) != u64(record + 32)) {
    return problem(ZipProblem::Split);
  }
  ends->entries = u64(record + 32);
  ends->directorySize = u64(record + 40);
  ends->directory = u64(record + 48);
  ends->directoryEnd = end64;
  return problem(ZipProblem::None);
}

// The central directory, read in pieces.
class DirectoryReader {
 public:
  DirectoryReader(int fd, std::uint64_t offset, std::uint64_t end)
      : fd_(fd), offset_(offset), end_(end), bytes_(kBytes) {}

  // The next count bytes, or null (with error set when a read failed).
  const unsigned char* take(std::size_t count, int* error) {
    *error = 0;
    if (len_ - pos_ < count) {
      std::memmove(bytes_.data(), bytes_.data() + pos_, len_ - pos_);
      len_ -= pos_;
      pos_ = 0;
      const std::size_t more =
          static_cast<std::size_t>(std::min<std::uint64_t>(kBytes - len_, end_ - offset_));
      if (!readAt(fd_, bytes_.data() + len_, more, offset_, error)) {
        return nullptr;
      }
      offset_ += more;
      len_ += more;
      if (len_ < count) {
        return nullptr;
      }
    }
    pos_ += count;
    return bytes_.data() + pos_ - count;
  }
  bool atEnd() const { return pos_ == len_ && offset_ == end_; }
  // The offset in the file of the next byte take gives.
  std::uint64_t position() const { return offset_ - (len_ - pos_); }

 private:
  static constexpr std::size_t kBytes = std::size_t{256} * 1024;  // more than a header's most
  int fd_;
  std::uint64_t offset_;
  std::uint64_t end_;
  std::vector<unsigned char> bytes_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

// Takes the Zip64 extra field's values for the fields that are marked.
bool takeZip64(const unsigned char* extra, std::size_t length, ZipSpan& e, bool sizeMarked,
               bool compressedMarked, bool offsetMarked) {
  for (std::size_t at = 0; at + 4 <= length;) {
    const std::uint16_t id = u16(extra + at);
    const std::size_t fieldLength = u16(extra + at + 2);
    if (at + 4 + fieldLength > length) {
      return false;
    }
    if (id == 1) {
      const unsigned char* p = extra + at + 4;
      const std::size_t needed =
          (sizeMarked ? 8U : 0U) + (compressedMarked ? 8U : 0U) + (offsetMarked ? 8U : 0U);
      if (fieldLength < needed) {
        return false;
      }
      for (auto [marked, field] : {std::pair<bool, std::uint64_t*>{sizeMarked, &e.size},
                                   {compressedMarked, &e.compressedSize},
                                   {offsetMarked, &e.header}}) {
        if (marked) {
          *field = u64(p);
          p += 8;
        }
      }
      return true;
    }
    at += 4 + fieldLength;
  }
  return !sizeMarked && !compressedMarked && !offsetMarked;
}

// Reads one central directory header into e.
ZipVerdict readDirectoryEntry(DirectoryReader& reader, ZipSpan& e, bool* zip64) {
  int error = 0;
  e.record = reader.position();
  const unsigned char* h = reader.take(kDirectoryHeaderBytes, &error);
  if (h == nullptr || u32(h) != kDirectorySignature) {
    return unread(error, ZipProblem::Directory);
  }
  e.flags = u16(h + 8);
  e.time = u16(h + 12);
  e.date = u16(h + 14);
  e.method = u16(h + 10);
  e.crc = u32(h + 16);
  e.compressedSize = u32(h + 20);
  e.size = u32(h + 24);
  e.header = u32(h + 42);
  const std::size_t nameLength = u16(h + 28);
  const std::size_t extraLength = u16(h + 30);
  const std::size_t commentLength = u16(h + 32);
  const bool diskMarked = u16(h + 34) == kMarker16;
  if (u16(h + 34) != 0 && !diskMarked) {
    return problem(ZipProblem::Split);
  }
  const bool sizeMarked = e.size == kMarker32;
  const bool compressedMarked = e.compressedSize == kMarker32;
  const bool offsetMarked = e.header == kMarker32;
  *zip64 = sizeMarked || compressedMarked;
  const unsigned char* rest = reader.take(nameLength + extraLength + commentLength, &error);
  if (rest == nullptr) {
    return unread(error, ZipProblem::Directory);
  }
  e.name.assign(reinterpret_cast<const char*>(rest), nameLength);
  if (!takeZip64(rest + nameLength, extraLength, e, sizeMarked, compressedMarked, offsetMarked)) {
    return problem(ZipProblem::Directory);
  }
  return problem(ZipProblem::None);
}

// Finds where entry i's bytes end, past its local header, its data and any
// data descriptor; the local header must lie before the directory.
ZipVerdict placeEntry(int fd, ZipSpan& e, bool zip64, std::uint64_t directory, std::size_t i) {
  unsigned char h[kLocalHeaderBytes];
  int error = 0;
  if (e.header > directory || directory - e.header < kLocalHeaderBytes ||
      !readAt(fd, h, sizeof h, e.header, &error) || u32(h) != kLocalHeaderSignature) {
    return error != 0 ? unread(error, ZipProblem::LocalHeader)
                      : problem(ZipProblem::LocalHeader, i);
  }
  e.data = e.header + kLocalHeaderBytes + u16(h + 26) + u16(h + 28);
  if (e.data > directory || directory - e.data < e.compressedSize) {
    return problem(ZipProblem::LocalHeader, i);
  }
  e.end = e.data + e.compressedSize;
  if ((e.flags & kZipDataDescriptor) != 0) {
    unsigned char signature[4];
    const bool signed_ = directory - e.end >= 4 && readAt(fd, signature, 4, e.end, &error) &&
                         u32(signature) == kDescriptorSignature;
    const std::uint64_t length = (signed_ ? 4 : 0) + (zip64 ? 20 : 12);
    if (directory - e.end < length) {
      return problem(ZipProblem::LocalHeader, i);
    }
    e.end += length;
  }
  return problem(ZipProblem::None);
}

// No two entries share a byte.
ZipVerdict checkOverlaps(const ZipLayout& layout) {
  std::vector<std::size_t> order(layout.entries.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return layout.entries[a].header < layout.entries[b].header;
  });
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (layout.entries[order[k - 1]].end > layout.entries[order[k]].header) {
      return problem(ZipProblem::Overlap, order[k - 1], order[k]);
    }
  }
  return problem(ZipProblem::None);
}

// A stored entry states the bytes it holds; a deflated one no more than
// deflate can make of its bytes.
bool sizeBelievable(const ZipSpan& e) {
  if ((e.flags & kZipEncrypted) != 0) {
    return true;  // never read
  }
  if (e.method == kZipStored) {
    return e.size == e.compressedSize;
  }
  if (e.method == kZipDeflated) {
    return e.compressedSize >= (e.size + kZipMostDeflateRatio - 1) / kZipMostDeflateRatio;
  }
  return true;  // copied as it is, never inflated
}

}  // namespace

ZipVerdict readZipLayout(int fd, std::uint64_t size, ZipLayout* layout) {
  layout->entries.clear();
  Ends ends;
  ZipVerdict v = readEnds(fd, size, &ends);
  if (v.problem != ZipProblem::None) {
    return v;
  }
  if (ends.directory > ends.directoryEnd ||
      ends.directoryEnd - ends.directory != ends.directorySize ||
      ends.entries > ends.directorySize / kDirectoryHeaderBytes) {
    return problem(ZipProblem::Directory);
  }
  layout->directory = ends.directory;
  layout->entries.resize(static_cast<std::size_t>(ends.entries));
  DirectoryReader reader(fd, ends.directory, ends.directoryEnd);
  for (std::size_t i = 0; i < layout->entries.size(); ++i) {
    ZipSpan& e = layout->entries[i];
    bool zip64 = false;
    v = readDirectoryEntry(reader, e, &zip64);
    if (v.problem == ZipProblem::None) {
      v = placeEntry(fd, e, zip64, ends.directory, i);
    }
    if (v.problem != ZipProblem::None) {
      return v;
    }
    if (!sizeBelievable(e)) {
      return problem(ZipProblem::Ratio, i);
    }
  }
  if (!reader.atEnd()) {
    return problem(ZipProblem::Directory);
  }
  v = checkOverlaps(*layout);
  return v.problem != ZipProblem::None ? v : checkZipNames(*layout);
}

int keepEntryTimes(const ZipLayout& from, int fd, std::uint64_t size) {
  ZipLayout written;
  const ZipVerdict v = readZipLayout(fd, size, &written);
  if (v.problem != ZipProblem::None || written.entries.size() != from.entries.size()) {
    return v.error != 0 ? v.error : EIO;
  }
  for (std::size_t i = 0; i < written.entries.size(); ++i) {
    const ZipSpan& want = from.entries[i];
    const ZipSpan& got = written.entries[i];
    if (got.time == want.time && got.date == want.date) {
      continue;
    }
    const unsigned char stamp[4] = {
        static_cast<unsigned char>(want.time), static_cast<unsigned char>(want.time >> 8),
        static_cast<unsigned char>(want.date), static_cast<unsigned char>(want.date >> 8)};
    if (pwrite(fd, stamp, 4, static_cast<off_t>(got.header + 10)) != 4 ||
        pwrite(fd, stamp, 4, static_cast<off_t>(got.record + 12)) != 4) {
      return errno;
    }
  }
  return 0;
}

bool unsafeEntryName(const std::string& name) {
  const auto control = [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f;
  };
  if (name.empty() || name[0] == '/' || name[0] == '\\' ||
      (name.size() >= 2 && name[1] == ':' &&
       std::isalpha(static_cast<unsigned char>(name[0])) != 0) ||
      std::any_of(name.begin(), name.end(), control)) {
    return true;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (name.compare(start, i - start, "..") == 0) {
        return true;
      }
      start = i + 1;
    }
  }
  return false;
}

ZipVerdict checkZipNames(const ZipLayout& layout) {
  const std::vector<ZipSpan>& entries = layout.entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (unsafeEntryName(entries[i].name)) {
      return problem(ZipProblem::UnsafeName, i);
    }
  }
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return entries[a].name != entries[b].name ? entries[a].name < entries[b].name : a < b;
  });
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (entries[order[k - 1]].name == entries[order[k]].name) {
      return problem(ZipProblem::Duplicate, order[k - 1], order[k]);
    }
  }
  return problem(ZipProblem::None);
}

int deflateLevelOf(std::uint16_t flags) {
  static const int kLevels[] = {6, 9, 2, 1};  // normal, maximum, fast, super fast
  return kLevels[(flags >> 1) & 3];
}

}  // namespace convert3do
