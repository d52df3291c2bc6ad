#include "cli/common/file_io.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

namespace {

// One system call moves at most this much, which every host accepts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

}  // namespace

std::int64_t readSome(int fd, unsigned char* bytes, std::size_t count) {
  count = std::min(count, kMaxTransfer);
  for (;;) {
#ifdef _WIN32
    const int got = _read(fd, bytes, static_cast<unsigned int>(count));
#else
    const ssize_t got = read(fd, bytes, count);
#endif
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool writeAll(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const std::size_t step = std::min(count, kMaxTransfer);
#ifdef _WIN32
    const int put = _write(fd, bytes, static_cast<unsigned int>(step));
#else
    const ssize_t put = write(fd, bytes, step);
#endif
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      if (put == 0) {
        errno = EIO;
      }
      return false;
    }
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
  return true;
}

std::int64_t seekFile(int fd, std::int64_t offset, int whence) {
#ifdef _WIN32
  return _lseeki64(fd, offset, whence);
#else
  return lseek(fd, static_cast<off_t>(offset), whence);
#endif
}

bool isRegularFile(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool truncateFile(int fd, std::int64_t length) {
  if (!isRegularFile(fd)) {
    return true;  // A device or FIFO keeps no length to cut.
  }
#ifdef _WIN32
  const errno_t failure = _chsize_s(fd, length);
  if (failure != 0) {
    errno = failure;
  }
  return failure == 0;
#else
  return ftruncate(fd, static_cast<off_t>(length)) == 0;
#endif
}

}  // namespace convert3do
