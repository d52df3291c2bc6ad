// Acting on opened folders rather than on names: a folder is opened once and
// every later look-up, creation, rename and removal is made against it, so
// that a name swapped for a symlink meanwhile cannot redirect the work. On
// Windows, which has no such calls, the same operations go by path.
#ifndef CONVERT3DO_CLI_COMMON_FOLDER_H
#define CONVERT3DO_CLI_COMMON_FOLDER_H

#include <string>
#include <vector>

#include "cli/common/files.h"

namespace convert3do {

// An owned descriptor, closed when it goes.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// An opened folder, and its path for messages (and, on Windows, for acting).
struct Folder {
  Descriptor fd;
  std::string path;
  mutable std::size_t longestName = 0;  // once asked for (see below)
  mutable bool makesNoUnnamed = false;  // its file system refused O_TMPFILE
};

// Opens the folder path ("" is the working directory), following symlinks as
// any name the user typed is followed. Returns 0 or errno.
int openFolder(const std::string& path, Folder* folder);

// Opens the folder below `from` at `relative` ("" is `from` itself) one
// component at a time without following a symlink anywhere on the way, so the
// folder reached is the one the tree held, whatever was renamed meanwhile.
// Returns 0 or errno (ELOOP or ENOTDIR where a component is no folder now).
int openFolderBeneath(const Folder& from, const std::string& relative, Folder* folder);

// The folder `name`, one component, in `from`, reached without following a
// symlink. Returns 0 or errno (ELOOP or ENOTDIR where it is no folder).
int openChild(const Folder& from, const char* name, Folder* child);

// The folder above `from`: its "..". Returns 0 or errno.
int openParent(const Folder& from, Folder* parent);

// Another descriptor of the same opened folder.
int copyFolder(const Folder& from, Folder* copy);

// Makes the folder `name` in `in` (0777, masked by the umask). Returns 0 or
// errno (EEXIST when something is there already).
int makeFolderAt(const Folder& in, const char* name);

// The opened folder's identity.
FileIdentity identifyFolder(const Folder& folder);

// What a folder's listing says an entry is, where the system says it.
enum class EntryKind : unsigned char { Unknown, File, Folder, Symlink, Other };

// The names in folder, but "." and "..", in no order, and with kinds what
// each is. Returns 0 or errno.
int listFolder(const Folder& folder, std::vector<std::string>* names,
               std::vector<EntryKind>* kinds = nullptr);

// The entry name in folder, following a final symlink or not.
FileIdentity identifyAt(const Folder& folder, const char* name, bool follow);

// Opens name in folder for reading; a final symlink is not followed. With
// nonBlocking a FIFO opens at once rather than waiting for a writer.
OpenedFile openReadableAt(const Folder& folder, const char* name, bool nonBlocking = false);

// Renames from to to, both in folder. Without replace an existing `to` stays
// and the call fails with EEXIST, atomically where the system can.
bool renameAt(const Folder& folder, const char* from, const char* to, bool replace);

bool removeAt(const Folder& folder, const char* name);

// Writes the folder's entries to the disk.
bool syncFolder(const Folder& folder);

// Gives the file `to` the owner and group of `identity` (the file `from`),
// then its whole mode, set-user-ID, set-group-ID and sticky bits included,
// then every extended attribute of `from`, ACLs among them. Returns 0, or
// errno with *what saying what could not be kept.
int keepMetadata(int from, int to, const FileIdentity& identity, std::string* what);

// Why this process may not create files in the folder (EACCES, EROFS, ...),
// or 0 when it may; for a path that does not exist yet, in the nearest folder
// above it that does.
int creationError(const Folder& folder);
int creationErrorBelow(const std::string& path);

// The path itself where it exists, else the nearest folder above it that
// does.
std::string nearestExisting(const std::string& path);

// The longest file name the folder takes.
std::size_t longestName(const Folder& folder);

// What the folder's own flag says of how it compares names, where its file
// system keeps one (ext4, f2fs and tmpfs fold case folder by folder).
enum class CaseFlag : unsigned char { None, Folds, Exact };
CaseFlag caseFlag(const Folder& folder);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_FOLDER_H
