// 3do convert: many models in one safe, parallel run. The options are read,
// the plan made, and workers take the plan's files in turn (convert_act.cpp);
// the reports come out in input order. A signal stops the run: its temporary
// files are removed, the summary so far printed, and the process dies by it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/3do/commands.h"
#include "cli/3do/convert_act.h"
#include "cli/3do/convert_options.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/convert_report.h"
#include "cli/3do/text.h"
#include "cli/common/signal_watch.h"
#include "cli/common/temporary.h"

namespace convert3do {

namespace {

// What the workers, the printing thread and the signal watch share. Held by a
// shared pointer, as the signal watch outlives the run.
struct Run {
  TemporaryFiles temporaries;
  std::mutex mutex;
  std::condition_variable ready;
  std::vector<Report> reports;
  std::vector<char> done;
  std::atomic<std::size_t> next{0};
  int signal = 0;  // the signal that stopped the run, under mutex
};

void work(const ConvertOptions& options, const Plan& plan, Run& run) {
  Worker worker(run.temporaries);
  for (std::size_t i = run.next++; i < plan.jobs.size(); i = run.next++) {
    if (run.temporaries.stopped()) {
      return;
    }
    const Job& job = plan.jobs[i];
    Report report = job.decided ? job.report : convertJob(options, plan, job, worker);
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.reports[i] = std::move(report);
    run.done[i] = 1;
    run.ready.notify_all();
  }
}

std::size_t workerCount(const ConvertOptions& options, std::size_t jobs) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t wanted =
      options.workers > 0 ? static_cast<std::size_t>(options.workers) : cores;
  return std::max<std::size_t>(1, std::min(jobs, wanted));
}

// Prints the reports in input order as they come, with a progress line on a
// terminal; returns the signal that stopped the run, or 0.
int printInOrder(const ConvertOptions& options, const Plan& plan, Run& run, Totals& totals) {
  const bool progress = options.verbosity == 1 && isTerminal(2);
  bool progressShown = false;
  double drawn = -1;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
    std::unique_lock<std::mutex> lock(run.mutex);
    while (run.done[i] == 0 && run.signal == 0) {
      run.ready.wait_for(lock, std::chrono::milliseconds(200));
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      if (progress && elapsed.count() > 1.0 && redrawDue(elapsed.count(), &drawn)) {
        printProgress(i, plan.jobs.size(), totals.bytesIn, elapsed.count());
        progressShown = true;
      }
    }
    if (progressShown) {
      clearProgress();
      progressShown = false;
    }
    if (run.signal != 0) {
      return run.signal;
    }
    const Report report = run.reports[i];
    lock.unlock();
    printReport(options, plan.jobs[i].input, plan.jobs[i].output, report);
    count(totals, report);
  }
  return 0;
}

}  // namespace

int runConvert(int argc, char** argv) {
  ConvertOptions options;
  const int usage = parseConvertOptions(argc, argv, &options);
  if (usage >= 0) {
    return usage;
  }
  const auto run = std::make_shared<Run>();
  // Before any worker starts, so that every thread has the signals blocked.
  watchSignals([run](int signal) {
    run->temporaries.stop();
    const std::lock_guard<std::mutex> lock(run->mutex);
    run->signal = signal;
    run->ready.notify_all();
  });
  const Plan plan = makePlan(options);
  run->reports.resize(plan.jobs.size());
  run->done.assign(plan.jobs.size(), 0);
  std::vector<std::thread> workers;
  for (std::size_t w = workerCount(options, plan.jobs.size()); w > 0; --w) {
    workers.emplace_back(work, std::cref(options), std::cref(plan), std::ref(*run));
  }

  Totals totals;
  const int signal = printInOrder(options, plan, *run, totals);
  if (signal != 0) {
    printSummary(options, totals);  // what was done before the signal
    (void)std::fflush(stdout);
    dieBySignal(signal);
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  printSummary(options, totals);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("standard output", printed("cannot write: %s", std::strerror(errno)).c_str());
    totals.status = worseStatus(totals.status, kExitOutputFailed);
  }
  return totals.status;
}

}  // namespace convert3do
