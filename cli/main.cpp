#include <csignal>

#include "cli/tool.h"

int main(int argc, char** argv) {
#ifdef SIGXFSZ
  // A file-size limit must fail the write, which is reported, rather than
  // kill the process and leave a partial output behind.
  (void)std::signal(SIGXFSZ, SIG_IGN);
#endif
  return convert3do::runTool(argc, argv);
}
