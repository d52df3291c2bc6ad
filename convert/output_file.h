// The one output operation stdio lacks: cutting a file back to a length.
#ifndef CONVERT3DO_CONVERT_OUTPUT_FILE_H
#define CONVERT3DO_CONVERT_OUTPUT_FILE_H

#include <cstdint>
#include <cstdio>

namespace convert3do {

// Sets the length of the regular file behind out, whose buffer must have been
// flushed; anything else (a device, a FIFO) keeps no length and is left alone.
// Returns false, with errno set, when the file cannot be cut.
bool truncateOutput(std::FILE* out, std::int64_t length);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_OUTPUT_FILE_H
