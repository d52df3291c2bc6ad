// 3do convert: many models in one safe, parallel run. The options are read,
// and workers take the plan's files in turn (convert_act.cpp) as the plan is
// made; the reports come out in input order. A signal stops the run: its temporary
// files are removed, the summary so far printed, and the process dies by it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
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

// A job's report, written by the worker that took the job before its done
// flag.
struct Outcome {
  Report report;
  std::atomic<bool> done{false};
};

// What the workers, the main thread and the signal watch share. Held by a
// shared pointer, as the signal watch outlives the run.
struct Run {
  ConvertOptions options;
  Plan plan;
  TemporaryFiles temporaries;
  std::atomic<std::size_t> next{0};  // the next job to take
  // Workers take the plan's first jobs while the main thread plans the rest:
  // planning is held while the jobs or their outcomes grow, and while a
  // worker looks one up.
  std::mutex planning;
  std::condition_variable grew;
  std::size_t published = 0;         // under planning: the jobs that are final
  bool planned = false;              // under planning: every job is
  std::deque<Outcome> outcomes;      // one for each job published
  std::atomic<bool> waiting{false};  // the main thread waits for a report: wake it
  std::mutex mutex;                  // for the wake-up
  std::condition_variable ready;
  std::mutex printing;  // held while reports are printed and counted
  Totals totals;        // under printing
};

// The next job, once the plan has it final; false when none is left.
bool take(Run& run, const Job** job, Outcome** outcome) {
  const std::size_t i = run.next++;
  std::unique_lock<std::mutex> lock(run.planning);
  run.grew.wait(lock, [&run, i]() { return i < run.published || run.planned; });
  if (i >= run.published) {
    return false;
  }
  *job = &run.plan.jobs[i];
  *outcome = &run.outcomes[i];
  return true;
}

// Makes the jobs up to final available to the workers.
void publish(Run& run, std::size_t final, bool planned) {
  const std::lock_guard<std::mutex> lock(run.planning);
  while (run.outcomes.size() < final) {
    run.outcomes.emplace_back();
  }
  run.published = final;
  run.planned = planned;
  run.grew.notify_all();
}

// Takes the next job and converts it; false when none is left or the run is
// stopping. Workers store their reports without waking anyone, unless the
// main thread waits.
bool workOne(Run& run, Worker& worker) {
  const Job* job = nullptr;
  Outcome* outcome = nullptr;
  if (run.temporaries.stopped() || !take(run, &job, &outcome)) {
    return false;
  }
  outcome->report = job->decided ? job->report : convertJob(run.options, *job, worker);
  outcome->done.store(true);  // before the look at waiting: no wake-up is lost
  if (run.waiting.load()) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.ready.notify_all();
  }
  return true;
}

// Workers for the run: as many as asked for, or as cores, but no more than
// the names given when no folder is walked.
std::size_t workerCount(const ConvertOptions& options) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t wanted =
      options.workers > 0 ? static_cast<std::size_t>(options.workers) : cores;
  return std::max<std::size_t>(
      1, options.recursive ? wanted : std::min(options.inputs.size(), wanted));
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
      while (wait && !isDone(printed_)) {
        std::unique_lock<std::mutex> lock(run_.mutex);
        run_.waiting = true;
        if (!isDone(printed_)) {
          run_.ready.wait_for(lock, std::chrono::milliseconds(100));
        }
        run_.waiting = false;
        lock.unlock();
        showProgress();
      }
      std::size_t end = printed_;
      while (end < total && isDone(end)) {
        ++end;
      }
      if (end == printed_) {
        showProgress();
        return;
      }
      print(end);
    }
  }

 private:
  bool isDone(std::size_t i) const { return run_.outcomes[i].done.load(std::memory_order_acquire); }

  // Prints the reports up to end, all ready.
  void print(std::size_t end) {
    const std::lock_guard<std::mutex> lock(run_.printing);
    if (shown_) {
      clearProgress();
      shown_ = false;
    }
    for (; printed_ < end; ++printed_) {
      const Job& job = run_.plan.jobs[printed_];
      const Report& report = run_.outcomes[printed_].report;
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
  // The workers start on the plan's first jobs while the main thread makes
  // the rest of it.
  std::vector<std::thread> workers;
  for (std::size_t w = workerCount(options); w > 1; --w) {
    workers.emplace_back([run]() {
      Worker worker(run->temporaries);
      while (workOne(*run, worker)) {
      }
    });
  }
  PlanProgress progress;
  if (!workers.empty()) {
    progress.growing = &run->planning;
    progress.publish = [&run](std::size_t final) { publish(*run, final, false); };
  }
  makePlan(options, run->plan, progress);
  publish(*run, run->plan.jobs.size(), true);
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
