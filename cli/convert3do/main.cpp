#include "cli/common/process.h"
#include "cli/convert3do/tool.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return convert3do::runProgram(argc, argv, convert3do::runTool);
}
#else
int main(int argc, char** argv) {
  return convert3do::runProgram(argc, argv, convert3do::runTool);
}
#endif
