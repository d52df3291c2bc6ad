#include "cli/common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/common/process.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

namespace {

OpenedFile failure(int error) {
  OpenedFile file;
  file.error = error;
  return file;
}

OpenedFile opened(int fd) {
  OpenedFile file;
  file.fd = fd;
  file.identity = identifyDescriptor(fd);
  return file;
}

}  // namespace

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

bool unchangedSince(const FileIdentity& now, const FileIdentity& then) {
  return sameFile(now, then) && now.size == then.size &&
         now.modifiedSeconds == then.modifiedSeconds &&
         now.modifiedNanoseconds == then.modifiedNanoseconds &&
         now.changedSeconds == then.changedSeconds &&
         now.changedNanoseconds == then.changedNanoseconds;
}

#ifdef _WIN32

namespace {

// A file on Windows is known by its volume's serial number and its file index.
FileIdentity fromHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) {
    return FileIdentity{};
  }
  FileIdentity identity;
  identity.known = true;
  identity.regular =
      GetFileType(handle) == FILE_TYPE_DISK &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode =
      (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  identity.size = static_cast<long long>(
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  identity.modifiedSeconds = static_cast<long long>(
      (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return identity;
}

}  // namespace

std::wstring widen(const char* name) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (length <= 0) {
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

FileIdentity identifyDescriptor(int fd) {
  return fromHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

FileIdentity identifyEntry(const char* name) {
  // No access is asked for, and every kind of sharing is allowed, so looking
  // never disturbs the file or another program that has it open.
  HANDLE handle = CreateFileW(
      widen(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return FileIdentity{};
  }
  const FileIdentity identity = fromHandle(handle);
  CloseHandle(handle);
  return identity;
}

OpenedFile openInput(const char* name, bool mustAllowUpdate) {
  const std::wstring wide = widen(name);
  int check = -1;
  if (mustAllowUpdate && (check = _wopen(wide.c_str(), _O_RDWR | _O_BINARY)) < 0) {
    return failure(errno);
  }
  const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
  const int error = errno;
  if (check >= 0) {
    _close(check);
  }
  return fd < 0 ? failure(error) : opened(fd);
}

OpenedFile openInputAtOnce(const char* name) {
  return openInput(name, false);
}

OpenedFile openOutput(const char* name, const FileIdentity& input, bool* sameAsInput) {
  *sameAsInput = false;
  const int fd = _wopen(widen(name).c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    return failure(errno);
  }
  OpenedFile file = opened(fd);
  if (sameFile(file.identity, input)) {
    *sameAsInput = true;
    _close(fd);
    return failure(0);
  }
  const errno_t cut = file.identity.regular ? _chsize_s(fd, 0) : 0;
  if (cut != 0) {
    _close(fd);
    return failure(cut);
  }
  return file;
}

bool closeFile(int fd) {
  return _close(fd) == 0;
}

FileIdentity identifyPath(const char* name) {
  HANDLE handle =
      CreateFileW(widen(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return FileIdentity{};
  }
  FileIdentity identity = fromHandle(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) != 0) {
    identity.links = info.nNumberOfLinks;
  }
  CloseHandle(handle);
  return identity;
}

int openExclusive(const char* name, unsigned) {
  return _wopen(widen(name).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY,
                _S_IREAD | _S_IWRITE);
}

bool syncFile(int fd) {
  return _commit(fd) == 0;
}

bool removeFile(const char* name) {
  return _wunlink(widen(name).c_str()) == 0;
}

#else

namespace {

FileIdentity fromStat(const struct stat& info) {
  FileIdentity identity;
  identity.known = true;
  identity.regular = S_ISREG(info.st_mode);
  identity.device = static_cast<unsigned long long>(info.st_dev);
  identity.inode = static_cast<unsigned long long>(info.st_ino);
  identity.directory = S_ISDIR(info.st_mode);
  identity.symlink = S_ISLNK(info.st_mode);
  identity.permissions = static_cast<unsigned>(info.st_mode & 0777);
  identity.mode = static_cast<unsigned>(info.st_mode & 07777);
  identity.modifiedSeconds = static_cast<long long>(info.st_mtim.tv_sec);
  identity.modifiedNanoseconds = static_cast<long>(info.st_mtim.tv_nsec);
  identity.changedSeconds = static_cast<long long>(info.st_ctim.tv_sec);
  identity.changedNanoseconds = static_cast<long>(info.st_ctim.tv_nsec);
  identity.size = static_cast<long long>(info.st_size);
  identity.links = static_cast<unsigned long long>(info.st_nlink);
  identity.owner = static_cast<unsigned>(info.st_uid);
  identity.group = static_cast<unsigned>(info.st_gid);
  return identity;
}

constexpr int kReadOnly = O_RDONLY | O_NOCTTY | O_CLOEXEC;

}  // namespace

FileIdentity identifyStat(const void* info) {
  return fromStat(*static_cast<const struct stat*>(info));
}

FileIdentity identifyDescriptor(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? fromStat(info) : FileIdentity{};
}

FileIdentity identifyEntry(const char* name) {
  struct stat info {};
  return lstat(name, &info) == 0 ? fromStat(info) : FileIdentity{};
}

OpenedFile openInput(const char* name, bool mustAllowUpdate) {
  if (!mustAllowUpdate) {
    const int fd = open(name, kReadOnly);
    return fd < 0 ? failure(errno) : opened(fd);
  }
  struct stat info {};
  if (stat(name, &info) == 0 && S_ISFIFO(info.st_mode)) {
    // Opened for update, a FIFO would have this process as a writer, and its
    // end would never come; its permissions decide instead. The open waits
    // for a writer, as any reader of a FIFO does.
    if (faccessat(AT_FDCWD, name, R_OK | W_OK, AT_EACCESS) != 0) {
      return failure(errno);
    }
    const int fd = open(name, kReadOnly);
    return fd < 0 ? failure(errno) : opened(fd);
  }
  const int check = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (check < 0) {
    return failure(errno);
  }
  const int fd = open(name, kReadOnly);
  const int error = errno;
  const FileIdentity checked = identifyDescriptor(check);
  (void)close(check);
  if (fd < 0) {
    return failure(error);
  }
  OpenedFile file = opened(fd);
  if (!sameFile(file.identity, checked)) {
    (void)close(fd);
    return failure(ESTALE);  // the name was given to another file meanwhile
  }
  return file;
}

OpenedFile openInputAtOnce(const char* name) {
  const int fd = open(name, kReadOnly | O_NONBLOCK);
  return fd < 0 ? failure(errno) : opened(fd);
}

OpenedFile openOutput(const char* name, const FileIdentity& input, bool* sameAsInput) {
  *sameAsInput = false;
  const int fd = open(name, O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC,
                      static_cast<mode_t>(input.known ? input.permissions : 0666));
  if (fd < 0) {
    return failure(errno);
  }
  OpenedFile file = opened(fd);
  if (sameFile(file.identity, input)) {
    *sameAsInput = true;
    (void)close(fd);
    return failure(0);
  }
  if (file.identity.regular && ftruncate(fd, 0) != 0) {
    const int error = errno;
    (void)close(fd);
    return failure(error);
  }
  return file;
}

bool closeFile(int fd) {
  return close(fd) == 0;
}

FileIdentity identifyPath(const char* name) {
  struct stat info {};
  return stat(name, &info) == 0 ? fromStat(info) : FileIdentity{};
}

int openExclusive(const char* name, unsigned permissions) {
  return openExclusiveAt(AT_FDCWD, name, permissions);
}

int openExclusiveAt(int folder, const char* name, unsigned permissions) {
  return openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                static_cast<mode_t>(permissions));
}

bool syncFile(int fd) {
  return fsync(fd) == 0;
}

bool removeFile(const char* name) {
  return unlink(name) == 0;
}

#endif

OpenedFile openReadable(const char* name) {
  if (std::strcmp(name, "-") != 0) {
    return openInput(name, false);
  }
#ifdef _WIN32
  (void)_setmode(0, _O_BINARY);
#endif
  return opened(0);
}

void closeReadable(const char* name, int fd) {
  if (std::strcmp(name, "-") != 0) {
    (void)closeFile(fd);
  }
}

bool removeIfSame(const char* name, const FileIdentity& identity) {
  const FileIdentity entry = identifyEntry(name);
  return !(identity.regular && entry.regular && sameFile(entry, identity)) || removeFile(name);
}

}  // namespace convert3do
