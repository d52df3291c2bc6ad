// Telling files apart by identity rather than by name, so that no spelling of
// the input's name (./x, a symlink, a hard link) can be opened as the output,
// and so that only the regular file this run created is ever removed.
#ifndef CONVERT3DO_CLI_FILE_IDENTITY_H
#define CONVERT3DO_CLI_FILE_IDENTITY_H

#include <cstdio>

namespace convert3do {

struct FileIdentity {
  bool known = false;    // false when the file does not exist or cannot be examined
  bool regular = false;  // a regular file, not a device, FIFO or directory
  unsigned long long device = 0;
  unsigned long long inode = 0;
};

// The file an open stream refers to.
FileIdentity identifyStream(std::FILE* stream);

// The file a name refers to, following symbolic links.
FileIdentity identifyPath(const char* name);

// The directory entry itself, not following a symbolic link.
FileIdentity identifyEntry(const char* name);

bool sameFile(const FileIdentity& a, const FileIdentity& b);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_FILE_IDENTITY_H
