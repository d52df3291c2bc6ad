// What both programs share at process level: exit statuses and the JSON
// strings of 3do's reports.
#include <gtest/gtest.h>

#include <string>

#include "cli/3do/json.h"
#include "cli/common/exit_status.h"

namespace convert3do {
namespace {

TEST(WorseStatus, FollowsTheDocumentedOrder) {
  // 0 < 5 < 6 < 7 < 4 < 1 < 3 < 2, whatever the order of the arguments.
  const int order[] = {kExitOk,           kExitLengthDiffers, kExitWouldDrop,    kExitNotA3do,
                       kExitDamagedInput, kExitInputNotFound, kExitOutputFailed, kExitUsage};
  for (int i = 0; i < 8; ++i) {
    for (int k = 0; k < 8; ++k) {
      EXPECT_EQ(worseStatus(order[i], order[k]), order[i > k ? i : k]) << i << " " << k;
    }
  }
}

struct JsonCase {
  const char* text;
  const char* json;
};

TEST(JsonString, IsAlwaysValidJson) {
  const JsonCase cases[] = {
      {"models/cube.3do", "\"models/cube.3do\""},
      {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
      {"tab\there\nand\x1b[2J", "\"tab\\u0009here\\u000aand\\u001b[2J\""},
      {"Jos\xC3\xA9/\xE6\xA8\xA1", "\"Jos\xC3\xA9/\xE6\xA8\xA1\""},
      {"bad\xFF\xC3", "\"bad\\ufffd\\ufffd\""},
      {"", "\"\""},
  };
  for (const JsonCase& c : cases) {
    std::string out;
    appendJsonString(out, c.text);
    EXPECT_EQ(out, c.json);
  }
  std::string object = "{";
  appendJsonMember(object, "a", 1);
  appendJsonNull(object, "b");
  appendJsonBool(object, "c", true);
  EXPECT_EQ(object, "{\"a\":1,\"b\":null,\"c\":true");
}

}  // namespace
}  // namespace convert3do
