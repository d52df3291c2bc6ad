// A few helpers for writing JSON Lines by hand: strings, numbers and null.
#ifndef CONVERT3DO_CLI_3DO_JSON_H
#define CONVERT3DO_CLI_3DO_JSON_H

#include <cstdint>
#include <string>

namespace convert3do {

// Appends text as a JSON string, always valid JSON and lossless: control
// characters are escaped as \u00XX (C1 controls as their code point), and
// each byte of no valid UTF-8 sequence as \udcXX, XX the byte, so two
// different names never give the same string.
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
