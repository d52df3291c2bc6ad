// Temporary files that a run writes before renaming them into place, as sed -i
// and rsync do: made in the destination's folder, removed unless committed,
// and all removed at once when the run is stopped by a signal.
#ifndef CONVERT3DO_CLI_COMMON_TEMPORARY_H
#define CONVERT3DO_CLI_COMMON_TEMPORARY_H

#include <mutex>
#include <string>
#include <vector>

#include "cli/common/folder.h"

namespace convert3do {

class TemporaryFile;

// The temporary files of a run that are neither committed nor removed yet.
// Creating, committing and removing one, and stopping, take one lock, so a
// stop never misses a file and never removes one already in place.
class TemporaryFiles {
 public:
  // Removes every live temporary file and lets no new one be made or
  // committed. Called from normal code (a thread that waits for signals).
  void stop();
  bool stopped();

 private:
  friend class TemporaryFile;
  std::mutex mutex_;
  bool stopped_ = false;
  std::vector<TemporaryFile*> live_;
};

class TemporaryFile {
 public:
  explicit TemporaryFile(TemporaryFiles& files) : files_(files) {}
  ~TemporaryFile() { discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates ".BASE.XXXXXXXX.tmp" in folder, which must outlive this object,
  // with the given permission bits (masked by the umask); BASE is shortened
  // to fit the folder's name limit. Returns 0 or errno (EINTR once stopped).
  int create(const Folder& folder, const std::string& base, unsigned permissions);
  // The same, with the name removed at once: a scratch file that leaves
  // nothing behind.
  int createScratch(const Folder& folder, const std::string& base);

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // Closes the file and gives it the name target in its folder; with
  // replace false an existing target stays (EEXIST). Returns 0 or errno
  // (EINTR once stopped); the file is removed on failure when it goes.
  int commit(const std::string& target, bool replace);

  // Removes the file unless it was committed; closes it.
  void discard();

 private:
  friend class TemporaryFiles;
  void forget();  // under the lock

  TemporaryFiles& files_;
  const Folder* folder_ = nullptr;
  std::string name_;
  Descriptor fd_;
  bool live_ = false;  // created, and neither committed nor removed
};

// The name a temporary file for base gets: ".BASE.SUFFIX.tmp", with BASE cut
// (never inside a UTF-8 sequence) so that the whole fits in longest bytes.
std::string temporaryName(const std::string& base, std::size_t longest);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_TEMPORARY_H
