// Formatting messages into strings, for the 3do program.
#ifndef CONVERT3DO_CLI_3DO_TEXT_H
#define CONVERT3DO_CLI_3DO_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace convert3do {

// The text printf would print with these arguments.
template <typename... Args>
std::string printed(const char* format, Args... args) {
  const int length = std::snprintf(nullptr, 0, format, args...);
  if (length <= 0) {
    return std::string();
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  (void)std::snprintf(&text[0], text.size(), format, args...);
  text.pop_back();
  return text;
}

// count and the noun, singular when count is 1: "1 byte", "16 bytes".
inline std::string counted(std::int64_t count, const char* noun) {
  return printed("%lld %s%s", static_cast<long long>(count), noun, count == 1 ? "" : "s");
}

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_TEXT_H
