#include "cli/3do/convert_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cli/3do/commands.h"
#include "cli/3do/names.h"
#include "cli/3do/text.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"
#include "cli/common/temporary.h"

namespace convert3do {

namespace {

namespace fs = std::filesystem;

Report skipped(const char* why) {
  Report report;
  report.verdict = Verdict::Skipped;
  report.message = why;
  return report;
}

std::size_t hashKey(const FileKey& key) {
  const unsigned long long mixed =
      (key.inode * 0x9E3779B97F4A7C15ULL) ^ (key.device * 0xC2B2AE3D27D4EB4FULL);
  return static_cast<std::size_t>(mixed ^ (mixed >> 29));
}

// Files by device and inode, each with the job that named it first,
// open-addressed: some 48 bytes a file.
class FileJobs {
 public:
  // The job that named key first: job itself when none did.
  std::size_t claim(const FileKey& key, std::size_t job) {
    if ((count_ + 1) * 2 > slots_.size()) {
      grow();
    }
    Slot& slot = find(key);
    if (slot.job == 0) {
      slot = Slot{key, job + 1};
      ++count_;
    }
    return slot.job - 1;
  }
  bool contains(const FileKey& key) { return !slots_.empty() && find(key).job != 0; }

 private:
  struct Slot {
    FileKey key;
    std::size_t job = 0;  // its number plus one; 0 for none
  };
  Slot& find(const FileKey& key) {
    std::size_t i = hashKey(key) & (slots_.size() - 1);
    while (slots_[i].job != 0 && !sameKey(slots_[i].key, key)) {
      i = (i + 1) & (slots_.size() - 1);
    }
    return slots_[i];
  }
  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.job != 0) {
        find(slot.key) = slot;
      }
    }
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// Each output's folder and name, with the job that claims it first: an
// open-addressed table of job numbers, some 32 bytes a job.
class OutputNames {
 public:
  // The job that claims folder/base first: job itself, when none did. In a
  // folder that folds case, names that differ only in case are one.
  std::size_t claim(const Plan& plan, std::size_t job, std::uint32_t folder, bool folds) {
    if ((count_ + 1) * 2 > slots_.size()) {
      grow();
    }
    const std::string base = comparedName(plan.jobs[job], folds);
    const std::size_t hash = hashOf(folder, base);
    std::size_t i = hash & (slots_.size() - 1);
    for (; slots_[i].job != 0; i = (i + 1) & (slots_.size() - 1)) {
      const Job& other = plan.jobs[slots_[i].job - 1];
      if (slots_[i].hash == hash && folderOf(other) == folder &&
          comparedName(other, folds) == base) {
        return slots_[i].job - 1;
      }
    }
    slots_[i] = Slot{hash, job + 1};
    ++count_;
    return job;
  }

  static std::uint32_t folderOf(const Job& job) {
    return job.place == nullptr ? 0 : job.place->outputKey;
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    std::size_t job = 0;  // its number plus one; 0 for none
  };
  // The output's name as its folder compares it; ASCII letters only are
  // folded here (a clash of others is caught when the output is committed).
  static std::string comparedName(const Job& job, bool folds) {
    std::string base = outputBase(job);
    if (folds) {
      std::transform(base.begin(), base.end(), base.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      });
    }
    return base;
  }
  static std::size_t hashOf(std::uint32_t folder, const std::string& base) {
    return std::hash<std::string>()(base) ^ (folder * 0x9E3779B97F4A7C15ULL);
  }
  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.job != 0) {
        std::size_t i = slot.hash & (slots_.size() - 1);
        while (slots_[i].job != 0) {
          i = (i + 1) & (slots_.size() - 1);
        }
        slots_[i] = slot;
      }
    }
  }
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// The refusals that need only names and identities, made job by job in the
// order of the plan, and the output folders they need, made (or, in a dry
// run, looked for) one component at a time below -d DIR.
class OutputCheck {
 public:
  OutputCheck(const ConvertOptions& options, Plan& plan)
      : options_(options),
        plan_(plan),
        outputs_(Side::Output, &plan.outputRoot),
        inputs_(Side::Input) {}

  // Checks the jobs not checked yet; returns how many of the plan's first
  // jobs are final. Until the plan is complete it stops at a job whose output
  // exists, as that output may be an input yet to be found.
  std::size_t advance(bool complete) {
    if (options_.destination == Destination::None) {
      return checked_ = plan_.jobs.size();  // only looked at: each name as given
    }
    if (options_.destination == Destination::Folder && options_.inputs.size() > 1 && !complete) {
      // Two names may give one output: nothing is final before every name is
      // planned, so that neither of two such inputs is written.
      return 0;
    }
    while (checked_ < plan_.jobs.size() && check(checked_, complete)) {
      ++checked_;
    }
    return checked_;
  }

  // The temporary files of killed runs found in output folders that were
  // there already.
  long long leftOvers() const { return leftOvers_; }

 private:
  bool check(std::size_t i, bool complete);
  bool checkInPlace(std::size_t i);
  FileIdentity lookAtOutput(Job& job, std::size_t i);
  void settleFolder(TreeFolder* place);
  void settleOne(TreeFolder* place);
  void decide(std::size_t i, Report report) {
    plan_.jobs[i].decided = true;
    plan_.outcomes[i].report = std::move(report);
  }

  // Notes the inputs of the jobs before end that the walk did not decide;
  // they are looked at and put in their set only once an output exists,
  // which in a folder this run made none ever does.
  void take(std::size_t end) {
    for (; taken_ < end; ++taken_) {
      const Job& job = plan_.jobs[taken_];
      if (!job.decided && (job.known || job.later)) {
        waiting_.push_back(taken_);
      }
    }
  }

  bool isInput(const FileIdentity& file) {
    take(plan_.jobs.size());
    for (const std::size_t i : waiting_) {
      const FileIdentity input = lookAt(plan_.jobs[i]);
      if (input.known) {
        (void)inputSet_.claim(keyOf(input), i);
      }
    }
    waiting_.clear();
    return inputSet_.contains(keyOf(file));
  }

  // A job's input as it is now, looked at where the plan found it; what a
  // worker may have taken is only read.
  FileIdentity lookAt(const Job& job) {
    if (!job.later) {
      FileIdentity known;
      known.known = job.known;
      known.regular = job.regular;
      known.device = job.identity.device;
      known.inode = job.identity.inode;
      return known;
    }
    return inputs_.moveTo(job.place) == 0 ? identifyAt(inputs_.folder(), job.name, false)
                                          : FileIdentity{};
  }

  // Whether the opened output folder folds case: its own flag, else what
  // its volume answered, asked once a volume.
  bool foldsCase(const Folder& folder, unsigned long long device) {
    const CaseFlag flag = caseFlag(folder);
    if (flag != CaseFlag::None) {
      return flag == CaseFlag::Folds;
    }
    const auto known = std::find_if(volumes_.begin(), volumes_.end(), [device](const auto& volume) {
      return volume.first == device;
    });
    if (known != volumes_.end()) {
      return known->second;
    }
    bool folds = false;
    (void)probeCaseFolding(folder, &folds);  // where nothing can be made, nothing is written
    volumes_.emplace_back(device, folds);
    return folds;
  }

  // Counts the temporary files that killed runs left in an output folder
  // that was there already.
  void countLeftOvers(const Folder& folder) {
    std::vector<std::string> names;
    if (listFolder(folder, &names) == 0) {
      leftOvers_ += std::count_if(names.begin(), names.end(), isLeftOver);
    }
  }

  // Settles the -d folder once: its left-over files counted, and whether it
  // folds case, which it returns (a dry run asks the folder above one that
  // does not exist yet, as the real run would make it there).
  bool settleRoot() {
    if (!rootFoldsKnown_ && options_.destination == Destination::Folder) {
      if (plan_.outputRootState == OutputState::Existing) {
        countLeftOvers(plan_.outputRoot);
      }
      Folder above;
      const Folder* root = &plan_.outputRoot;
      if (plan_.outputRootState == OutputState::Absent) {
        root = openFolder(nearestExisting(options_.output), &above) == 0 ? &above : nullptr;
      }
      rootFolds_ = root != nullptr && foldsCase(*root, identifyFolder(*root).device);
    }
    rootFoldsKnown_ = true;
    return rootFolds_;
  }

  std::uint32_t folderKey(std::uint32_t parent, const char* name) {
    std::string key(reinterpret_cast<const char*>(&parent), sizeof parent);
    key += name;
    return folderKeys_.emplace(std::move(key), static_cast<std::uint32_t>(folderKeys_.size() + 1))
        .first->second;
  }

  const ConvertOptions& options_;
  Plan& plan_;
  FolderCursor outputs_;
  FolderCursor inputs_;
  std::size_t checked_ = 0;
  std::size_t taken_ = 0;
  std::vector<std::size_t> waiting_;
  FileJobs inputSet_;
  FileJobs seen_;  // in place and to standard output: the inputs so far
  OutputNames outputNames_;
  std::unordered_map<std::string, std::uint32_t> folderKeys_;
  std::vector<std::pair<unsigned long long, bool>> volumes_;  // device, whether it folds case
  bool rootFolds_ = false;
  bool rootFoldsKnown_ = false;
  long long leftOvers_ = 0;
};

// Settles where the outputs of place go, and the places above it first.
void OutputCheck::settleFolder(TreeFolder* place) {
  std::vector<TreeFolder*> chain;
  for (TreeFolder* p = place; p != nullptr && p->outputState == OutputState::Unknown;
       p = const_cast<TreeFolder*>(p->parent)) {
    chain.push_back(p);
  }
  for (auto p = chain.rbegin(); p != chain.rend(); ++p) {
    settleOne(*p);
  }
}

void OutputCheck::settleOne(TreeFolder* place) {
  if (place->parent == nullptr) {
    place->outputState = plan_.outputRootState;
    place->outputError = plan_.outputRootError;
    place->output = keyOf(identifyFolder(plan_.outputRoot));
    place->outputFoldsCase = settleRoot();
    return;
  }
  const TreeFolder& parent = *place->parent;
  place->outputKey = folderKey(parent.outputKey, place->name);
  place->outputState = parent.outputState;
  place->outputError = parent.outputError;
  place->outputCause = parent.outputCause;
  place->outputFoldsCase = parent.outputFoldsCase;
  if (parent.outputState != OutputState::Made && parent.outputState != OutputState::Existing) {
    return;  // absent, refused or failed above: so it is here
  }
  place->outputCause = place;
  int error = outputs_.moveTo(&parent);
  bool made = false;
  if (error == 0 && !options_.dryRun) {
    error = makeFolderAt(outputs_.folder(), place->name);
    made = error == 0;
    error = error == EEXIST ? 0 : error;
  }
  Folder folder;
  if (error == 0) {
    error = openChild(outputs_.folder(), place->name, &folder);
  }
  if (error == 0) {
    const FileIdentity identity = identifyFolder(folder);
    place->output = keyOf(identity);
    place->outputState = made ? OutputState::Made : OutputState::Existing;
    place->outputFoldsCase = foldsCase(folder, identity.device);
    if (!made) {
      countLeftOvers(folder);
    }
  } else if (error == ENOENT && options_.dryRun) {
    place->outputState = OutputState::Absent;
    place->outputError = creationError(outputs_.folder());
  } else if (error == ELOOP || error == ENOTDIR) {
    const FileIdentity there = identifyAt(outputs_.folder(), place->name, false);
    place->outputState = OutputState::Refused;
    place->outputError = there.symlink ? ELOOP : ENOTDIR;
  } else {
    place->outputState = OutputState::Failed;
    place->outputError = error;
  }
}

// Why nothing is written below a refused or failed output folder.
Report folderRefusal(const TreeFolder& place) {
  Report report;
  if (place.outputState == OutputState::Failed) {
    report = failed(kExitOutputFailed,
                    place.outputError == ESTALE
                        ? std::string(say::kOutputFolderReplaced)
                        : printed(say::kCannotCreateFolderOf, std::strerror(place.outputError)));
  } else {
    report = refused(kExitOutputFailed,
                     std::string(place.outputError == ELOOP ? say::kOutputFolderLink
                                                            : say::kOutputFolderNotFolder));
  }
  report.namedFolder = place.outputCause;
  return report;
}

// A name of a file named before: it is dealt with once, under the first.
Report namedBefore(const Job& first) {
  Report report;
  report.verdict = Verdict::Skipped;
  report.message = printed(say::kNamedBefore, quoteName(shownInput(first).c_str()).text);
  return report;
}

// In place and to standard output: each file once.
bool OutputCheck::checkInPlace(std::size_t i) {
  const Job& job = plan_.jobs[i];
  if (job.known && job.regular) {
    const std::size_t first = seen_.claim(job.identity, i);
    if (first != i) {
      decide(i, namedBefore(plan_.jobs[first]));
    }
  }
  return true;
}

// What is where the job's output goes, as it is now: with -o FILE through a
// symlink named so; below -d DIR never through one.
FileIdentity OutputCheck::lookAtOutput(Job& job, std::size_t i) {
  if (options_.destination == Destination::File) {
    return identifyPath(joinName(plan_.outputFolder, plan_.outputBase).c_str());
  }
  settleFolder(job.place);
  const OutputState state = job.place != nullptr ? job.place->outputState : plan_.outputRootState;
  if ((state == OutputState::Refused || state == OutputState::Failed) && job.place != nullptr) {
    decide(i, folderRefusal(*job.place));
    return FileIdentity{};
  }
  if (state != OutputState::Existing) {
    return FileIdentity{};  // in a folder made by this run, or absent: nothing there
  }
  const int error = job.place == nullptr ? 0 : outputs_.moveTo(job.place);
  if (error != 0) {
    decide(i, outputFolderUnreachable(error, job.place));
    return FileIdentity{};
  }
  const Folder& folder = job.place == nullptr ? plan_.outputRoot : outputs_.folder();
  return identifyAt(folder, outputBase(job).c_str(), false);
}

// False when the job must wait for the complete plan.
bool OutputCheck::check(std::size_t i, bool complete) {
  Job& job = plan_.jobs[i];
  if (job.decided) {
    return true;
  }
  if (options_.destination == Destination::InPlace ||
      (options_.destination == Destination::File && options_.output == "-")) {
    return checkInPlace(i);
  }
  take(i + 1);
  const FileIdentity out = lookAtOutput(job, i);
  if (job.decided) {
    return true;
  }
  if (out.known && !complete) {
    return false;
  }
  const bool folds = job.place != nullptr ? job.place->outputFoldsCase : settleRoot();
  const std::size_t first = outputNames_.claim(plan_, i, OutputNames::folderOf(job), folds);
  if (first != i) {
    const FileIdentity mine = lookAt(job);
    const FileIdentity theirs = lookAt(plan_.jobs[first]);
    if (mine.regular && theirs.regular && sameFile(mine, theirs)) {
      decide(i, namedBefore(plan_.jobs[first]));
      return true;
    }
  }
  // Below -d DIR a symlink where the output goes is an output that exists,
  // replaced itself (never its target) with --force.
  const bool link = out.symlink && options_.destination == Destination::Folder;
  job.outputExists = out.known;
  if (out.known && isInput(out)) {
    decide(i, refused(kExitUsage, std::string(say::kOutputIsInput)));
  } else if (first != i) {
    const Report shared = refused(kExitUsage, std::string(say::kOutputShared));
    decide(i, shared);
    if (!plan_.jobs[first].decided) {
      decide(first, shared);  // not published yet: see advance
    }
  } else if (out.directory) {
    decide(i, refused(kExitUsage, std::string(say::kOutputIsFolder)));
  } else if (out.known && !out.regular && !link) {
    decide(i, refused(kExitOutputFailed, std::string(say::kOutputNotRegular)));
  }
  return true;
}

// The plan as it is made: its jobs are added here, and each time the walk
// moves on those that are final are published.
struct Planner {
  const ConvertOptions& options;
  Plan& plan;
  const PlanProgress& progress;
  OutputCheck check;
  FileIdentity destination;  // the output folder, never walked
  std::size_t published = 0;
};

// A new job at the end of the plan, and its outcome; returns its number.
std::size_t newJob(Planner& p) {
  std::unique_lock<std::mutex> lock;
  if (p.progress.growing != nullptr) {
    lock = std::unique_lock<std::mutex>(*p.progress.growing);
  }
  p.plan.outcomes.emplace_back();
  p.plan.jobs.emplace_back();
  return p.plan.jobs.size() - 1;
}

void decide(Planner& p, std::size_t i, Report report) {
  p.plan.jobs[i].decided = true;
  p.plan.outcomes[i].report = std::move(report);
}

void advance(Planner& p, bool complete) {
  const std::size_t final = p.check.advance(complete);
  if (p.progress.publish && final > p.published) {
    p.published = final;
    p.progress.publish(final);
  }
}

// A job for a folder the walk cannot read: the folder name in place.
void failFolder(Planner& p, TreeFolder* place, const char* name, const std::string& why) {
  const std::size_t i = newJob(p);
  p.plan.jobs[i].place = place;
  p.plan.jobs[i].name = name;
  decide(p, i, failed(kExitInputNotFound, printed(say::kCannotReadFolder, why.c_str())));
}

void failFolder(Planner& p, const TreeFolder& folder, const std::string& why) {
  failFolder(p, const_cast<TreeFolder*>(folder.parent), folder.name, why);
}

// An entry of a folder worth a look: a .3do file, a folder, or a symlink to
// a folder (which is reported, not followed).
struct Entry {
  std::size_t name;  // in its frame's names
  FileIdentity identity;
  bool later;  // only its kind is known as yet
};

// A folder of a walk under way: its listing, and how far the walk is in it.
// Only the frames nearest the walk's end hold their folder open.
struct Frame {
  TreeFolder* place = nullptr;
  Folder folder;
  bool open = false;
  std::vector<std::string> names;
  std::vector<Entry> entries;  // in the order of the walk
  std::size_t next = 0;
};

constexpr std::size_t kOpenFrames = 32;

// A regular file whose identity is not known as yet.
FileIdentity regularFile() {
  FileIdentity file;
  file.regular = true;
  return file;
}

// Lists the frame's folder into its entries, in the order of the walk; what
// was found before it is published first.
void list(Planner& p, Frame& frame) {
  advance(p, false);
  std::vector<EntryKind> kinds;
  const int error = listFolder(frame.folder, &frame.names, &kinds);
  if (error != 0) {
    failFolder(p, *frame.place, std::strerror(error));
    return;
  }
  // A regular file, as the listing says, is looked at only when its identity
  // is needed: other than .3do files never, and with -d only once an
  // output exists.
  const bool later = p.options.destination == Destination::Folder;
  for (std::size_t i = 0; i < frame.names.size(); ++i) {
    const std::string& name = frame.names[i];
    if (isLeftOver(name)) {
      complain(shownPath(*frame.place, name.c_str()).c_str(), say::kWarningLeftOver);
    }
    const bool model = endsWith3do(name) || (p.options.archives && endsWithZip(name));
    if (kinds[i] == EntryKind::File && (later || !model)) {
      if (model) {
        frame.entries.push_back(Entry{i, regularFile(), true});
      }
      continue;
    }
    const FileIdentity entry = identifyAt(frame.folder, name.c_str(), false);
    if (entry.directory
            ? !sameFile(entry, p.destination)
            : model || (entry.symlink && identifyAt(frame.folder, name.c_str(), true).directory)) {
      frame.entries.push_back(Entry{i, entry, false});
    }
  }
  const std::vector<std::string>& names = frame.names;
  std::sort(frame.entries.begin(), frame.entries.end(), [&names](const Entry& a, const Entry& b) {
    return walkedBefore(names[a.name], a.identity.directory, names[b.name], b.identity.directory);
  });
}

TreeFolder& newPlace(Planner& p, TreeFolder* parent, const std::string& name) {
  TreeFolder& place = p.plan.places.emplace_back();
  place.parent = parent;
  place.name = p.plan.names.keep(name);
  place.depth = parent == nullptr ? 0 : parent->depth + 1;
  place.root = parent == nullptr ? &p.plan.roots.back() : parent->root;
  return place;
}

void addFound(Planner& p, const Frame& frame, const Entry& entry) {
  const std::size_t i = newJob(p);
  Job& job = p.plan.jobs[i];
  job.place = frame.place;
  job.name = p.plan.names.keep(frame.names[entry.name]);
  job.known = entry.identity.known;
  job.identity = keyOf(entry.identity);
  job.regular = entry.identity.regular;
  job.later = entry.later;
  if (entry.identity.symlink) {
    decide(p, i, skipped(say::kSymlinkInTree));
  } else if (!job.regular) {
    decide(p, i, skipped(say::kNotRegularInTree));
  }
}

// Enters the folder of the top frame's entry: a new frame, listed, unless it
// cannot be opened. Only the last kOpenFrames frames (and the first) keep
// their folder open.
void enter(Planner& p, std::vector<Frame>& stack, const Entry& entry) {
  Frame& top = stack.back();
  const std::string& name = top.names[entry.name];
  Folder child;
  const int error = openChild(top.folder, name.c_str(), &child);
  if (error != 0) {
    failFolder(p, top.place, p.plan.names.keep(name), std::strerror(error));
    return;
  }
  TreeFolder& place = newPlace(p, top.place, name);
  place.input = keyOf(identifyFolder(child));
  stack.emplace_back();
  stack.back().place = &place;
  stack.back().folder = std::move(child);
  stack.back().open = true;
  if (stack.size() > kOpenFrames + 1) {
    Frame& far = stack[stack.size() - 1 - kOpenFrames];
    far.folder = Folder();
    far.open = false;
  }
  list(p, stack.back());
}

// Opens again the folder of frame k, closed while the walk was deeper: from
// the nearest frame above it that is open, one folder at a time, each the one
// the walk saw. Returns 0 or errno.
int reopen(std::vector<Frame>& stack, std::size_t k) {
  std::size_t from = k;
  while (!stack[from].open) {
    --from;  // the first frame is never closed
  }
  Folder at;
  int error = copyFolder(stack[from].folder, &at);
  for (std::size_t j = from + 1; j <= k && error == 0; ++j) {
    Folder below;
    error = openChild(at, stack[j].place->name, &below);
    if (error == 0 && !sameKey(keyOf(identifyFolder(below)), stack[j].place->input)) {
      error = ESTALE;
    }
    at = std::move(below);
  }
  if (error == 0) {
    stack[k].folder = std::move(at);
    stack[k].open = true;
  }
  return error;
}

// Leaves the top frame, done; the frame above gets its folder back, through
// ".." where the folder below is open.
void leave(Planner& p, std::vector<Frame>& stack) {
  const std::size_t k = stack.size() - 2;
  if (stack.size() >= 2 && !stack[k].open) {
    const Frame& done = stack.back();
    Frame& up = stack[k];
    Folder above;
    int error = done.open ? openParent(done.folder, &above) : ESTALE;
    if (error == 0 && sameKey(keyOf(identifyFolder(above)), up.place->input)) {
      up.folder = std::move(above);
      up.open = true;
    } else if (reopen(stack, k) != 0) {
      failFolder(p, *up.place, say::kFolderMoved);
      up.next = up.entries.size();
    }
  }
  stack.pop_back();
}

// Walks the folder named, opened: every .3do file below it, found without
// following symlinks, in the order of their names; the output folder is
// never walked. Iterative, so that no depth can exhaust the stack.
void walkTree(Planner& p, const char* name, Folder folder) {
  p.plan.roots.push_back(std::move(folder));
  TreeFolder& root = newPlace(p, nullptr, name);
  root.input = keyOf(identifyFolder(p.plan.roots.back()));
  std::vector<Frame> stack(1);
  stack[0].place = &root;
  const int error = copyFolder(p.plan.roots.back(), &stack[0].folder);
  if (error != 0) {
    failFolder(p, nullptr, root.name, std::strerror(error));
    return;
  }
  stack[0].open = true;
  list(p, stack[0]);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.entries.size()) {
      leave(p, stack);
      continue;
    }
    const Entry entry = top.entries[top.next++];
    if (entry.identity.directory) {
      enter(p, stack, entry);
    } else {
      addFound(p, top, entry);
    }
  }
}

// Adds the files a command-line name gives: a file, "-", or with -r the
// .3do files in a folder's tree.
void addNamed(Planner& p, const char* name) {
  const ConvertOptions& options = p.options;
  const bool standardInput = std::strcmp(name, "-") == 0;
  if (*name == '\0') {
    decide(p, newJob(p), failed(kExitInputNotFound, say::kEmptyName));
    return;
  }
  if (standardInput && options.destination != Destination::File &&
      options.destination != Destination::None) {
    const std::size_t i = newJob(p);
    p.plan.jobs[i].name = name;
    decide(p, i, refused(kExitUsage, say::kStandardInputUnnamed));
    return;
  }
  const FileIdentity found = standardInput ? FileIdentity{} : identifyPath(name);
  const int why = errno;
  if (found.directory) {
    Folder folder;
    const int error = options.recursive ? openFolder(name, &folder) : 0;
    if (options.recursive && error == 0) {
      walkTree(p, name, std::move(folder));
      return;
    }
    const std::size_t i = newJob(p);
    p.plan.jobs[i].name = name;
    decide(p, i,
           failed(kExitInputNotFound, options.recursive
                                          ? printed(say::kCannotReadFolder, std::strerror(error))
                                          : say::kIsFolder));
    return;
  }
  const std::size_t i = newJob(p);
  Job& job = p.plan.jobs[i];
  job.name = name;
  job.known = found.known;
  job.identity = keyOf(found);
  job.regular = found.regular;
  job.byName = standardInput || (found.known && !found.regular);
  if (!found.known && !standardInput) {
    decide(p, i, failed(kExitInputNotFound, printed(say::kCannotOpen, std::strerror(why))));
  }
}

// Where -o FILE is made: a symlink named as the output is written through.
void locateOutputFile(const ConvertOptions& options, Plan& plan) {
  splitName(options.output, &plan.outputFolder, &plan.outputBase);
  if (identifyEntry(options.output.c_str()).symlink) {
    std::error_code error;
    const fs::path real = fs::canonical(toPath(options.output), error);
    if (!error) {
      splitName(fromPath(real), &plan.outputFolder, &plan.outputBase);
    }
  }
}

}  // namespace

Report outputFolderUnreachable(int error, const TreeFolder* place) {
  Report report =
      failed(kExitOutputFailed, error == ESTALE || error == ELOOP || error == ENOTDIR
                                    ? std::string(say::kOutputFolderReplaced)
                                    : printed(say::kCannotOpenOutputFolder, std::strerror(error)));
  report.namedFolder = place;
  return report;
}

bool isLeftOver(const std::string& name) {
  const std::size_t end = name.size() - 4;
  if (name.size() < 12 || name[0] != '.' || name.compare(end, 4, ".tmp") != 0) {
    return false;
  }
  const std::size_t dot = name.rfind('.', end - 1);
  return dot > 0 && end - dot > 6 && name.find_first_not_of("0123456789abcdef", dot + 1) == end;
}

bool walkedBefore(const std::string& a, bool aFolder, const std::string& b, bool bFolder) {
  const std::size_t common = std::min(a.size(), b.size());
  const int order = std::memcmp(a.data(), b.data(), common);
  if (order != 0) {
    return order < 0;
  }
  const auto next = [common](const std::string& name, bool folder) {
    return name.size() > common ? static_cast<unsigned char>(name[common]) : folder ? int{'/'} : -1;
  };
  return next(a, aFolder) < next(b, bFolder);
}

int openOutputRoot(const ConvertOptions& options, Plan& plan) {
  const FileIdentity there = identifyPath(options.output.c_str());
  if (there.known && !there.directory) {
    return ENOTDIR;
  }
  if (!there.known && options.dryRun) {
    plan.outputRootState = OutputState::Absent;
    plan.outputRootError = creationErrorBelow(options.output);
    return plan.outputRootError;
  }
  std::error_code error;
  const bool made = !there.known && fs::create_directories(toPath(options.output), error);
  if (error) {
    return error.value();
  }
  const int opened = openFolder(options.output, &plan.outputRoot);
  if (opened != 0) {
    return opened;
  }
  plan.outputRootState = made ? OutputState::Made : OutputState::Existing;
  return 0;
}

void makePlan(const ConvertOptions& options, Plan& plan, const PlanProgress& progress) {
  Planner p{options, plan, progress, OutputCheck(options, plan), FileIdentity{}, 0};
  if (options.destination == Destination::Folder && plan.outputRootState != OutputState::Absent) {
    p.destination = identifyFolder(plan.outputRoot);
  }
  if (options.destination == Destination::File && options.output != "-") {
    locateOutputFile(options, plan);
  }
  for (std::size_t i = 0; i < options.inputs.size(); ++i) {
    addNamed(p, options.inputs[i]);
    advance(p, false);
  }
  advance(p, true);
  if (p.check.leftOvers() > 0) {
    complain(options.output.c_str(), printed(say::kWarningLeftOverBelow, p.check.leftOvers(),
                                             quoteWord(options.output.c_str()).text)
                                         .c_str());
  }
}

void makePlan(const ConvertOptions& options, Plan& plan) {
  makePlan(options, plan, PlanProgress{});
}

bool endsWith3do(const std::string& name) {
  const std::size_t n = name.size();
  return n >= 4 && name[n - 4] == '.' && name[n - 3] == '3' && (name[n - 2] | 0x20) == 'd' &&
         (name[n - 1] | 0x20) == 'o';
}

bool endsWithZip(const std::string& name) {
  const std::size_t n = name.size();
  return n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 'z' &&
         (name[n - 2] | 0x20) == 'i' && (name[n - 1] | 0x20) == 'p';
}

std::string shownInput(const Job& job) {
  return job.place == nullptr ? job.name : shownPath(*job.place, job.name);
}

std::string outputBase(const Job& job) {
  if (job.place != nullptr) {
    return job.name;
  }
  std::string folder;
  std::string base;
  splitName(job.name, &folder, &base);
  return base;
}

std::string shownOutput(const ConvertOptions& options, const Job& job) {
  switch (options.destination) {
    case Destination::File:
      return options.output;
    case Destination::Folder:
      return job.place == nullptr ? joinName(options.output, outputBase(job))
                                  : outputPath(*job.place, options.output, job.name);
    default:
      return std::string();
  }
}

}  // namespace convert3do
