// Formatting messages into strings, for the 3do program.
#ifndef CONVERT3DO_CLI_3DO_TEXT_H
#define CONVERT3DO_CLI_3DO_TEXT_H

#include <cstdint>
#include <string>

#include "cli/common/printf_format.h"

namespace convert3do {

// The text printf would print with these arguments. The compiler checks
// the arguments against the format, a message of the table included.
std::string printed(const char* format, ...) CONVERT3DO_PRINTF(1, 2);

// count and the noun, singular when count is 1: "1 byte", "16 bytes".
inline std::string counted(std::int64_t count, const char* noun) {
  return printed("%lld %s%s", static_cast<long long>(count), noun, count == 1 ? "" : "s");
}

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_TEXT_H
