#include "cli/file_identity.h"

#include <sys/stat.h>
#include <sys/types.h>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace convert3do {

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

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

}  // namespace convert3do
