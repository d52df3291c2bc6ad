// The survey of a file; apart from the conversion's driver, so that a program
// that only converts links none of what a survey needs (std::function).
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/common/file_convert.h"
#include "cli/common/file_io.h"

namespace convert3do {

SurveyInfo surveyFile(int fd, const ChunkVisitor& visit, bool toEnd) {
  constexpr std::size_t kBufferBytes = std::size_t{64} * 1024;
  std::int64_t origin = -1;    // where a seekable input was when the walk began
  std::int64_t fileSize = -1;  // for a seekable input, from the origin on
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    origin = seekFile(fd, 0, SEEK_CUR);
    fileSize = origin >= 0 ? static_cast<std::int64_t>(info.st_size) - origin : -1;
  }
  ChunkVisitor visitor = visit;
  Survey s;
  s.context = &visitor;
  s.visit = [](void* context, const ChunkRecord& chunk) {
    (*static_cast<ChunkVisitor*>(context))(chunk);
  };
  // Not cleared: only read into.
  const std::unique_ptr<unsigned char[]> bytes(new unsigned char[kBufferBytes]);
  std::size_t pos = 0;
  std::size_t len = 0;
  std::int64_t read = 0;  // the bytes read, for a stream
  int error = 0;
  while (!surveyEnded(s)) {
    const std::int64_t left = surveyPayloadLeft(s);
    if (fileSize >= 0 && left > 0) {
      const std::int64_t target = std::min(s.walk.offset + left, fileSize);
      if (seekFile(fd, origin + target, SEEK_SET) != origin + target) {
        error = errno;
        failSurveyRead(s);
        break;
      }
      skipSurvey(s, target - s.walk.offset);
    }
    std::memmove(bytes.get(), bytes.get() + pos, len - pos);
    len -= pos;
    const std::int64_t got = readSome(fd, bytes.get() + len, kBufferBytes - len);
    if (got < 0) {
      error = errno;
      failSurveyRead(s);
      break;
    }
    len += static_cast<std::size_t>(got);
    read += got;
    pos = surveyBytes(s, bytes.get(), len, got == 0);
  }
  // A stream's size is known once it is read to its end, as wc -c reads it.
  std::int64_t got = 0;
  while (fileSize < 0 && toEnd && error == 0 &&
         (got = readSome(fd, bytes.get(), kBufferBytes)) > 0) {
    read += got;
  }
  if (fileSize < 0 && toEnd && error == 0 && got == 0) {
    fileSize = read;
  }
  return finishSurvey(s, fileSize, error);
}

}  // namespace convert3do
