// Opening, telling apart and removing files at process level, for both
// programs. Names are bytes as the command line gave them (UTF-8 on Windows,
// where they are opened through the wide-character API, so any name Windows
// allows works).
//
// Files are told apart by identity rather than by name, so that no spelling of
// the input's name (./x, a symlink, a hard link) is ever emptied as the
// output, and only the regular file a run created or emptied is removed.
#ifndef CONVERT3DO_CLI_COMMON_FILES_H
#define CONVERT3DO_CLI_COMMON_FILES_H

#include <cerrno>
#include <string>

// ESTALE means here that a file or folder is no longer the one found before;
// some C libraries (MinGW's) do not name it.
#ifndef ESTALE
#define ESTALE 116
#endif

namespace convert3do {

struct FileIdentity {
  bool known = false;    // false when the file does not exist or cannot be examined
  bool regular = false;  // a regular file, not a device, FIFO or directory
  bool directory = false;
  bool symlink = false;  // only when a final symlink was not followed
  unsigned long long device = 0;
  unsigned long long inode = 0;  // the file index on Windows
  unsigned permissions = 0666;   // the permission bits
  unsigned mode = 0666;          // those and the set-user-ID, set-group-ID and sticky bits
  long long size = 0;            // for a regular file
  unsigned long long links = 1;  // hard links to the file
  unsigned owner = 0;            // user and group (POSIX)
  unsigned group = 0;
  long long modifiedSeconds = 0;  // the last modification
  long modifiedNanoseconds = 0;
  long long changedSeconds = 0;  // the last change of contents or metadata (POSIX)
  long changedNanoseconds = 0;
};

// Whether the file is as it was: the same file, of the same size, last
// modified and last changed at the same moments. The change time is set by
// the system on every write and cannot be set back, so a save of the same
// size whose modification time was put back is still seen.
bool unchangedSince(const FileIdentity& now, const FileIdentity& then);

// The file a name refers to, following symbolic links.
FileIdentity identifyPath(const char* name);

// The identity a stat call gave (a struct stat; POSIX only).
FileIdentity identifyStat(const void* info);

// The file an open descriptor refers to.
FileIdentity identifyDescriptor(int fd);

// The directory entry itself, not following a symbolic link.
FileIdentity identifyEntry(const char* name);

bool sameFile(const FileIdentity& a, const FileIdentity& b);

struct OpenedFile {
  int fd = -1;
  int error = 0;  // errno when fd is -1
  FileIdentity identity;
};

// Opens an input for reading only. With mustAllowUpdate the input is accepted
// only if it could be opened for reading and update, as the classic converter
// demands; it is still read through a descriptor that cannot write, and a FIFO
// is judged by its permissions, so this process never becomes a writer of its
// own pipe.
OpenedFile openInput(const char* name, bool mustAllowUpdate);

// As openInput(name, false), but a FIFO opens at once rather than waiting
// for a writer, so a file replaced by one never holds the run.
OpenedFile openInputAtOnce(const char* name);

// As openInput(name, false), but "-" names standard input, put in binary
// mode on Windows; closeReadable leaves standard input open.
OpenedFile openReadable(const char* name);
void closeReadable(const char* name, int fd);

// Opens the output for reading and writing without emptying it, creating it
// with the given permission bits (masked by the umask) if it does not exist.
// If the open file is the input, *sameAsInput is set and nothing is emptied;
// otherwise a regular file is emptied. Only then is the file written, so no
// race on the name can empty the input.
OpenedFile openOutput(const char* name, const FileIdentity& input, bool* sameAsInput);

// Closes fd; false, with errno set, when the close reports an error.
bool closeFile(int fd);

// Removes name if it is still the regular file identity names; returns false,
// with errno set, only when a removal was due and failed.
bool removeIfSame(const char* name, const FileIdentity& identity);

// Creates name, which must not exist, for reading and writing, with the given
// permission bits (masked by the umask); returns the descriptor, or -1.
int openExclusive(const char* name, unsigned permissions);
#ifndef _WIN32
// The same for name in the opened folder.
int openExclusiveAt(int folder, const char* name, unsigned permissions);
#endif

// Writes the file's data to the disk.
bool syncFile(int fd);

bool removeFile(const char* name);

#ifdef _WIN32
// The UTF-16 form of a UTF-8 name, for the wide-character API.
std::wstring widen(const char* name);
#endif

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_FILES_H
