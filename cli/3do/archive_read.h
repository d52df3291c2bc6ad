// The archive module's inner parts, shared by its survey (archive.cpp) and
// its writer (archive_write.cpp): reading an entry's contents, and what is
// made of them.
#ifndef CONVERT3DO_CLI_3DO_ARCHIVE_READ_H
#define CONVERT3DO_CLI_3DO_ARCHIVE_READ_H

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/3do/archive.h"
#include "cli/3do/zip_layout.h"

namespace convert3do {

// The failure of reading or writing one entry, for an ArchiveFailure.
enum class EntryFault : unsigned char { None, ReadFailed, Crc, Size, Inflate, WriteFailed };

// Reads an entry's contents, stored or deflated, in pieces: its CRC and
// size are checked once the last byte is read, and no more bytes than the
// size states are ever made.
class EntryReader {
 public:
  EntryReader(int fd, const ZipSpan& entry) : fd_(fd), e_(entry), next_(entry.data) {}
  ~EntryReader();
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // Up to count (> 0) bytes: 0 at the end, once checked; -1 on a fault.
  std::int64_t read(unsigned char* bytes, std::size_t count);
  // Reads until count bytes or the end, without the end's checks: the start
  // of an entry, to know what it is.
  std::int64_t readStart(unsigned char* bytes, std::size_t count);

  EntryFault fault() const { return fault_; }
  int error() const { return error_; }
  const char* inflateMessage() const { return message_; }

 private:
  std::int64_t readStored(unsigned char* bytes, std::size_t count);
  std::int64_t readDeflated(unsigned char* bytes, std::size_t count);
  std::int64_t failWith(EntryFault fault, int error = 0);
  std::int64_t produced(const unsigned char* bytes, std::size_t count);

  int fd_;
  const ZipSpan& e_;
  std::uint64_t next_;      // offset of the stored bytes not yet read
  std::uint64_t made_ = 0;  // content bytes handed out
  std::uint32_t crc_ = 0;
  bool inflating_ = false;
  bool streamEnded_ = false;
  bool checked_ = false;
  z_stream z_{};
  std::unique_ptr<unsigned char[]> in_;
  EntryFault fault_ = EntryFault::None;
  int error_ = 0;
  const char* message_ = "";
};

// The failure of entry at path, from the reader's fault.
ArchiveFailure entryFailure(const EntryPath& path, const EntryReader& reader);

ArchiveFailure archiveFailure(bool damaged, int status, const std::string& message,
                              const EntryPath& entry = EntryPath());

// What kind an entry is, found from its first bytes; a failure when it
// cannot be read or is a model 3do cannot read.
enum class MemberKind : unsigned char { Other, Model, Archive };
MemberKind memberKind(int fd, const ZipSpan& e, int depth, const EntryPath& path,
                      ArchiveFailure* failure);

// The layout of the archive, checked by the rules, and by libzip's reading
// of it (its central directory against the local headers); a failure names
// what is wrong.
ArchiveFailure readCheckedLayout(int fd, std::uint64_t size, const EntryPath& path,
                                 ZipLayout* layout);

// An archive as libzip opens it: read through the descriptor in (with
// pread), and written, when out is not -1, into out from its start.
class ZipHandle {
 public:
  ZipHandle() = default;
  ~ZipHandle();
  ZipHandle(const ZipHandle&) = delete;
  ZipHandle& operator=(const ZipHandle&) = delete;

  // Opens the archive, its central directory checked against the local
  // headers; false, with error() set, when libzip refuses it.
  bool open(int in, std::uint64_t size, int out);
  zip_t* get() const { return zip_; }
  // Writes the archive with its changes; false, with error() set.
  bool close();
  const zip_error_t& error() const { return error_; }
  // The length of what close wrote.
  std::uint64_t written() const { return files_.written; }

  struct Files {
    int in = -1;
    std::uint64_t size = 0;
    std::uint64_t readAt = 0;
    int out = -1;
    std::uint64_t writeAt = 0;
    std::uint64_t written = 0;  // the output's length
    zip_error_t error{};
  };

 private:
  Files files_;
  zip_t* zip_ = nullptr;
  zip_error_t error_{};
};

// What libzip's error says, for a message.
std::string zipErrorText(const zip_error_t& error);

// The piece buffer a thread walks entries in.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// Surveys a model entry in one streamed pass, telling visit of its chunks;
// also gives the header its conversion starts with. False, with failure,
// when it cannot be read.
bool surveyEntry(int fd, const ZipSpan& e, const EntryPath& path, unsigned char* piece,
                 ChunkVisit visit, void* context, SurveyInfo* survey, ConversionResult* result,
                 unsigned char* header, ArchiveFailure* failure);

// Copies the entry's contents into the scratch file out; false, with
// failure, when it cannot.
bool extractEntry(int fd, const ZipSpan& e, const EntryPath& path, unsigned char* piece, int out,
                  ArchiveFailure* failure);

// A scratch file made for path; false, with failure, when it cannot be.
bool makeScratch(const Scratch& scratch, const EntryPath& path, TemporaryFile& file,
                 ArchiveFailure* failure);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_ARCHIVE_READ_H
