#include "cli/file_identity.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace convert3do {

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
  return identity;
}

FileIdentity identifyName(const char* name, DWORD flags) {
  // No access is asked for, and every kind of sharing is allowed, so looking
  // never disturbs the file or another program that has it open.
  HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return FileIdentity{};
  }
  const FileIdentity identity = fromHandle(handle);
  CloseHandle(handle);
  return identity;
}

}  // namespace

FileIdentity identifyStream(std::FILE* stream) {
  return fromHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

FileIdentity identifyPath(const char* name) {
  return identifyName(name, 0);
}

FileIdentity identifyEntry(const char* name) {
  return identifyName(name, FILE_FLAG_OPEN_REPARSE_POINT);
}

#else

namespace {

FileIdentity fromStat(const struct stat& info) {
  FileIdentity identity;
  identity.known = true;
  identity.regular = S_ISREG(info.st_mode);
  identity.device = static_cast<unsigned long long>(info.st_dev);
  identity.inode = static_cast<unsigned long long>(info.st_ino);
  return identity;
}

}  // namespace

FileIdentity identifyStream(std::FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0) {
    return FileIdentity{};
  }
  return fromStat(info);
}

FileIdentity identifyPath(const char* name) {
  struct stat info {};
  if (stat(name, &info) != 0) {
    return FileIdentity{};
  }
  return fromStat(info);
}

FileIdentity identifyEntry(const char* name) {
  struct stat info {};
  if (lstat(name, &info) != 0) {
    return FileIdentity{};
  }
  return fromStat(info);
}

#endif

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

}  // namespace convert3do
