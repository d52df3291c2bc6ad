#include "cli/common/signal_watch.h"

#include <csignal>
#include <cstdlib>
#include <utility>

#include "cli/common/process.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace convert3do {

const char* signalName(int signal) {
#ifndef _WIN32
  switch (signal) {
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGPIPE:
      return "SIGPIPE";
    case SIGALRM:
      return "SIGALRM";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGUSR2:
      return "SIGUSR2";
    case SIGXCPU:
      return "SIGXCPU";
    case SIGVTALRM:
      return "SIGVTALRM";
    case SIGPROF:
      return "SIGPROF";
    default:
      break;
  }
#endif
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
}

#ifdef _WIN32

int watchSignals(std::function<void(int)>) {
  return 0;
}

void dieBySignal(int signal) {
  std::_Exit(128 + signal);
}

#else

namespace {

struct Watch {
  sigset_t set;
  std::function<void(int)> onSignal;
};

// The watching thread; it outlives the run (it is never joined): a signal
// after the run still ends the process as its default would.
void* watch(void* context) {
  Watch* const w = static_cast<Watch*>(context);
  int sig = 0;
  if (sigwait(&w->set, &sig) == 0) {
    w->onSignal(sig);
  }
  for (;;) {
    if (sigwait(&w->set, &sig) == 0) {
      dieBySignal(sig);
    }
  }
}

}  // namespace

int watchSignals(std::function<void(int)> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCaughtSignals) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
      sigaddset(&set, sig);  // a blocked signal is kept even when ignored: leave those out
    }
  }
  sigset_t before;
  (void)pthread_sigmask(SIG_BLOCK, &set, &before);
  // Kept for the life of the process, as the thread is.
  Watch* const w = new Watch{set, std::move(onSignal)};
  pthread_t thread;
  const int error = pthread_create(&thread, nullptr, watch, w);
  if (error != 0) {
    delete w;
    (void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return error;
  }
  (void)pthread_detach(thread);
  return 0;
}

void dieBySignal(int signal) {
  (void)std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  (void)raise(signal);
  // cppcheck-suppress unreachableCode
  std::_Exit(128 + signal);  // a signal whose default does not end the process
}

#endif

}  // namespace convert3do
