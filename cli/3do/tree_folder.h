// The folders of a run, on both sides: where each input was found below a
// folder the user named, and where its output goes below -d DIR. A folder is
// known by its name in its parent and by its identity, never by a path, so
// that any depth costs memory in proportion to the names alone; and it is
// reached from an opened folder one component at a time, never through a
// symlink, and only when it is still the folder first seen there.
#ifndef CONVERT3DO_CLI_3DO_TREE_FOLDER_H
#define CONVERT3DO_CLI_3DO_TREE_FOLDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/common/files.h"
#include "cli/common/folder.h"

namespace convert3do {

// A file's device and inode.
struct FileKey {
  unsigned long long device = 0;
  unsigned long long inode = 0;
};

inline FileKey keyOf(const FileIdentity& identity) {
  return FileKey{identity.device, identity.inode};
}

inline bool sameKey(const FileKey& a, const FileKey& b) {
  return a.device == b.device && a.inode == b.inode;
}

// What a run found where an output folder belongs.
enum class OutputState : unsigned char {
  Unknown,   // not looked at yet
  Made,      // made by this run, so empty when made
  Existing,  // there already
  Absent,    // a dry run's: not there, and would be made
  Refused,   // a symlink or something other than a folder, here or above
  Failed,    // cannot be made or opened, here or above
};

// A folder of the tree the walk met, with where its outputs go.
struct TreeFolder {
  const TreeFolder* parent = nullptr;  // none for the folder a walk starts from
  const char* name = "";               // in its parent; for a walk's start, as named
  std::size_t depth = 0;
  const Folder* root = nullptr;  // the opened folder the walk starts from
  FileKey input;                 // the folder, as the walk opened it
  // The output side, with -d: settled by the plan before any file here is
  // given to a worker, and not changed after.
  FileKey output;
  OutputState outputState = OutputState::Unknown;
  // For Failed, why; for Absent, why a file could not be made there (0: it
  // could).
  int outputError = 0;
  const TreeFolder* outputCause = nullptr;  // for Refused and Failed: the folder at fault
  std::uint32_t outputKey = 0;              // the same for places with one output folder
  // Whether the output folder compares names without regard to case (FAT,
  // exFAT, Windows and macOS disks, casefold folders): two outputs whose names
  // differ only so are one.
  bool outputFoldsCase = false;
};

// The place as shown: the folder its walk started from as named, then each
// folder below, then leaf if given (a name in it).
std::string shownPath(const TreeFolder& place, const char* leaf = "");

// Where its outputs go: dir (-d DIR), then the same folders below, then leaf.
std::string outputPath(const TreeFolder& place, const std::string& dir, const char* leaf = "");

// Which side of a run's places a cursor moves on.
enum class Side : unsigned char { Input, Output };

// Whether folder, opened as the folder of place on side, is still there: its
// parent now (its "..") is the folder recorded for the place above, and holds
// it under its name (not a symlink, nor a mount put over it), and so on up to
// the folder the walk or -d DIR started from. Returns 0, ESTALE when it is
// not, or errno when it cannot be told.
int stillInPlace(const Folder& folder, const TreeFolder& place, Side side);

// Moves through the places of a run with one folder open: up through "..",
// down one component at a time without following a symlink, checking at each
// step that the folder reached is the one the plan recorded, so that nothing
// renamed or planted meanwhile can lead it elsewhere. The cost of a move is the
// distance between the two places, not their depth.
class FolderCursor {
 public:
  // outputRoot: the -d folder, where the output side starts.
  explicit FolderCursor(Side side, const Folder* outputRoot = nullptr)
      : side_(side), outputRoot_(outputRoot) {}

  // Opens the folder of place on the cursor's side. Returns 0 or errno:
  // ELOOP or ENOTDIR where a symlink or something other than a folder is in
  // the way now, ESTALE where a folder is not the one recorded.
  int moveTo(const TreeFolder* place);

  const Folder& folder() const { return folder_; }
  void close() { open_ = false; }

 private:
  int start(const TreeFolder* root);
  int up(const TreeFolder* from, std::size_t steps);
  int down();

  Side side_;
  const Folder* outputRoot_;
  const TreeFolder* at_ = nullptr;
  bool open_ = false;
  Folder folder_;
  std::vector<const TreeFolder*> down_;  // the places to enter, deepest first
};

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_TREE_FOLDER_H
