// 3do built without archives (no libzip or zlib where it was built): an
// archive is refused with a message that says so.
#include "cli/3do/archive.h"
#include "cli/common/exit_status.h"
#include "cli/common/messages.h"

namespace convert3do {

const bool kArchivesBuilt = false;

std::string archiveLibraries() {
  return std::string();
}

namespace {

ArchiveFailure notBuilt() {
  ArchiveFailure f;
  f.failed = true;
  f.status = kExitNotA3do;
  f.message = say::kArchivesNotBuilt;
  return f;
}

}  // namespace

std::string entryText(const EntryPath& path) {
  std::string text;
  for (const std::string& name : path) {
    text += (text.empty() ? "" : say::kZipEntryNamed) + name;
  }
  return text;
}

std::string shownEntry(const std::string& file, const EntryPath& path) {
  return file + say::kZipEntryNamed + entryText(path);
}

ArchiveFailure surveyArchive(int, std::uint64_t, const Scratch&, ArchiveVisitor&, ArchiveCounts*) {
  return notBuilt();
}

ArchiveConversion convertArchive(int, std::uint64_t, int, const ArchiveSettings&) {
  ArchiveConversion c;
  c.failure = notBuilt();
  return c;
}

}  // namespace convert3do
