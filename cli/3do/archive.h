// Zip archives of models, as mods pass them around: what 3do info and check
// find inside one, and 3do convert's conversion of one into another.
//
// A model is an entry whose bytes start with the magic, whatever its name;
// an entry that cannot be read (encrypted, or compressed other than stored
// or deflated) counts as one when its name ends in .3do, and is refused. An
// entry whose bytes start as an archive's is opened in turn, down to
// kArchiveDepth archives deep; deeper ones are other entries.
//
// The entries are read through their layout (zip_layout.h) and zlib, each
// streamed in pieces, its CRC and size checked. The archive is written by
// libzip through the caller's descriptor: every other entry's stored bytes,
// CRC, time, extra fields and place are copied as they are, never inflated;
// each model whose conversion changes it becomes that conversion, stored or
// deflated (at the level its flags record) as it was, keeping its name,
// time, comment, extra fields and attributes.
#ifndef CONVERT3DO_CLI_3DO_ARCHIVE_H
#define CONVERT3DO_CLI_3DO_ARCHIVE_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/common/folder.h"
#include "cli/common/temporary.h"
#include "convert/survey.h"

namespace convert3do {

// Whether this 3do was built with archives (libzip and zlib).
extern const bool kArchivesBuilt;

// The libraries archives are read and written with, for --version.
std::string archiveLibraries();

constexpr int kArchiveDepth = 3;  // an archive, the archives in it, and those in them

// The names that lead to an entry, outermost first: an entry of the archive,
// or of an archive that is an entry of it, and so on.
using EntryPath = std::vector<std::string>;

// An entry's names, each quoted as a shell word: "NAME entry NAME".
std::string entryText(const EntryPath& path);

// The entry's names as a person reads them after the file's name:
// "FILE entry NAME entry NAME", each name quoted as a shell word.
std::string shownEntry(const std::string& file, const EntryPath& path);

// Why an archive is not read or not written: a message of the table, with
// the entries it names put in, and the status it gives.
struct ArchiveFailure {
  bool failed = false;
  bool damaged = false;      // its bytes are wrong, rather than refused by a rule
  bool salvageable = false;  // a damaged model, which --salvage writes
  int status = 0;
  std::string message;
  EntryPath entry;  // the entry it is about, when one
};

// What an archive holds, nested archives' entries counted as theirs.
struct ArchiveCounts {
  std::int64_t entries = 0;
  std::int64_t models = 0;
  std::int64_t archives = 0;  // opened in turn
  std::int64_t others = 0;
};

// An entry that is not a model, for 3do info --entries.
struct OtherEntry {
  std::uint64_t size = 0;
  std::uint64_t compressedSize = 0;
  std::uint16_t method = 0;
  bool archive = false;  // opened in turn
};

// What 3do info and check are told, in the archive's order.
class ArchiveVisitor {
 public:
  virtual ~ArchiveVisitor() = default;
  virtual void beginModel(const EntryPath& path) = 0;
  virtual void chunk(const ChunkRecord& chunk) = 0;
  virtual void endModel(const EntryPath& path, const SurveyInfo& survey) = 0;
  virtual void other(const EntryPath& path, const OtherEntry& entry) = 0;
};

// Where scratch files go (nested archives, and converted entries too large
// to hold), for the length of a call.
struct Scratch {
  TemporaryFiles::Share* share = nullptr;
  const Folder* folder = nullptr;
};

// Surveys every model in the archive of size bytes in fd. A failure ends it.
ArchiveFailure surveyArchive(int fd, std::uint64_t size, const Scratch& scratch,
                             ArchiveVisitor& visitor, ArchiveCounts* counts);

struct ArchiveSettings {
  bool salvage = false;  // a damaged model becomes its complete chunks
  unsigned helpers = 0;  // threads besides the caller's that convert models
  Scratch scratch;
};

struct ArchiveConversion {
  ArchiveFailure failure;
  bool changed = false;  // some entry changes: the output is written
  ArchiveCounts counts;  // of the entries read, until a failure
  std::int64_t modelsChanged = 0;
  std::int64_t wordsChanged = 0;
  std::int64_t bytesDropped = 0;  // by the models' conversions
  std::int64_t salvaged = 0;      // damaged models written as their complete chunks
  EntryPath firstSalvaged;
  std::string salvagedDamage;  // the first one's damage, in words
};

// Converts the archive of size bytes in `in` into `out` (empty, seekable)
// when an entry changes; otherwise (and on a failure) out may hold anything.
ArchiveConversion convertArchive(int in, std::uint64_t size, int out,
                                 const ArchiveSettings& settings);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_ARCHIVE_H
