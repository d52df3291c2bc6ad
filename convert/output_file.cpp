#include "convert/output_file.h"

#ifdef _WIN32
#include <io.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

namespace convert3do {

bool truncateOutput(std::FILE* out, std::int64_t length) {
#ifdef _WIN32
  return _chsize_s(_fileno(out), length) == 0;
#else
  return ftruncate(fileno(out), static_cast<off_t>(length)) == 0;
#endif
}

}  // namespace convert3do
