#include "cli/3do/json.h"

#include <cstdio>
#include <cstring>

#include "cli/common/quote.h"

namespace convert3do {

void appendJsonString(std::string& out, const char* text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const std::size_t size = std::strlen(text);
  out += '"';
  for (std::size_t i = 0; i < size;) {
    const std::size_t length = printableLength(s + i);
    if (length > 0) {
      if (s[i] == '"' || s[i] == '\\') {
        out += '\\';
      }
      out.append(text + i, length);
      i += length;
      continue;
    }
    // A valid UTF-8 sequence of a code point not shown as it is (a C1
    // control) is escaped as that code point; any other byte as U+DC00 plus
    // the byte, a lone surrogate that no valid UTF-8 can give (the
    // "surrogateescape" of Python). Two different names never read the same.
    unsigned codePoint = s[i] < 0x80 ? s[i] : 0xDC00u + s[i];
    std::size_t used = 1;
    if (s[i] >= 0xC2 && s[i] <= 0xDF && (s[i + 1] & 0xC0u) == 0x80u) {
      codePoint = ((s[i] & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      used = 2;
    }
    char escaped[8];
    (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", codePoint);
    out += escaped;
    i += used;
  }
  out += '"';
}

void appendJsonKey(std::string& out, const char* key) {
  const char last = out.empty() ? '\0' : out.back();
  if (last != '{' && last != '[' && last != '\0') {
    out += ',';
  }
  out += '"';
  out += key;
  out += "\":";
}

}  // namespace convert3do
