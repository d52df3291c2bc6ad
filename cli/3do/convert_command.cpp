// 3do convert: many models in one safe, parallel run. The options are read,
// and workers take the plan's files in turn (convert_act.cpp) as the plan is
// made; the reports come out in input order. A signal stops the run at any
// moment the same way: its temporary files are removed, no output is put in
// place after it, the reports of the files done so far and a summary that
// counts exactly the outputs in place are printed, and the process dies by
// the signal.
#include <pthread.h>

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
#include "cli/common/messages.h"
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
  // Workers take the plan's first jobs while the main thread plans the rest:
  // planning is held while the jobs grow, and while a worker looks one up.
  std::mutex planning;
  std::condition_variable grew;
  std::size_t published = 0;  // under planning: the jobs that are final
  bool planned = false;       // under planning: every job is
  // Workers besides the main thread, started as jobs are published; only
  // the main thread starts them.
  std::size_t most = 0;
  std::vector<pthread_t> workers;
  bool cannotStart = false;
  std::atomic<bool> waiting{false};  // the main thread waits for a report: wake it
  std::mutex mutex;                  // for the wake-up
  std::condition_variable ready;
  std::mutex printing;      // held while reports are printed and counted
  Totals totals;            // under printing
  std::size_t printed = 0;  // under printing: the reports printed, in input order
  bool summarized = false;  // under printing
};

// The next job, once the plan has it final; false when none is left.
bool nextJob(Run& run, const Job** job, JobReport** outcome) {
  const std::size_t i = run.next++;
  std::unique_lock<std::mutex> lock(run.planning);
  run.grew.wait(lock, [&run, i]() { return i < run.published || run.planned; });
  if (i >= run.published) {
    return false;
  }
  *job = &run.plan.jobs[i];
  *outcome = &run.plan.outcomes[i];
  return true;
}

// Wakes the main thread if it waits for reports.
void wake(Run& run) {
  if (run.waiting.load()) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.ready.notify_all();
  }
}

// Whether a job is published that no worker has taken yet.
bool jobWaits(Run& run) {
  const std::lock_guard<std::mutex> lock(run.planning);
  return run.next.load() < run.published;
}

// Stores the reports that wait for their folder's check, before a job in
// another folder, and before the worker may wait or ends.
void checkHeld(Run& run, Worker& worker, const Job* next) {
  if (checkHeldOutputs(worker, next)) {
    wake(run);
  }
}

// Takes the next job and converts it; false when none is left or the run is
// stopping. A report is stored, and done set, unless the run was stopped: a
// file cut short by a stop is not reported. Reports that wait for their
// folder's check are stored when it is made. Workers wake no one, unless
// the main thread waits.
bool workOne(Run& run, Worker& worker) {
  const Job* job = nullptr;
  JobReport* outcome = nullptr;
  if (!run.temporaries.stopped() && !jobWaits(run)) {
    checkHeld(run, worker, nullptr);
  }
  if (run.temporaries.stopped() || !nextJob(run, &job, &outcome)) {
    checkHeld(run, worker, nullptr);
    return false;
  }
  checkHeld(run, worker, job);
  if (!job->decided) {
    Report report = convertJob(run.options, run.plan, *job, worker, *outcome);
    if (awaitsCheck(worker, *outcome)) {
      return true;
    }
    if (!outcome->done.load(std::memory_order_acquire)) {
      if (run.temporaries.stopped()) {
        return false;
      }
      outcome->report = std::move(report);
    }
  }
  outcome->done.store(true, std::memory_order_release);  // before the look at waiting
  wake(run);
  return true;
}

void* workerMain(void* context) {
  Run& run = *static_cast<Run*>(context);
  Worker worker(run.temporaries, run.plan);
  while (workOne(run, worker)) {
  }
  return nullptr;
}

// The most workers the run can use, the main thread among them: as many as
// asked for, or as cores, but no more than a few for each core, nor than
// the names given when no folder is walked.
std::size_t mostWorkers(const ConvertOptions& options) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  std::size_t most = options.workers > 0 ? static_cast<std::size_t>(options.workers) : cores;
  most = std::min(most, 4 * cores);
  if (!options.recursive) {
    most = std::min(most, options.inputs.size());
  }
  return std::max<std::size_t>(1, most);
}

// Starts workers for the jobs published, up to the most the run uses; a
// worker that cannot be started is no error: the run goes on with those
// that run, the main thread at least.
void startWorkers(Run& run, std::size_t published) {
  while (!run.cannotStart && run.workers.size() + 1 < run.most && run.workers.size() < published) {
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, workerMain, &run);
    if (error != 0) {
      run.cannotStart = true;
      complain("warning",
               printed(say::kWarningWorkers, std::strerror(error), run.workers.size() + 1).c_str());
      break;
    }
    run.workers.push_back(thread);
  }
}

// Makes the jobs up to final available to the workers.
void publish(Run& run, std::size_t final, bool planned) {
  {
    const std::lock_guard<std::mutex> lock(run.planning);
    run.published = final;
    run.planned = planned;
    run.grew.notify_all();
  }
  startWorkers(run, final);
}

// The names a job's report is printed with.
Shown shownOf(const ConvertOptions& options, const Job& job, const Report& report) {
  Shown shown{shownInput(job), shownOutput(options, job), std::string()};
  if (report.namedFolder != nullptr) {
    shown.folder = outputPath(*report.namedFolder, options.output);
  }
  return shown;
}

// Prints and counts report i, under printing.
void printOne(Run& run, std::size_t i) {
  const Job& job = run.plan.jobs[i];
  Report& report = run.plan.outcomes[i].report;
  if (printsLine(run.options, report)) {
    printReport(run.options, shownOf(run.options, job, report), report);
  }
  count(run.totals, report);
  report.message = std::string();  // printed: its memory is not needed again
}

// The main thread's side: prints the reports that are ready, in input order;
// with wait, until every one is printed, showing progress on a terminal
// while it waits. Once the run is stopped, the signal watch prints instead.
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
      if (end == printed_ || !print(end)) {
        showProgress();
        return;
      }
    }
  }

 private:
  bool isDone(std::size_t i) const {
    return run_.plan.outcomes[i].done.load(std::memory_order_acquire);
  }

  // Prints the reports up to end, all ready; false once the run is stopped.
  bool print(std::size_t end) {
    const std::lock_guard<std::mutex> lock(run_.printing);
    if (run_.summarized || run_.temporaries.stopped()) {
      return false;
    }
    if (shown_) {
      clearProgress();
      shown_ = false;
    }
    for (; printed_ < end; ++printed_) {
      printOne(run_, printed_);
    }
    run_.printed = printed_;
    return true;
  }

  void showProgress() {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    if (progress_ && elapsed.count() > 1.0 && redrawDue(elapsed.count(), &drawn_)) {
      const std::lock_guard<std::mutex> lock(run_.printing);
      if (!run_.summarized) {
        printProgress(printed_, run_.plan.jobs.size(), run_.totals.bytesIn, elapsed.count());
        shown_ = true;
      }
    }
  }

  Run& run_;
  const bool progress_;
  const std::chrono::steady_clock::time_point start_;
  std::size_t printed_ = 0;
  double drawn_ = -1;
  bool shown_ = false;
};

// The end of a run stopped by a signal, on the signal watch: after the stop
// no output is put in place, so the reports done (in input order, with gaps
// where a file was cut short) count exactly the outputs there are.
void stopRun(Run& run, int signal) {
  run.temporaries.stop();
  {
    const std::lock_guard<std::mutex> printing(run.printing);
    if (!run.summarized) {
      const std::lock_guard<std::mutex> planning(run.planning);
      if (run.options.verbosity == 1 && isTerminal(2)) {
        clearProgress();
      }
      for (std::size_t i = run.printed; i < run.plan.outcomes.size(); ++i) {
        if (run.plan.outcomes[i].done.load(std::memory_order_acquire)) {
          printOne(run, i);
        }
      }
      printSummary(run.options, run.totals, signalName(signal));
      run.summarized = true;
    }
    (void)std::fflush(stdout);
  }
  dieBySignal(signal);
}

}  // namespace

int runConvert(int argc, char** argv) {
  const auto run = std::make_shared<Run>();
  const int usage = parseConvertOptions(argc, argv, &run->options);
  if (usage >= 0) {
    return usage;
  }
  const ConvertOptions& options = run->options;
  if (options.destination == Destination::Folder) {
    const int error = openOutputRoot(options, run->plan);
    if (error != 0) {
      complain(options.output.c_str(),
               printed(say::kCannotUseOutputFolder, std::strerror(error)).c_str());
      return kExitOutputFailed;
    }
  }
  // Before any worker starts, so that every thread has the signals blocked.
  const int watching = watchSignals([run](int signal) { stopRun(*run, signal); });
  if (watching != 0) {
    complain("warning", printed(say::kWarningSignals, std::strerror(watching)).c_str());
  }
  // The workers start on the plan's first jobs while the main thread makes
  // the rest of it.
  run->most = mostWorkers(options);
  PlanProgress progress;
  if (run->most > 1) {
    progress.growing = &run->planning;
    progress.publish = [&run](std::size_t final) { publish(*run, final, false); };
  }
  makePlan(options, run->plan, progress);
  publish(*run, run->plan.jobs.size(), true);
  // The main thread works too, and prints what is ready after each file.
  Printer printer(*run);
  {
    Worker worker(run->temporaries, run->plan);
    while (workOne(*run, worker)) {
      printer.printReady(false);
    }
  }
  printer.printReady(true);
  for (const pthread_t worker : run->workers) {
    (void)pthread_join(worker, nullptr);
  }
  std::unique_lock<std::mutex> lock(run->printing);
  if (run->summarized || run->temporaries.stopped()) {
    // A signal came: the signal watch says what was done and ends the
    // process by it.
    lock.unlock();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  printSummary(options, run->totals);
  run->summarized = true;
  int status = run->totals.status;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("standard output",
             printed(say::kCannotWriteStandardOutput, std::strerror(errno)).c_str());
    status = worseStatus(status, kExitOutputFailed);
  }
  return status;
}

}  // namespace convert3do
