// Unbuffered file I/O on descriptors, the same on POSIX hosts and Windows:
// the programs read and write files through these.
#ifndef CONVERT3DO_CLI_COMMON_FILE_IO_H
#define CONVERT3DO_CLI_COMMON_FILE_IO_H

#include <cstddef>
#include <cstdint>

namespace convert3do {

// Reads what is there, up to count bytes, waiting only until some bytes
// arrive: a pipe or a terminal gives what it has. Returns the bytes read, 0 at
// the end of the input, or -1 with errno set.
std::int64_t readSome(int fd, unsigned char* bytes, std::size_t count);

// Writes all count bytes; false, with errno set, when that fails.
bool writeAll(int fd, const unsigned char* bytes, std::size_t count);

// Sets the file offset (whence as for lseek); returns the new offset, or -1
// with errno set (ESPIPE for a pipe).
std::int64_t seekFile(int fd, std::int64_t offset, int whence);

// Whether fd is a regular file, which keeps a length; devices and FIFOs do not.
bool isRegularFile(int fd);

// Sets the length of the regular file fd; anything else is left alone.
// Returns false, with errno set, when the file cannot be cut.
bool truncateFile(int fd, std::int64_t length);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_FILE_IO_H
