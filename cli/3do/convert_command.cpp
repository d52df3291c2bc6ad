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

// What the workers, the main thread and the signal watch share. Held by a
// shared pointer, as the signal watch outlives the run.
struct Run {
  ConvertOptions options;
  Plan plan;
  TemporaryFiles temporaries;
  std::atomic<std::size_t> next{0};  // the next job to take
  std::vector<Report> reports;       // each written by one worker before its done flag
  std::unique_ptr<std::atomic<bool>[]> done;
  std::atomic<bool> waiting{false};  // the main thread waits for a report: wake it
  std::mutex mutex;                  // for the wake-up
  std::condition_variable ready;
  std::mutex printing;  // held while reports are printed and counted
  Totals totals;        // under printing
};

// Takes the next job and converts it; false when none is left or the run is
// stopping. Workers store their reports without waking anyone, unless the
// main thread waits.
bool workOne(Run& run, Worker& worker) {
  const std::size_t i = run.next++;
  if (i >= run.plan.jobs.size() || run.temporaries.stopped()) {
    return false;
  }
  const Job& job = run.plan.jobs[i];
  run.reports[i] = job.decided ? job.report : convertJob(run.options, job, worker);
  run.done[i].store(true);  // before the look at waiting: no wake-up is lost
  if (run.waiting.load()) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.ready.notify_all();
  }
  return true;
}

std::size_t workerCount(const ConvertOptions& options, std::size_t jobs) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t wanted =
      options.workers > 0 ? static_cast<std::size_t>(options.workers) : cores;
  return std::max<std::size_t>(1, std::min(jobs, wanted));
}

// The main thread's side: prints the reports that are ready, in input order,
// from *printed on; with wait, until every one is printed, showing progress on
// a terminal while it waits.
class Printer {
 public:
  explicit Printer(Run& run)
      : run_(run),
        progress_(run.options.verbosity == 1 && isTerminal(2)),
        start_(std::chrono::steady_clock::now()) {}

  void printReady(bool wait) {
    const std::size_t total = run_.plan.jobs.size();
    while (printed_ < total) {
      std::vector<Report> ready;
      while (wait && !run_.done[printed_].load(std::memory_order_acquire)) {
        std::unique_lock<std::mutex> lock(run_.mutex);
        run_.waiting = true;
        if (!run_.done[printed_].load(std::memory_order_acquire)) {
          run_.ready.wait_for(lock, std::chrono::milliseconds(100));
        }
        run_.waiting = false;
        lock.unlock();
        showProgress();
      }
      for (std::size_t i = printed_; i < total && run_.done[i].load(std::memory_order_acquire);
           ++i) {
        ready.push_back(std::move(run_.reports[i]));
      }
      if (ready.empty()) {
        showProgress();
        return;
      }
      print(ready);
    }
  }

 private:
  void print(const std::vector<Report>& ready) {
    const std::lock_guard<std::mutex> lock(run_.printing);
    if (shown_) {
      clearProgress();
      shown_ = false;
    }
    for (const Report& report : ready) {
      const Job& job = run_.plan.jobs[printed_++];
      printReport(run_.options, job.input, job.output, report);
      count(run_.totals, report);
    }
  }

  void showProgress() {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    if (progress_ && elapsed.count() > 1.0 && redrawDue(elapsed.count(), &drawn_)) {
      const std::lock_guard<std::mutex> lock(run_.printing);
      printProgress(printed_, run_.plan.jobs.size(), run_.totals.bytesIn, elapsed.count());
      shown_ = true;
    }
  }

  Run& run_;
  const bool progress_;
  const std::chrono::steady_clock::time_point start_;
  std::size_t printed_ = 0;
  double drawn_ = -1;
  bool shown_ = false;
};

}  // namespace

int runConvert(int argc, char** argv) {
  ConvertOptions options;
  const int usage = parseConvertOptions(argc, argv, &options);
  if (usage >= 0) {
    return usage;
  }
  const auto run = std::make_shared<Run>();
  run->options = options;
  // Before any worker starts, so that every thread has the signals blocked.
  watchSignals([run](int signal) {
    run->temporaries.stop();
    const std::lock_guard<std::mutex> lock(run->printing);
    printSummary(run->options, run->totals);  // what was done before the signal
    (void)std::fflush(stdout);
    dieBySignal(signal);
  });
  run->plan = makePlan(options);
  const Plan& plan = run->plan;
  run->reports.resize(plan.jobs.size());
  run->done.reset(new std::atomic<bool>[plan.jobs.size()]());
  std::vector<std::thread> workers;
  for (std::size_t w = workerCount(options, plan.jobs.size()); w > 1; --w) {
    workers.emplace_back([run]() {
      Worker worker(run->temporaries);
      while (workOne(*run, worker)) {
      }
    });
  }
  // The main thread works too, and prints what is ready after each file.
  Printer printer(*run);
  {
    Worker worker(run->temporaries);
    while (workOne(*run, worker)) {
      printer.printReady(false);
    }
  }
  printer.printReady(true);
  for (std::thread& worker : workers) {
    worker.join();
  }
  const std::lock_guard<std::mutex> lock(run->printing);
  printSummary(options, run->totals);
  int status = run->totals.status;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("standard output", printed("cannot write: %s", std::strerror(errno)).c_str());
    status = worseStatus(status, kExitOutputFailed);
  }
  return status;
}

}  // namespace convert3do
