// Where the entries of a zip archive lie, read from its end records, central
// directory and local headers: what the zip library keeps to itself (each
// entry's byte range, its general purpose flags), and the rules 3do applies
// to an archive before a byte of an entry is read.
//
// The rules, each a refusal of the whole archive:
// - it is one archive: one disk, its central directory ending where its end
//   record starts, nothing after the end record and its comment;
// - every entry's local header and bytes (and data descriptor) lie before the
//   central directory, and no two entries share a byte: overlapping entries
//   are how a small archive names many huge ones (a zip bomb);
// - a deflated entry states at most 1,032 bytes for each compressed byte
//   (deflate's own limit), a stored one as many as it holds;
// - no two entries have one name, and no name is absolute ("/x", "\x",
//   "C:x"), climbs out of its folder (a ".." component) or holds a control
//   character: nothing is extracted, but an archive 3do writes is one that
//   is safe to extract.
#ifndef CONVERT3DO_CLI_3DO_ZIP_LAYOUT_H
#define CONVERT3DO_CLI_3DO_ZIP_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace convert3do {

constexpr std::uint16_t kZipStored = 0;
constexpr std::uint16_t kZipDeflated = 8;
constexpr std::uint16_t kZipEncrypted = 1;       // general purpose flag bit 0
constexpr std::uint16_t kZipDataDescriptor = 8;  // bit 3
constexpr std::uint64_t kZipMostDeflateRatio = 1032;

struct ZipSpan {
  std::string name;          // as stored: bytes, no encoding assumed
  std::uint64_t header = 0;  // offset of the local header
  std::uint64_t data = 0;    // of the entry's stored (compressed) bytes
  std::uint64_t end = 0;     // past them and any data descriptor
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t time = 0;  // as stored, DOS time and date
  std::uint16_t date = 0;
  std::uint64_t record = 0;  // offset of its central directory header
};

struct ZipLayout {
  std::vector<ZipSpan> entries;  // in the central directory's order
  std::uint64_t directory = 0;   // offset of the central directory
};

// What breaks a rule, with the entries it names (indices into entries).
enum class ZipProblem : unsigned char {
  None,
  NotZip,       // no end record, and it does not start like an archive
  NoEndRecord,  // starts like an archive, but has no end record: cut short
  ReadFailed,   // error holds errno
  Split,        // over several disks
  Directory,    // the end records and the central directory disagree
  LocalHeader,  // entry's local header is missing or runs past the directory
  Overlap,      // entry and other share bytes
  Ratio,        // entry states more bytes than its method can make
  Duplicate,    // entry and other have one name
  UnsafeName,   // entry's name is absolute, climbs out, or holds a control
};

struct ZipVerdict {
  ZipProblem problem = ZipProblem::None;
  std::size_t entry = 0;
  std::size_t other = 0;
  int error = 0;
};

// Reads count bytes at offset with pread (threads may share the
// descriptor); false at the end of the file (error 0) or on an error (its
// errno).
bool readFileAt(int fd, unsigned char* bytes, std::size_t count, std::uint64_t offset, int* error);

// Reads the layout of the archive of size bytes in fd (read with pread, so
// that threads may share the descriptor) and applies the rules above.
ZipVerdict readZipLayout(int fd, std::uint64_t size, ZipLayout* layout);

// Gives each entry of the archive written into fd (size bytes) the DOS
// time and date the same entry has in `from`: libzip keeps an entry's time
// as a time_t, which cannot hold every stored value (a date of 0, kept by
// many tools, comes back as 1980-01-01). 0, or errno.
int keepEntryTimes(const ZipLayout& from, int fd, std::uint64_t size);

// The rules of names alone.
ZipVerdict checkZipNames(const ZipLayout& layout);

// Whether name, an entry's, is absolute, climbs out of its folder or holds a
// control character.
bool unsafeEntryName(const std::string& name);

// The deflate level an entry's flags record (bits 1 and 2: normal, maximum,
// fast, super fast), as zlib takes it.
int deflateLevelOf(std::uint16_t flags);

// Whether bytes start as a zip archive does: a local header, or the end
// record of an empty archive.
inline bool startsLikeZip(const unsigned char* bytes, std::size_t length) {
  return length >= 4 && bytes[0] == 'P' && bytes[1] == 'K' &&
         ((bytes[2] == 3 && bytes[3] == 4) || (bytes[2] == 5 && bytes[3] == 6));
}

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_ZIP_LAYOUT_H
