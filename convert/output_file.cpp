#include "convert/output_file.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

bool truncateOutput(std::FILE* out, std::int64_t length) {
  struct stat info {};
  if (fstat(fileno(out), &info) == 0 && !S_ISREG(info.st_mode)) {
    return true;  // A device or FIFO keeps no length to cut.
  }
#ifdef _WIN32
  const errno_t failure = _chsize_s(_fileno(out), length);
  if (failure != 0) {
    errno = failure;
  }
  return failure == 0;
#else
  return ftruncate(fileno(out), static_cast<off_t>(length)) == 0;
#endif
}

}  // namespace convert3do
