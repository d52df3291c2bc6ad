#include "cli/common/quote.h"

#include <gtest/gtest.h>

#include <string>

namespace convert3do {
namespace {

struct QuoteCase {
  const char* name;
  const char* shown;
};

TEST(QuoteName, QuotesOnlyNamesThatCouldDisturbATerminal) {
  const QuoteCase cases[] = {
      {"model.3do", "model.3do"},
      {"my models/it's a cube.3do", "my models/it's a cube.3do"},
      {"C:\\Users\\Jos\xC3\xA9/\xD0\x9C\xE6\xA8\xA1.3do",
       "C:\\Users\\Jos\xC3\xA9/\xD0\x9C\xE6\xA8\xA1.3do"},
      {"", ""},
      {"/x/\x1b]2;PWNED\a\x1b[2J", "'/x/'$'\\e'']2;PWNED'$'\\a\\e''[2J'"},
      {"a\nFILE NOT FOUND!", "'a'$'\\n''FILE NOT FOUND!'"},
      {"it's\t", "'it'\\''s'$'\\t'"},
      {"\x7f\x01", "$'\\177\\001'"},
      {"bad\xC3", "'bad'$'\\303'"},                    // a cut UTF-8 sequence
      {"\xC0\xAF", "$'\\300\\257'"},                   // an overlong encoding
      {"c1\xC2\x9B", "'c1'$'\\302\\233'"},             // U+009B, a C1 control
      {"sur\xED\xA0\x80", "'sur'$'\\355\\240\\200'"},  // a UTF-16 surrogate
  };
  for (const QuoteCase& c : cases) {
    EXPECT_STREQ(quoteName(c.name).text, c.shown);
  }
  // A name longer than any path is cut short, and says so.
  const std::string endless(30000, '\x01');
  const QuotedName cut = quoteName(endless.c_str());
  EXPECT_EQ(std::string(cut.text).substr(0, 6), "$'\\001");
  EXPECT_EQ(std::string(cut.text).substr(sizeof cut.text - 4), "...");
}

}  // namespace
}  // namespace convert3do
