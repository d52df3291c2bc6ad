#include "cli/common/folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/fs.h>
#endif

#include "cli/common/messages.h"

namespace {
#ifdef FS_CASEFOLD_FL
constexpr int kCaseFoldFlag = FS_CASEFOLD_FL;
#else
constexpr int kCaseFoldFlag = 0x40000000;  // older kernel headers lack its name
#endif
}  // namespace

namespace convert3do {

void Descriptor::reset(int fd) {
  if (fd_ >= 0) {
    (void)closeFile(fd_);
  }
  fd_ = fd;
}

namespace {

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

#ifdef _WIN32

// Windows has no calls relative to an opened folder: the same operations go by
// path, and a folder is only checked to be one.
int openFolder(const std::string& path, Folder* folder) {
  const FileIdentity identity = identifyPath(path.empty() ? "." : path.c_str());
  if (!identity.known) {
    return ENOENT;
  }
  if (!identity.directory) {
    return ENOTDIR;
  }
  folder->path = path;
  return 0;
}

int openFolderBeneath(const Folder& from, const std::string& relative, Folder* folder) {
  return openFolder(relative.empty() ? from.path : joined(from.path, relative), folder);
}

int openChild(const Folder& from, const char* name, Folder* child) {
  const std::string path = joined(from.path.empty() ? "." : from.path, name);
  const FileIdentity entry = identifyEntry(path.c_str());
  if (!entry.known) {
    return ENOENT;
  }
  if (!entry.directory || entry.symlink) {
    return ENOTDIR;
  }
  child->path = path;
  return 0;
}

int openParent(const Folder& from, Folder* parent) {
  return openFolder(joined(from.path.empty() ? "." : from.path, ".."), parent);
}

int copyFolder(const Folder& from, Folder* copy) {
  copy->path = from.path;
  return 0;
}

int makeFolderAt(const Folder& in, const char* name) {
  const std::string path = joined(in.path.empty() ? "." : in.path, name);
  return _wmkdir(widen(path.c_str()).c_str()) == 0 ? 0 : errno;
}

FileIdentity identifyAt(const Folder& folder, const char* name, bool follow) {
  const std::string path = joined(folder.path, name);
  return follow ? identifyPath(path.c_str()) : identifyEntry(path.c_str());
}

FileIdentity identifyFolder(const Folder& folder) {
  return identifyPath(folder.path.empty() ? "." : folder.path.c_str());
}

int listFolder(const Folder& folder, std::vector<std::string>* names,
               std::vector<EntryKind>* kinds) {
  std::error_code error;
  std::filesystem::directory_iterator entry(std::filesystem::u8path(folder.path), error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    names->push_back(entry->path().filename().u8string());
    if (kinds != nullptr) {
      kinds->push_back(EntryKind::Unknown);
    }
  }
  return error ? EACCES : 0;
}

OpenedFile openReadableAt(const Folder& folder, const char* name, bool) {
  return openInput(joined(folder.path, name).c_str(), false);
}

int keepMetadata(int, int, const FileIdentity&, std::string*) {
  return 0;  // the new file takes its folder's permissions, as Windows files do
}

bool renameAt(const Folder& folder, const char* from, const char* to, bool replace) {
  if (MoveFileExW(widen(joined(folder.path, from).c_str()).c_str(),
                  widen(joined(folder.path, to).c_str()).c_str(),
                  replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0) {
    return true;
  }
  const DWORD error = GetLastError();
  errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : EACCES;
  return false;
}

bool removeAt(const Folder& folder, const char* name) {
  return removeFile(joined(folder.path, name).c_str());
}

bool syncFolder(const Folder&) {
  return true;  // NTFS journals its folders
}

std::size_t longestName(const Folder&) {
  return 255;
}

int creationError(const Folder&) {
  return 0;  // Windows tells only when the file is made
}

CaseFlag caseFlag(const Folder&) {
  return CaseFlag::None;  // asked of the volume instead
}

int creationErrorBelow(const std::string&) {
  return 0;
}

std::string nearestExisting(const std::string& path) {
  std::filesystem::path at(std::filesystem::u8path(path.empty() ? "." : path));
  while (!identifyPath(at.u8string().c_str()).known && at.has_parent_path() &&
         at.parent_path() != at) {
    at = at.parent_path();
  }
  return at.u8string();
}

#else

int openFolder(const std::string& path, Folder* folder) {
  const int fd = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  folder->fd.reset(fd);
  folder->path = path;
  folder->longestName = 0;
  return 0;
}

int openFolderBeneath(const Folder& from, const std::string& relative, Folder* folder) {
  Descriptor current(fcntl(from.fd.get(), F_DUPFD_CLOEXEC, 0));
  if (current.get() < 0) {
    return errno;
  }
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    end = end == std::string::npos ? relative.size() : end;
    const std::string part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") {
      continue;
    }
    const int next =
        openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      return errno;
    }
    current.reset(next);
  }
  folder->fd = std::move(current);
  folder->longestName = 0;
  folder->path = relative.empty() ? from.path : joined(from.path, relative);
  return 0;
}

int openChild(const Folder& from, const char* name, Folder* child) {
  const int fd =
      openat(from.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return errno;
  }
  child->fd.reset(fd);
  child->path.clear();
  child->longestName = 0;
  child->makesNoUnnamed = false;
  return 0;
}

int openParent(const Folder& from, Folder* parent) {
  return openChild(from, "..", parent);
}

int copyFolder(const Folder& from, Folder* copy) {
  const int fd = fcntl(from.fd.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  copy->fd.reset(fd);
  copy->path = from.path;
  copy->longestName = from.longestName;
  copy->makesNoUnnamed = from.makesNoUnnamed;
  return 0;
}

int makeFolderAt(const Folder& in, const char* name) {
  return mkdirat(in.fd.get(), name, 0777) == 0 ? 0 : errno;
}

FileIdentity identifyAt(const Folder& folder, const char* name, bool follow) {
  struct stat info {};
  if (fstatat(folder.fd.get(), name, &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return FileIdentity{};
  }
  return identifyStat(&info);
}

FileIdentity identifyFolder(const Folder& folder) {
  return identifyDescriptor(folder.fd.get());
}

namespace {

EntryKind kindOf(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryKind::File;
    case DT_DIR:
      return EntryKind::Folder;
    case DT_LNK:
      return EntryKind::Symlink;
    case DT_UNKNOWN:
      return EntryKind::Unknown;
    default:
      return EntryKind::Other;
  }
}

}  // namespace

int listFolder(const Folder& folder, std::vector<std::string>* names,
               std::vector<EntryKind>* kinds) {
  const int fd = fcntl(folder.fd.get(), F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    if (fd >= 0) {
      (void)close(fd);
    }
    return error;
  }
  rewinddir(dir);
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const char* const name = entry->d_name;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
      names->emplace_back(name);
      if (kinds != nullptr) {
        kinds->push_back(kindOf(entry->d_type));
      }
    }
    errno = 0;
  }
  const int error = errno;
  (void)closedir(dir);
  return error;
}

OpenedFile openReadableAt(const Folder& folder, const char* name, bool nonBlocking) {
  OpenedFile file;
  file.fd = openat(folder.fd.get(), name,
                   O_RDONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0));
  if (file.fd < 0) {
    file.error = errno;
  } else {
    file.identity = identifyDescriptor(file.fd);
  }
  return file;
}

namespace {

// Copies every extended attribute of from to to; 0 or errno, naming the one
// that failed.
int copyAttributes(int from, int to, std::string* what) {
  std::vector<char> names(256);
  ssize_t length = 0;
  while ((length = flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE) {
    names.resize(names.size() * 4);
  }
  if (length < 0) {
    *what = say::kItsExtendedAttributes;
    return errno == ENOTSUP ? 0 : errno;  // a file system without them has none to keep
  }
  std::vector<char> value(256);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    const char* name = &names[static_cast<std::size_t>(at)];
    ssize_t size = 0;
    while ((size = fgetxattr(from, name, value.data(), value.size())) < 0 && errno == ERANGE) {
      value.resize(value.size() * 4);
    }
    if (size < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      *what = std::string(say::kItsExtendedAttribute) + name;
      return errno;
    }
  }
  return 0;
}

}  // namespace

int keepMetadata(int from, int to, const FileIdentity& identity, std::string* what) {
  const FileIdentity made = identifyDescriptor(to);
  if ((made.owner != identity.owner || made.group != identity.group) &&
      fchown(to, static_cast<uid_t>(identity.owner), static_cast<gid_t>(identity.group)) != 0) {
    *what = say::kItsOwnerAndGroup;
    return errno;
  }
  // After the owner: a change of owner clears the set-user-ID and
  // set-group-ID bits. A mode the file has already is not set again (some
  // file systems, FAT among them, cannot set one at all).
  if (identifyDescriptor(to).mode != identity.mode &&
      fchmod(to, static_cast<mode_t>(identity.mode)) != 0) {
    *what = say::kItsMode;
    return errno;
  }
  return copyAttributes(from, to, what);
}

namespace {

// Where a file system can neither rename without replacing nor link (FAT,
// many FUSE and network file systems): the name is claimed by creating it
// exclusively, then the file renamed over the empty file so made, if that
// is still what the name holds. Only a kill between the two leaves the empty
// file under the name.
bool renameOverClaimed(int fd, const char* from, const char* to) {
  const int claim = openat(fd, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (claim < 0) {
    return false;  // EEXIST: the target stays
  }
  const FileIdentity claimed = identifyDescriptor(claim);
  (void)close(claim);
  struct stat there {};
  if (fstatat(fd, to, &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(identifyStat(&there), claimed) || there.st_size != 0) {
    errno = EEXIST;  // replaced meanwhile: what is there now stays
    return false;
  }
  if (renameat(fd, from, fd, to) != 0) {
    const int error = errno;
    (void)unlinkat(fd, to, 0);
    errno = error;
    return false;
  }
  return true;
}

}  // namespace

bool renameAt(const Folder& folder, const char* from, const char* to, bool replace) {
  const int fd = folder.fd.get();
  if (replace) {
    return renameat(fd, from, fd, to) == 0;
  }
#ifdef RENAME_NOREPLACE
  if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return false;
  }
#endif
  // A file system without an atomic rename that keeps the target: a link
  // cannot replace either.
  if (linkat(fd, from, fd, to, 0) == 0) {
    (void)unlinkat(fd, from, 0);
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) {
    return false;
  }
  return renameOverClaimed(fd, from, to);
}

bool removeAt(const Folder& folder, const char* name) {
  return unlinkat(folder.fd.get(), name, 0) == 0;
}

bool syncFolder(const Folder& folder) {
  return fsync(folder.fd.get()) == 0 || errno == EINVAL;  // some file systems cannot
}

int creationError(const Folder& folder) {
  return faccessat(folder.fd.get(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

std::string nearestExisting(const std::string& path) {
  std::filesystem::path at(path.empty() ? "." : path);
  while (!identifyPath(at.c_str()).known) {
    const std::filesystem::path up = at.parent_path();
    if (up == at) {
      break;
    }
    at = up.empty() ? "." : up;
  }
  return at.string();
}

int creationErrorBelow(const std::string& path) {
  return faccessat(AT_FDCWD, nearestExisting(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0
                                                                                          : errno;
}

CaseFlag caseFlag(const Folder& folder) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  int flags = 0;
  if (ioctl(folder.fd.get(), FS_IOC_GETFLAGS, &flags) == 0) {
    return (flags & kCaseFoldFlag) != 0 ? CaseFlag::Folds : CaseFlag::Exact;
  }
#else
  (void)folder;
#endif
  return CaseFlag::None;
}

std::size_t longestName(const Folder& folder) {
  if (folder.longestName == 0) {
    const long longest = fpathconf(folder.fd.get(), _PC_NAME_MAX);
    folder.longestName = longest > 0 ? static_cast<std::size_t>(longest) : 255;
  }
  return folder.longestName;
}

#endif

}  // namespace convert3do
