#include "cli/common/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace convert3do {

#ifdef _WIN32

int runProgram(int argc, wchar_t** argv, Program program) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &argument[0], size, nullptr, nullptr);
    }
    argument.resize(argument.size() - 1);
    arguments.push_back(argument);
  }
  std::vector<char*> pointers(arguments.size() + 1, nullptr);
  std::transform(arguments.begin(), arguments.end(), pointers.begin(),
                 [](std::string& argument) { return &argument[0]; });
  return program(argc, pointers.data());
}

// Windows has no descriptors to inherit closed and no POSIX signals; an
// interrupted run leaves an output whose first word is not the magic.
void ensureStandardDescriptors() {}
void installSignalCleanup() {}
void holdSignals(bool) {}
void armOutput(int, const char*, const FileIdentity&) {}
void disarmOutput() {}

#else

const int kCaughtSignals[kCaughtSignalCount] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE,
                                                SIGALRM, SIGTERM,   SIGUSR1, SIGUSR2,
                                                SIGXCPU, SIGVTALRM, SIGPROF};

namespace {

// What the handler needs, set while signals are held back.
struct ArmedOutput {
  int fd;
  const char* name;
  dev_t device;
  ino_t inode;
  bool regular;
};
ArmedOutput gArmed{};
volatile std::sig_atomic_t gIsArmed = 0;

sigset_t cleanupSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCaughtSignals) {
    sigaddset(&set, sig);
  }
  return set;
}

// Only async-signal-safe calls: ftruncate, lstat, unlink, signal,
// sigprocmask and raise.
extern "C" void onCleanupSignal(int sig) {
  if (gIsArmed != 0 && gArmed.regular) {
    (void)ftruncate(gArmed.fd, 0);  // no partial data even behind a symlink
    struct stat entry {};
    if (lstat(gArmed.name, &entry) == 0 && S_ISREG(entry.st_mode) &&
        entry.st_dev == gArmed.device && entry.st_ino == gArmed.inode) {
      (void)unlink(gArmed.name);
    }
  }
  gIsArmed = 0;
  // Die by the same signal, so the parent sees it.
  (void)std::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)raise(sig);
}

}  // namespace

int runProgram(int argc, char** argv, Program program) {
  ensureStandardDescriptors();
  installSignalCleanup();
  return program(argc, argv);
}

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int opened = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
      if (opened >= 0 && opened != fd) {
        (void)close(opened);  // an earlier descriptor was free after all
      }
    }
  }
}

void installSignalCleanup() {
  (void)std::signal(SIGXFSZ, SIG_IGN);
  for (int sig : kCaughtSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;  // ignored by whoever started us: stays ignored
    }
    struct sigaction action {};
    action.sa_handler = onCleanupSignal;
    action.sa_mask = cleanupSet();  // one cleanup at a time
    (void)sigaction(sig, &action, nullptr);
  }
}

void holdSignals(bool hold) {
  const sigset_t set = cleanupSet();
  (void)pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void armOutput(int fd, const char* name, const FileIdentity& identity) {
  gArmed = ArmedOutput{fd, name, static_cast<dev_t>(identity.device),
                       static_cast<ino_t>(identity.inode), identity.regular};
  gIsArmed = 1;
}

void disarmOutput() {
  gIsArmed = 0;
}

#endif

}  // namespace convert3do
