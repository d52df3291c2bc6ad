#include "cli/common/signal_watch.h"

#include <csignal>
#include <cstdlib>
#include <thread>
#include <utility>

#include "cli/common/process.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace convert3do {

#ifdef _WIN32

void watchSignals(std::function<void(int)>) {}

void dieBySignal(int signal) {
  std::_Exit(128 + signal);
}

#else

void watchSignals(std::function<void(int)> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCaughtSignals) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
      sigaddset(&set, sig);  // a blocked signal is kept even when ignored: leave those out
    }
  }
  (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // The thread outlives the run (it is never joined): a signal after the run
  // still ends the process as its default would.
  std::thread([set, onSignal = std::move(onSignal)]() {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) {
      onSignal(sig);
    }
    for (;;) {
      if (sigwait(&set, &sig) == 0) {
        dieBySignal(sig);
      }
    }
  }).detach();
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
