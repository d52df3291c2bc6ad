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
    char escaped[8];
    (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", s[i] < 0x80 ? s[i] : 0xFFFDu);
    out += escaped;
    ++i;
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
