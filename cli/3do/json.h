// A few helpers for writing JSON Lines by hand: strings, numbers and null.
#ifndef CONVERT3DO_CLI_3DO_JSON_H
#define CONVERT3DO_CLI_3DO_JSON_H

#include <cstdint>
#include <string>

namespace convert3do {

// Appends text as a JSON string. Bytes that are not printable UTF-8 are
// escaped: control characters as \u00XX, bytes of no valid UTF-8 sequence as
// U+FFFD, so the line is always valid JSON.
void appendJsonString(std::string& out, const char* text);

// Appends "key": with the comma that separates it from an earlier member.
void appendJsonKey(std::string& out, const char* key);

inline void appendJsonMember(std::string& out, const char* key, std::int64_t value) {
  appendJsonKey(out, key);
  out += std::to_string(value);
}

inline void appendJsonBool(std::string& out, const char* key, bool value) {
  appendJsonKey(out, key);
  out += value ? "true" : "false";
}

inline void appendJsonNull(std::string& out, const char* key) {
  appendJsonKey(out, key);
  out += "null";
}

inline void appendJsonText(std::string& out, const char* key, const char* text) {
  appendJsonKey(out, key);
  appendJsonString(out, text);
}

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_JSON_H
