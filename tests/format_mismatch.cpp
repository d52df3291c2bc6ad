// Built only by the test build.format_mismatch, which passes when the
// compiler refuses it: a message of the table given an int where its format
// takes an unsigned long long.
#include <string>

#include "cli/3do/text.h"
#include "cli/common/messages.h"

std::string hardLinksMessage() {
  return convert3do::printed(convert3do::say::kHardLinks, 2);
}
