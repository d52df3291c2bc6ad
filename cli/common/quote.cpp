#include "cli/common/quote.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace convert3do {

std::size_t printableLength(const unsigned char* s) {
  if (s[0] >= 0x20 && s[0] < 0x7F) {
    return 1;
  }
  std::size_t length = 0;
  unsigned long point = 0;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    length = 2;
    point = s[0] & 0x1Fu;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    length = 3;
    point = s[0] & 0x0Fu;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    length = 4;
    point = s[0] & 0x07u;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0u) != 0x80u) {
      return 0;
    }
    point = (point << 6) | (s[i] & 0x3Fu);
  }
  const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = point >= smallest[length] && point <= 0x10FFFF &&
                     !(point >= 0xD800 && point <= 0xDFFF) && point >= 0xA0;
  // The controls of bidirectional text, which can make a line show its
  // parts in another order, and the separators of lines and paragraphs, are
  // no printable characters here.
  const bool bidi = point == 0x061C || point == 0x200E || point == 0x200F ||
                    (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
  return valid && !bidi ? length : 0;
}

namespace {

// Appends to the quoted text, as far as it has room.
struct Appender {
  QuotedName& quoted;
  std::size_t used = 0;
  bool full = false;

  void add(const char* text, std::size_t length) {
    const std::size_t room = sizeof quoted.text - 4 - used;  // kept for "..." and the NUL
    if (full) {
      return;
    }
    if (length > room) {
      std::memcpy(quoted.text + used, text, room);
      std::memcpy(quoted.text + used + room, "...", 3);
      used += room + 3;
      full = true;
      return;
    }
    std::memcpy(quoted.text + used, text, length);
    used += length;
  }
  void add(const char* text) { add(text, std::strlen(text)); }
};

void appendEscaped(Appender& out, unsigned char c) {
  static const char kNamed[] = {'\a', 'a', '\b', 'b', '\t', 't', '\n',   'n',
                                '\v', 'v', '\f', 'f', '\r', 'r', '\x1b', 'e'};
  for (std::size_t i = 0; i < sizeof kNamed; i += 2) {
    if (c == static_cast<unsigned char>(kNamed[i])) {
      const char escape[] = {'\\', kNamed[i + 1]};
      out.add(escape, 2);
      return;
    }
  }
  char octal[8];
  (void)std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned>(c));
  out.add(octal);
}

}  // namespace

namespace {

QuotedName quoted(const char* name, bool word);

}  // namespace

QuotedName quoteName(const char* name) {
  return quoted(name, false);
}

QuotedName quoteWord(const char* name) {
  return quoted(name, true);
}

namespace {

// Whether the shell takes the name as it is, as one word.
bool plainWord(const char* name) {
  return *name != '\0' && std::strspn(name,
                                      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                      "0123456789_./+,:@%=-") == std::strlen(name);
}

QuotedName quoted(const char* name, bool word) {
  QuotedName quoted;
  Appender out{quoted};
  const auto* s = reinterpret_cast<const unsigned char*>(name);
  const std::size_t size = std::strlen(name);
  // Only what can be shown is looked at: a name cut short is shown as far
  // as it goes, however long it is.
  const std::size_t shown = std::min(size, sizeof quoted.text);
  bool ordinary = !word || plainWord(name);
  for (std::size_t i = 0; i < shown && ordinary;) {
    const std::size_t length = printableLength(s + i);
    ordinary = length > 0;
    i += length;
  }
  if (ordinary) {
    out.add(name, size);
  }
  for (std::size_t i = 0; i < shown && !ordinary && !out.full;) {
    if (printableLength(s + i) > 0) {
      out.add("'");
      for (std::size_t length = 0; i < size && (length = printableLength(s + i)) > 0; i += length) {
        out.add(s[i] == '\'' ? "'\\''" : name + i, s[i] == '\'' ? 4 : length);
      }
      out.add("'");
    } else {
      out.add("$'");
      for (; i < size && printableLength(s + i) == 0; ++i) {
        appendEscaped(out, s[i]);
      }
      out.add("'");
    }
  }
  quoted.text[out.used] = '\0';
  return quoted;
}

}  // namespace

}  // namespace convert3do
