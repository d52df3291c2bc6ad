#include "cli/3do/commands.h"
#include "cli/common/process.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return convert3do::runProgram(argc, argv, convert3do::runThreeDo);
}
#else
int main(int argc, char** argv) {
  return convert3do::runProgram(argc, argv, convert3do::runThreeDo);
}
#endif
