// Converting archives: each model (and each archive inside) made into its new
// data by the caller's thread and helpers, in the archive's order and a
// bounded window ahead of libzip, which writes the archive through the
// caller's descriptor and copies every other entry's stored bytes as they
// are.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "cli/3do/archive_read.h"
#include "cli/3do/text.h"
#include "cli/common/damage.h"
#include "cli/common/exit_status.h"
#include "cli/common/file_io.h"
#include "cli/common/messages.h"

namespace convert3do {

namespace {

constexpr std::size_t kSpoolMemory = std::size_t{2} << 20;  // then a scratch file
constexpr std::size_t kMostWindow = 16;                     // entries made ahead
constexpr std::size_t kHeldModel = std::size_t{4} << 20;    // converted in one walk

zip_int64_t failSource(zip_error_t& error, int code, int system) {
  zip_error_set(&error, code, system);
  return -1;
}

// The archive's source: reads from in, writes into out.
zip_int64_t filesSource(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& f = *static_cast<ZipHandle::Files*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_BEGIN_WRITE:
      f.readAt = command == ZIP_SOURCE_OPEN ? 0 : f.readAt;
      f.writeAt = f.written = command == ZIP_SOURCE_BEGIN_WRITE ? 0 : f.written;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::uint64_t n = std::min<std::uint64_t>(length, f.size - std::min(f.size, f.readAt));
      const ssize_t got = n == 0 ? 0 : pread(f.in, data, n, static_cast<off_t>(f.readAt));
      if (got < 0) {
        return failSource(f.error, ZIP_ER_READ, errno);
      }
      f.readAt += static_cast<std::uint64_t>(got);
      return got;
    }
    case ZIP_SOURCE_WRITE: {
      const auto* bytes = static_cast<const unsigned char*>(data);
      for (zip_uint64_t done = 0; done < length;) {
        const ssize_t put =
            pwrite(f.out, bytes + done, length - done, static_cast<off_t>(f.writeAt + done));
        if (put < 0 && errno != EINTR) {
          return failSource(f.error, ZIP_ER_WRITE, errno);
        }
        done += put > 0 ? static_cast<zip_uint64_t>(put) : 0;
      }
      f.writeAt += length;
      f.written = std::max(f.written, f.writeAt);
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK:
    case ZIP_SOURCE_SEEK_WRITE: {
      const bool write = command == ZIP_SOURCE_SEEK_WRITE;
      const zip_int64_t at = zip_source_seek_compute_offset(
          write ? f.writeAt : f.readAt, write ? f.written : f.size, data, length, &f.error);
      if (at < 0) {
        return -1;
      }
      (write ? f.writeAt : f.readAt) = static_cast<std::uint64_t>(at);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(f.readAt);
    case ZIP_SOURCE_TELL_WRITE:
      return static_cast<zip_int64_t>(f.writeAt);
    case ZIP_SOURCE_STAT: {
      auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &f.error);
      if (st == nullptr) {
        return -1;
      }
      zip_stat_init(st);
      st->valid = ZIP_STAT_SIZE;
      st->size = f.size;
      return sizeof *st;
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&f.error, data, length);
    case ZIP_SOURCE_SUPPORTS:
      return f.out < 0 ? ZIP_SOURCE_SUPPORTS_SEEKABLE : ZIP_SOURCE_SUPPORTS_WRITABLE;
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
    case ZIP_SOURCE_COMMIT_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
      return 0;  // the caller owns both files, and what becomes of out
    default:
      return failSource(f.error, ZIP_ER_OPNOTSUPP, 0);
  }
}

}  // namespace

ZipHandle::~ZipHandle() {
  if (zip_ != nullptr) {
    zip_discard(zip_);
  }
  zip_error_fini(&files_.error);
  zip_error_fini(&error_);
}

bool ZipHandle::open(int in, std::uint64_t size, int out) {
  files_.in = in;
  files_.size = size;
  files_.out = out;
  zip_error_init(&files_.error);
  zip_error_init(&error_);
  zip_source_t* source = zip_source_function_create(filesSource, &files_, &error_);
  if (source == nullptr) {
    return false;
  }
  zip_ = zip_open_from_source(source, ZIP_CHECKCONS | (out < 0 ? ZIP_RDONLY : 0), &error_);
  if (zip_ == nullptr) {
    zip_source_free(source);
    return false;
  }
  return true;
}

bool ZipHandle::close() {
  if (zip_close(zip_) == 0) {
    zip_ = nullptr;
    return true;
  }
  zip_error_set(&error_, zip_error_code_zip(zip_get_error(zip_)),
                zip_error_code_system(zip_get_error(zip_)));
  return false;
}

std::string zipErrorText(const zip_error_t& error) {
  zip_error_t copy;
  zip_error_init_with_code(&copy, error.zip_err);
  copy.sys_err = error.sys_err;
  std::string text = zip_error_strerror(&copy);
  zip_error_fini(&copy);
  return text;
}

namespace {

// The new stored bytes of an entry, written once and read back once: in
// memory up to kSpoolMemory, then in a scratch file.
class Spool {
 public:
  bool write(const Scratch& scratch, const unsigned char* bytes, std::size_t count) {
    size_ += count;
    if (file_ == nullptr && memory_.size() + count <= kSpoolMemory) {
      memory_.insert(memory_.end(), bytes, bytes + count);
      return true;
    }
    if (file_ == nullptr) {
      file_.reset(new TemporaryFile(*scratch.share));
      if (scratch.folder == nullptr || file_->createScratch(*scratch.folder, "3do-entry") != 0 ||
          !writeAll(file_->fd(), memory_.data(), memory_.size())) {
        return false;
      }
      std::vector<unsigned char>().swap(memory_);
    }
    return writeAll(file_->fd(), bytes, count);
  }
  bool rewind() {
    read_ = 0;
    return file_ == nullptr || seekFile(file_->fd(), 0, SEEK_SET) == 0;
  }
  std::int64_t read(unsigned char* bytes, std::size_t count) {
    if (file_ != nullptr) {
      return readSome(file_->fd(), bytes, count);
    }
    const std::size_t n = std::min(count, memory_.size() - read_);
    std::memcpy(bytes, memory_.data() + read_, n);
    read_ += n;
    return static_cast<std::int64_t>(n);
  }
  void clear() {
    std::vector<unsigned char>().swap(memory_);
    file_.reset();
  }
  std::uint64_t size() const { return size_; }

 private:
  std::vector<unsigned char> memory_;
  std::unique_ptr<TemporaryFile> file_;
  std::size_t read_ = 0;
  std::uint64_t size_ = 0;
};

// An entry's new contents, stored or deflated as the entry was, into a spool.
class Packer {
 public:
  Packer(const ZipSpan& e, const Scratch& scratch, Spool& spool)
      : deflated_(e.method == kZipDeflated), scratch_(scratch), spool_(spool) {
    if (deflated_) {
      ok_ = deflateInit2(&z_, deflateLevelOf(e.flags), Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY) == Z_OK;
    }
  }
  ~Packer() {
    if (deflated_) {
      (void)deflateEnd(&z_);
    }
  }
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  bool add(const unsigned char* bytes, std::size_t count) {
    crc_ = static_cast<std::uint32_t>(crc32(crc_, bytes, static_cast<uInt>(count)));
    size_ += count;
    return deflated_ ? pack(bytes, count, Z_NO_FLUSH) : ok_ && spool_.write(scratch_, bytes, count);
  }
  bool finish() { return !deflated_ || pack(nullptr, 0, Z_FINISH); }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t size() const { return size_; }

 private:
  bool pack(const unsigned char* bytes, std::size_t count, int flush) {
    z_.next_in = const_cast<unsigned char*>(bytes);
    z_.avail_in = static_cast<uInt>(count);
    int status = Z_OK;
    do {
      z_.next_out = out_;
      z_.avail_out = sizeof out_;
      status = deflate(&z_, flush);
      ok_ = ok_ && status != Z_STREAM_ERROR &&
            spool_.write(scratch_, out_, sizeof out_ - z_.avail_out);
    } while (ok_ && (z_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END)));
    return ok_;
  }

  bool deflated_;
  const Scratch& scratch_;
  Spool& spool_;
  z_stream z_{};
  bool ok_ = true;
  std::uint32_t crc_ = 0;
  std::uint64_t size_ = 0;
  unsigned char out_[64 * 1024] = {};
};

// What one model or archive entry becomes.
struct Prepared {
  ArchiveConversion tally;  // its figures, names relative to the entry
  Spool spool;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

// One entry that libzip is given a source for.
struct Slot {
  std::size_t entry = 0;  // in the layout
  MemberKind kind = MemberKind::Model;
  time_t mtime = 0;
  enum class State : unsigned char { Waiting, Claimed, Ready } state = State::Waiting;
  Prepared made;
};

// What a thread needs to make entries: its piece of memory, and room for a
// model held whole.
struct Workspace {
  std::unique_ptr<unsigned char[]> piece{new unsigned char[kPieceBytes]};
  std::vector<unsigned char> held;
};

ArchiveConversion convertAt(int in, std::uint64_t size, int out, const ArchiveSettings& settings,
                            const EntryPath& path, int depth);

ArchiveFailure cannotWriteEntry(const EntryPath& path, int error) {
  return archiveFailure(
      false, kExitOutputFailed,
      printed(say::kZipCannotScratch, entryText(path).c_str(), std::strerror(error)), path);
}

// The failure of a damaged model at path, which --salvage would write.
ArchiveFailure damagedModel(const EntryPath& path, const SurveyInfo& s) {
  ArchiveFailure f = archiveFailure(
      true, exitStatusFor(s.outcome),
      printed(say::kZipEntryDamaged, entryText(path).c_str(), describeDamage(s).text), path);
  f.salvageable = true;
  return f;
}

// Walks the model again, converting, into the packer: its first bytes are
// the header the survey gave, and it ends at outputLength. (The first walk
// checked its CRC.)
bool packConversion(int fd, const ZipSpan& e, const EntryPath& path, unsigned char* piece,
                    const unsigned char* header, std::int64_t outputLength, Packer& packer,
                    ArchiveFailure* failure) {
  Conversion c;
  EntryReader reader(fd, e);
  std::size_t length = 0;
  std::int64_t out = 0;  // output bytes walked so far
  while (!conversionEnded(c)) {
    const std::int64_t got = reader.read(piece + length, kPieceBytes - length);
    if (got < 0) {
      *failure = entryFailure(path, reader);
      return false;
    }
    length += static_cast<std::size_t>(got);
    const std::size_t walked = convertInPlace(c, piece, length, got == 0);
    if (out < kFileHeaderBytes) {
      const auto n =
          std::min<std::size_t>(static_cast<std::size_t>(kFileHeaderBytes - out), walked);
      std::memcpy(piece, header + out, n);
    }
    const std::int64_t kept = std::max<std::int64_t>(
        0, std::min<std::int64_t>(static_cast<std::int64_t>(walked), outputLength - out));
    if (kept > 0 && !packer.add(piece, static_cast<std::size_t>(kept))) {
      *failure = cannotWriteEntry(path, errno);
      return false;
    }
    out += static_cast<std::int64_t>(walked);
    std::memmove(piece, piece + walked, length - walked);
    length -= walked;
    if (got == 0) {
      break;
    }
  }
  return true;
}

// Reads a model whole into held and converts it there, surveying it in the
// same walk.
bool convertHeld(int fd, const ZipSpan& e, const EntryPath& path, Workspace& ws, SurveyInfo* s,
                 ConversionResult* result, ArchiveFailure* failure) {
  ws.held.resize(static_cast<std::size_t>(e.size));
  EntryReader reader(fd, e);
  std::size_t have = 0;
  for (;;) {
    const bool full = have == ws.held.size();
    const std::int64_t got = full ? reader.read(ws.piece.get(), kPieceBytes)
                                  : reader.read(ws.held.data() + have, ws.held.size() - have);
    if (got < 0) {
      *failure = entryFailure(path, reader);
      return false;
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  *s = convertSurveyed(ws.held.data(), ws.held.size(), result);
  return true;
}

// Makes a model entry's new data, unless its conversion changes nothing.
bool prepareModel(int fd, const ZipSpan& e, const ArchiveSettings& settings, const EntryPath& path,
                  Workspace& ws, Prepared& p) {
  ArchiveConversion& t = p.tally;
  t.counts.models = 1;
  SurveyInfo s;
  ConversionResult result;
  unsigned char header[kFileHeaderBytes];
  const bool held = e.size <= kHeldModel;
  if (held ? !convertHeld(fd, e, path, ws, &s, &result, &t.failure)
           : !surveyEntry(fd, e, path, ws.piece.get(), nullptr, nullptr, &s, &result, header,
                          &t.failure)) {
    return false;
  }
  if (s.end == WalkEnd::Damaged) {
    if (!settings.salvage) {
      t.failure = damagedModel(path, s);
      return false;
    }
    t.salvaged = 1;
    t.firstSalvaged = path;
    t.salvagedDamage = describeDamage(s).text;
  } else if (s.alreadyConverted) {
    return true;
  }
  t.changed = true;
  t.modelsChanged = 1;
  t.wordsChanged = s.wordsChanged;
  t.bytesDropped = s.size - s.outputSize;
  Packer packer(e, settings.scratch, p.spool);
  const bool packed =
      held ? packer.add(ws.held.data(), static_cast<std::size_t>(result.outputLength))
           : packConversion(fd, e, path, ws.piece.get(), header, result.outputLength, packer,
                            &t.failure);
  if (!packed || !packer.finish()) {
    if (!t.failure.failed) {
      t.failure = cannotWriteEntry(path, errno);
    }
    return false;
  }
  p.size = packer.size();
  p.crc = packer.crc();
  return true;
}

// Makes an archive entry's new data: the archive converted in turn, in
// scratch files, unless nothing in it changes.
bool prepareArchive(int fd, const ZipSpan& e, const ArchiveSettings& settings,
                    const EntryPath& path, int depth, Workspace& ws, Prepared& p) {
  TemporaryFile inner(*settings.scratch.share);
  TemporaryFile converted(*settings.scratch.share);
  ArchiveFailure& failure = p.tally.failure;
  if (!makeScratch(settings.scratch, path, inner, &failure) ||
      !extractEntry(fd, e, path, ws.piece.get(), inner.fd(), &failure) ||
      !makeScratch(settings.scratch, path, converted, &failure)) {
    return false;
  }
  ArchiveSettings alone = settings;
  alone.helpers = 0;
  p.tally = convertAt(inner.fd(), e.size, converted.fd(), alone, path, depth + 1);
  if (failure.failed || !p.tally.changed) {
    return !failure.failed;
  }
  Packer packer(e, settings.scratch, p.spool);
  if (seekFile(converted.fd(), 0, SEEK_SET) != 0) {
    failure = cannotWriteEntry(path, errno);
    return false;
  }
  for (;;) {
    const std::int64_t got = readSome(converted.fd(), ws.piece.get(), kPieceBytes);
    if (got < 0 || (got > 0 && !packer.add(ws.piece.get(), static_cast<std::size_t>(got))) ||
        (got == 0 && !packer.finish())) {
      failure = cannotWriteEntry(path, errno);
      return false;
    }
    if (got == 0) {
      break;
    }
  }
  p.size = packer.size();
  p.crc = packer.crc();
  return true;
}

// The entries libzip is given sources for, made in order by the thread
// that writes and by helpers, a bounded window ahead of the writing.
class Preparation {
 public:
  Preparation(int fd, const ZipLayout& layout, std::vector<Slot>& slots,
              const ArchiveSettings& settings, const EntryPath& path, int depth)
      : fd_(fd),
        layout_(layout),
        slots_(slots),
        settings_(settings),
        path_(path),
        depth_(depth),
        window_(std::min(kMostWindow, 2 * (std::size_t{settings.helpers} + 1))) {}

  // Slot k, made: while a helper makes it, this thread makes the next
  // slots the window allows, so that it is never idle while there is work.
  Slot& await(std::size_t k, Workspace& ws) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (slots_[k].state != Slot::State::Ready) {
      if (!stopped_ && next_ < slots_.size() && next_ < consumed_ + window_) {
        makeLocked(lock, next_, ws);
      } else {
        changed_.wait(lock);
      }
    }
    return slots_[k];
  }

  // Slot k is written: its memory goes, and helpers may go further ahead.
  void release(std::size_t k) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_[k].made.spool.clear();
    consumed_ = std::max(consumed_, k + 1);
    changed_.notify_all();
  }

  void help() {
    Workspace ws;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] {
        return stopped_ || next_ >= slots_.size() || next_ < consumed_ + window_;
      });
      if (stopped_ || next_ >= slots_.size()) {
        return;
      }
      makeLocked(lock, next_, ws);
    }
  }

  void stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  // Takes slot k (next_), makes it without the lock, and says it is ready.
  void makeLocked(std::unique_lock<std::mutex>& lock, std::size_t k, Workspace& ws) {
    ++next_;
    Slot& slot = slots_[k];
    slot.state = Slot::State::Claimed;
    lock.unlock();
    const ZipSpan& e = layout_.entries[slot.entry];
    EntryPath path = path_;
    path.push_back(e.name);
    const bool made = slot.kind == MemberKind::Model
                          ? prepareModel(fd_, e, settings_, path, ws, slot.made)
                          : prepareArchive(fd_, e, settings_, path, depth_, ws, slot.made);
    lock.lock();
    slot.state = Slot::State::Ready;
    stopped_ = stopped_ || !made;
    changed_.notify_all();
  }

  int fd_;
  const ZipLayout& layout_;
  std::vector<Slot>& slots_;
  const ArchiveSettings& settings_;
  const EntryPath& path_;
  int depth_;
  std::size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;      // the next slot to take
  std::size_t consumed_ = 0;  // slots written
  bool stopped_ = false;
};

// The source libzip reads an entry's new stored bytes from: its slot's
// spool, or, when nothing in it changes, its stored bytes as they are.
struct EntrySource {
  Preparation* preparation = nullptr;
  std::size_t slot = 0;
  const ZipSpan* entry = nullptr;
  int in = -1;
  Workspace* ws = nullptr;
  Slot* made = nullptr;
  std::uint64_t readAt = 0;
  zip_error_t error{};
};

zip_int64_t statEntry(EntrySource& s, void* data, zip_uint64_t length) {
  auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &s.error);
  if (st == nullptr) {
    return -1;
  }
  s.made = &s.preparation->await(s.slot, *s.ws);
  const Prepared& p = s.made->made;
  if (p.tally.failure.failed) {
    return failSource(s.error, ZIP_ER_CANCELLED, 0);
  }
  const bool changed = p.tally.changed;
  zip_stat_init(st);
  st->valid =
      ZIP_STAT_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_COMP_SIZE | ZIP_STAT_MTIME;
  st->size = changed ? p.size : s.entry->size;
  st->crc = changed ? p.crc : s.entry->crc;
  st->comp_method = s.entry->method;
  st->comp_size = changed ? p.spool.size() : s.entry->compressedSize;
  st->mtime = s.made->mtime;
  return sizeof *st;
}

zip_int64_t entrySource(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& s = *static_cast<EntrySource*>(state);
  const bool changed = s.made != nullptr && s.made->made.tally.changed;
  switch (command) {
    case ZIP_SOURCE_STAT:
      return statEntry(s, data, length);
    case ZIP_SOURCE_OPEN:
      s.readAt = 0;
      return !changed || s.made->made.spool.rewind() ? 0 : failSource(s.error, ZIP_ER_READ, errno);
    case ZIP_SOURCE_READ: {
      const std::int64_t got =
          changed ? s.made->made.spool.read(static_cast<unsigned char*>(data), length)
                  : pread(s.in, data,
                          std::min<std::uint64_t>(length, s.entry->compressedSize - s.readAt),
                          static_cast<off_t>(s.entry->data + s.readAt));
      if (got < 0) {
        return failSource(s.error, ZIP_ER_READ, errno);
      }
      s.readAt += static_cast<std::uint64_t>(got);
      return got;
    }
    case ZIP_SOURCE_CLOSE:
      s.preparation->release(s.slot);
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s.error, data, length);
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_READABLE;
    default:
      return failSource(s.error, ZIP_ER_OPNOTSUPP, 0);
  }
}

// Finds the entries libzip gets sources for, counting every entry by its
// kind; false, with the failure, when one cannot be read.
bool findSlots(int in, const ZipLayout& layout, const EntryPath& path, int depth,
               std::vector<Slot>& slots, ArchiveConversion& c) {
  for (std::size_t i = 0; i < layout.entries.size(); ++i) {
    EntryPath at = path;
    at.push_back(layout.entries[i].name);
    const MemberKind kind = memberKind(in, layout.entries[i], depth, at, &c.failure);
    if (c.failure.failed) {
      return false;
    }
    ++c.counts.entries;
    (kind == MemberKind::Model     ? c.counts.models
     : kind == MemberKind::Archive ? c.counts.archives
                                   : c.counts.others) += 1;
    if (kind != MemberKind::Other) {
      slots.emplace_back();
      slots.back().entry = i;
      slots.back().kind = kind;
    }
  }
  return true;
}

// Whether no model changes, surveyed in order up to the first that does:
// then nothing is written. An archive inside is not looked into here.
bool nothingChanges(int in, const ZipLayout& layout, const std::vector<Slot>& slots,
                    const ArchiveSettings& settings, const EntryPath& path, ArchiveConversion& c) {
  Workspace ws;
  for (const Slot& slot : slots) {
    if (slot.kind != MemberKind::Model) {
      return false;
    }
    const ZipSpan& e = layout.entries[slot.entry];
    EntryPath at = path;
    at.push_back(e.name);
    SurveyInfo s;
    ConversionResult result;
    unsigned char header[kFileHeaderBytes];
    if (!surveyEntry(in, e, at, ws.piece.get(), nullptr, nullptr, &s, &result, header,
                     &c.failure)) {
      return true;  // nothing is written: it failed
    }
    if (s.end == WalkEnd::Damaged && !settings.salvage) {
      c.failure = damagedModel(at, s);
      return true;
    }
    if (s.end == WalkEnd::Damaged || !s.alreadyConverted) {
      return false;
    }
  }
  return true;
}

// Adds what slots made to the archive's figures; the first failure in the
// archive's order is its failure.
void tallySlots(const std::vector<Slot>& slots, ArchiveConversion& c) {
  for (const Slot& slot : slots) {
    const ArchiveConversion& t = slot.made.tally;
    if (slot.state != Slot::State::Ready) {
      continue;
    }
    if (t.failure.failed && !c.failure.failed) {
      c.failure = t.failure;
    }
    if (slot.kind == MemberKind::Archive) {
      c.counts.entries += t.counts.entries;
      c.counts.models += t.counts.models;
      c.counts.archives += t.counts.archives;
      c.counts.others += t.counts.others;
    }
    c.changed = c.changed || t.changed;
    c.modelsChanged += t.modelsChanged;
    c.wordsChanged += t.wordsChanged;
    c.bytesDropped += t.bytesDropped;
    if (t.salvaged > 0 && c.salvaged == 0) {
      c.firstSalvaged = t.firstSalvaged;
      c.salvagedDamage = t.salvagedDamage;
    }
    c.salvaged += t.salvaged;
  }
}

// Gives libzip a source for each slot's entry, compressed as it was.
bool replaceEntries(const ZipHandle& zip, const ZipLayout& layout, std::vector<Slot>& slots,
                    std::vector<EntrySource>& sources) {
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const ZipSpan& e = layout.entries[slots[k].entry];
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip.get(), slots[k].entry, 0, &st) != 0) {
      return false;
    }
    slots[k].mtime = st.mtime;
    zip_error_init(&sources[k].error);
    zip_source_t* source = zip_source_function_create(entrySource, &sources[k], nullptr);
    if (source == nullptr || zip_file_replace(zip.get(), slots[k].entry, source, 0) != 0) {
      zip_source_free(source);
      return false;
    }
    const zip_uint32_t level =
        e.method == kZipDeflated ? static_cast<zip_uint32_t>(deflateLevelOf(e.flags)) : 0;
    if (zip_set_file_compression(zip.get(), slots[k].entry, e.method, level) != 0) {
      return false;
    }
  }
  return true;
}

// Writes the archive with its slots' entries into out.
void writeArchive(int in, std::uint64_t size, int out, const ZipLayout& layout,
                  std::vector<Slot>& slots, const ArchiveSettings& settings, const EntryPath& path,
                  int depth, ArchiveConversion& c) {
  Preparation preparation(in, layout, slots, settings, path, depth);
  Workspace ws;
  std::vector<EntrySource> sources(slots.size());
  for (std::size_t k = 0; k < slots.size(); ++k) {
    sources[k] = EntrySource{&preparation, k, &layout.entries[slots[k].entry], in, &ws};
  }
  ZipHandle zip;  // after the sources, which it frees first
  if (!zip.open(in, size, out) || !replaceEntries(zip, layout, slots, sources)) {
    c.failure =
        archiveFailure(false, kExitDamagedInput,
                       printed(say::kZipCannotRead, zipErrorText(zip.error()).c_str()), path);
    return;
  }
  std::vector<std::thread> helpers;
  for (unsigned h = 0; h < settings.helpers && h + 1 < slots.size(); ++h) {
    helpers.emplace_back([&preparation] { preparation.help(); });
  }
  const bool closed = zip.close();
  preparation.stop();
  for (std::thread& helper : helpers) {
    helper.join();
  }
  for (EntrySource& source : sources) {
    zip_error_fini(&source.error);
  }
  tallySlots(slots, c);
  const int kept = closed && !c.failure.failed ? keepEntryTimes(layout, out, zip.written()) : 0;
  if (kept != 0) {
    c.failure = archiveFailure(false, kExitOutputFailed,
                               printed(say::kZipCannotWrite, std::strerror(kept)), path);
  }
  if (!closed && !c.failure.failed) {
    const zip_error_t& error = zip.error();
    const bool write = error.zip_err == ZIP_ER_WRITE;
    c.failure = archiveFailure(false, write ? kExitOutputFailed : kExitDamagedInput,
                               write ? printed(say::kZipCannotWrite, std::strerror(error.sys_err))
                                     : printed(say::kZipCannotRead, zipErrorText(error).c_str()),
                               path);
  }
}

ArchiveConversion convertAt(int in, std::uint64_t size, int out, const ArchiveSettings& settings,
                            const EntryPath& path, int depth) {
  ArchiveConversion c;
  ZipLayout layout;
  c.failure = readCheckedLayout(in, size, path, &layout);
  std::vector<Slot> slots;
  if (c.failure.failed || !findSlots(in, layout, path, depth, slots, c) || slots.empty() ||
      nothingChanges(in, layout, slots, settings, path, c)) {
    return c;
  }
  writeArchive(in, size, out, layout, slots, settings, path, depth, c);
  return c;
}

}  // namespace

ArchiveConversion convertArchive(int in, std::uint64_t size, int out,
                                 const ArchiveSettings& settings) {
  return convertAt(in, size, out, settings, EntryPath(), 0);
}

}  // namespace convert3do
