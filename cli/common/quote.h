// Quoting file names for messages.
#ifndef CONVERT3DO_CLI_COMMON_QUOTE_H
#define CONVERT3DO_CLI_COMMON_QUOTE_H

#include <cstddef>

namespace convert3do {

// The name as it may be shown on a terminal. An ordinary name is returned as
// it is. A name holding control characters or bytes that are not printable
// UTF-8 is quoted as a shell would take it back: printable runs in single
// quotes, the rest in $'...' with C escapes, so '/x/'$'\e'']2;...' can
// neither retitle a terminal nor fake a second message line.
//
// The text is kept in the returned value, with no allocation, so that
// convert3do needs no C++ runtime library; a name too long for it (far
// longer than any path) ends in "...".
struct QuotedName {
  char text[5 * 4096 + 16];
};
QuotedName quoteName(const char* name);

// The same, quoted wherever a shell would take the name otherwise (a space,
// a quote, a wildcard): a word to paste into a command.
QuotedName quoteWord(const char* name);

// The length of the printable character at the start of the NUL-terminated
// s: an ASCII graphic or space, or a well-formed UTF-8 sequence of a code
// point from U+00A0 on but the controls of bidirectional text and the line
// and paragraph separators; 0 for anything else.
std::size_t printableLength(const unsigned char* s);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_QUOTE_H
