// Temporary files that a run writes before renaming them into place, as sed -i
// and rsync do: made in the destination's folder, removed unless committed,
// and all removed at once when the run is stopped by a signal.
#ifndef CONVERT3DO_CLI_COMMON_TEMPORARY_H
#define CONVERT3DO_CLI_COMMON_TEMPORARY_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/common/folder.h"

namespace convert3do {

class TemporaryFile;

// The temporary files of a run that are neither committed nor removed yet.
// Creating, committing and removing one take its share's lock, and stopping
// takes every share's, so a stop never misses a file and never removes one
// already in place.
class TemporaryFiles {
 public:
  // Removes every live temporary file and lets no new one be made or
  // committed. Called from normal code (a thread that waits for signals).
  void stop();
  bool stopped() const { return stopped_.load(); }

  // A worker's own share of the set, so that workers never wait on each
  // other; stop() goes through every share.
  class Share {
   public:
    // Ends the hold of the names that commits held (see TemporaryFile::commit):
    // kept, or removed through the folder they were given in. Then, unless a
    // stop removed them first, calls released(context), under the lock a stop
    // takes.
    void releaseHeld(bool keep, void (*released)(void*), void* context);

   private:
    friend class TemporaryFiles;
    friend class TemporaryFile;
    void removeHeld();  // under the lock
    const TemporaryFiles* owner_ = nullptr;
    std::mutex mutex_;
    std::vector<TemporaryFile*> live_;
    // Names given in one folder whose commits wait for a check made once for
    // them all; a stop removes them, as it removes files cut short.
    const Folder* heldFolder_ = nullptr;
    std::vector<std::string> held_;
  };
  Share& newShare();

 private:
  friend class TemporaryFile;
  std::mutex mutex_;  // guards shares_
  std::vector<std::unique_ptr<Share>> shares_;
  std::atomic<bool> stopped_{false};
};

class TemporaryFile {
 public:
  explicit TemporaryFile(TemporaryFiles::Share& share) : share_(share) {}
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
  // The same as create, but where the system can, the file has no name until
  // it is committed (O_TMPFILE, then a link): a killed run leaves nothing
  // behind, and a link costs less than a rename. Committed with replace, it
  // is given its temporary name only then, just before the rename. name() is
  // empty while it has none.
  int createUnnamed(const Folder& folder, const std::string& base, unsigned permissions);

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // Closes the file and gives it the name target in its folder; with
  // replace false an existing target stays (EEXIST). Returns 0 or errno
  // (EINTR once stopped); the file is removed on failure when it goes. Once
  // the name is given, committed(context) is called, if given, under the
  // lock a stop takes: what it records is in place before any stop looks. It
  // returns 0; or an errno for which the name just given is taken back (the
  // file removed through the folder it was made in) and returned; or kHold:
  // the name is held, with the others held in the same folder, until
  // Share::releaseHeld. Names held in another folder must be released first.
  int commit(const std::string& target, bool replace, int (*committed)(void*) = nullptr,
             void* context = nullptr);
  static constexpr int kHold = -1;

  // Removes the file unless it was committed; closes it.
  void discard();

 private:
  friend class TemporaryFiles;
  void forget();      // under the lock
  int nameUnnamed();  // under the lock
  // Calls committed, and takes target back if it says so.
  int settle(const std::string& target, int (*committed)(void*), void* context);

  TemporaryFiles::Share& share_;
  const Folder* folder_ = nullptr;
  std::string name_;
  std::string base_;  // of an unnamed file: its temporary name's, when it gets one
  Descriptor fd_;
  bool live_ = false;     // created, and neither committed nor removed
  bool unnamed_ = false;  // made by createUnnamed without a name
};

// Whether names in folder are compared without regard to case, asked of its
// volume: a file made under a lower-case name is looked up by the upper-case
// one, then removed. Returns 0, or errno when no file can be made there.
int probeCaseFolding(const Folder& folder, bool* folds);

// The name a temporary file for base gets: ".BASE.SUFFIX.tmp", with BASE cut
// (never inside a UTF-8 sequence) so that the whole fits in longest bytes.
std::string temporaryName(const std::string& base, std::size_t longest);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_TEMPORARY_H
