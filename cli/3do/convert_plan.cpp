#include "cli/3do/convert_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "cli/3do/commands.h"
#include "cli/3do/names.h"
#include "cli/3do/text.h"
#include "cli/common/quote.h"

namespace convert3do {

namespace {

namespace fs = std::filesystem;

bool endsWith3do(const std::string& name) {
  const std::size_t n = name.size();
  return n >= 4 && name[n - 4] == '.' && name[n - 3] == '3' && (name[n - 2] | 0x20) == 'd' &&
         (name[n - 1] | 0x20) == 'o';
}

void decide(Job& job, const Report& report) {
  job.decided = true;
  job.report = report;
}

Report skipped(const char* why) {
  Report report;
  report.verdict = Verdict::Skipped;
  report.message = why;
  return report;
}

// Resolves a name once, following symlinks, into a folder and a name there.
void locate(const std::string& name, Job& job) {
  std::error_code error;
  const fs::path real = fs::canonical(toPath(name), error);
  if (error) {
    decide(job,
           failed(kExitInputNotFound, printed("cannot open: %s", std::strerror(error.value()))));
    return;
  }
  job.folder = fromPath(real.parent_path());
  job.base = fromPath(real.filename());
  job.folderIdentity = identifyPath(job.folder.c_str());
}

// Where the output is made, given job.output already split into
// job.outputFolder and job.outputBase: a symlink named as the output is
// written through. Returns what the output's name refers to.
FileIdentity locateOutput(Job& job) {
  FileIdentity out = identifyEntry(job.output.c_str());
  if (!out.symlink) {
    return out;
  }
  std::error_code error;
  const fs::path real = fs::canonical(toPath(job.output), error);
  splitName(error ? job.output : fromPath(real), &job.outputFolder, &job.outputBase);
  return identifyPath(job.output.c_str());
}

// A file's device and inode as a key of a hashed set.
std::string key(const FileIdentity& id) {
  char bytes[sizeof id.device + sizeof id.inode];
  std::memcpy(bytes, &id.device, sizeof id.device);
  std::memcpy(bytes + sizeof id.device, &id.inode, sizeof id.inode);
  return std::string(bytes, sizeof bytes);
}

// Whether a folder is one this run made, asked for the jobs of one folder
// after another: the last answer is kept until made changes.
class MadeFolders {
 public:
  explicit MadeFolders(std::unordered_set<std::string>& made) : made_(made) {}
  bool has(const std::string& folder) {
    if (!known_ || folder != last_) {
      last_ = folder;
      answer_ = made_.count(normalName(folder)) > 0;
      known_ = true;
    }
    return answer_;
  }
  void add(const std::string& folder) {
    made_.insert(normalName(folder));
    known_ = false;
  }

 private:
  std::unordered_set<std::string>& made_;
  std::string last_;
  bool known_ = false;
  bool answer_ = false;
};

// The refusals that need only names and identities, made job by job in the
// order of the plan. Files by device and inode, names in hashed sets: a
// batch of any size is checked in time proportional to its size.
class OutputCheck {
 public:
  // made: folders this run created, empty when made, so that no output in
  // one is looked for (a file put there meanwhile still stops the commit).
  OutputCheck(const ConvertOptions& options, std::unordered_set<std::string>& made)
      : options_(options), made_(made) {}

  // Checks the jobs not checked yet; returns how many of the plan's first
  // jobs are final. Until the plan is complete it stops at a job whose output
  // exists, as that output may be an input yet to be found.
  std::size_t advance(Plan& plan, bool complete) {
    if (options_.destination == Destination::None) {
      return checked_ = plan.jobs.size();  // only looked at: each name as given
    }
    while (checked_ < plan.jobs.size() && check(plan, plan.jobs[checked_], complete)) {
      ++checked_;
    }
    return checked_;
  }

 private:
  bool check(Plan& plan, Job& job, bool complete);

  // Notes the inputs of the jobs before end that the walk did not decide;
  // they are looked at and put in their hashed set only once an output
  // exists, which in a folder this run made none ever does.
  void take(Plan& plan, std::size_t end) {
    for (; taken_ < end; ++taken_) {
      Job& job = plan.jobs[taken_];
      if (!job.decided && (job.identity.known || job.identityLater)) {
        waiting_.push_back(&job);
      }
    }
  }

  bool isInput(Plan& plan, const FileIdentity& file) {
    take(plan, plan.jobs.size());
    for (Job* input : waiting_) {
      identify(*input);
      if (input->identity.known) {
        inputs_.insert(key(input->identity));
      }
    }
    waiting_.clear();
    return inputs_.count(key(file)) > 0;
  }

  // Looks at an input found in a tree that was not looked at yet.
  void identify(Job& job) {
    if (!job.identityLater) {
      return;
    }
    job.identityLater = false;
    bool opened = false;
    job.identity = openInputFolder(job, folder_, &opened) == 0
                       ? identifyAt(folder_.folder, job.base.c_str(), false)
                       : FileIdentity{};
  }

  const ConvertOptions& options_;
  MadeFolders made_;
  std::size_t checked_ = 0;
  std::size_t taken_ = 0;
  std::vector<Job*> waiting_;
  std::unordered_set<std::string> inputs_;
  // Each output, normalised, with the input that has it first; in place and
  // to standard output, the inputs taken so far with their outputs.
  std::unordered_map<std::string, Job*> outputs_;
  std::unordered_set<std::string> seen_;
  std::unordered_set<std::string> folders_;  // output folders made
  std::string lastFolder_;                   // the last one put in folders_
  InputFolder folder_;                       // where the last input looked at is
};

// False when the job must wait for the complete plan.
bool OutputCheck::check(Plan& plan, Job& job, bool complete) {
  take(plan, checked_ + 1);
  if (job.decided) {
    return true;
  }
  if (options_.destination == Destination::InPlace || job.output == "-") {
    if (job.identity.regular && !seen_.insert(key(job.identity) + job.output).second) {
      decide(job, skipped("named before: converted once"));
    }
    return true;
  }
  if (job.outputBase.empty()) {
    splitName(job.output, &job.outputFolder, &job.outputBase);
  }
  const FileIdentity out = made_.has(job.outputFolder) ? FileIdentity{} : locateOutput(job);
  if (out.known && !complete) {
    return false;
  }
  const auto output = outputs_.emplace(normalName(job.output), &job);
  if (!output.second) {
    Job& first = *output.first->second;
    identify(first);
    identify(job);
    if (job.identity.regular && first.identity.regular && sameFile(first.identity, job.identity)) {
      decide(job, skipped("named before: converted once"));
      return true;
    }
  }
  const auto shown = [&job]() { return std::string(quoteName(job.output.c_str()).text); };
  job.outputExists = out.known;
  if (out.known && isInput(plan, out)) {
    decide(job, refused(kExitUsage, printed("its output %s is one of the inputs; refusing to "
                                            "overwrite it",
                                            shown().c_str())));
  } else if (!output.second) {
    decide(job, refused(kExitUsage,
                        printed("its output %s is another input's output too", shown().c_str())));
  } else if (out.directory) {
    decide(job, refused(kExitUsage, printed("its output %s is a folder (-d DIR puts the "
                                            "outputs into a folder)",
                                            shown().c_str())));
  } else if (out.known && !out.regular) {
    decide(job, refused(kExitOutputFailed, printed("its output %s exists and is not a regular "
                                                   "file; refusing to replace it",
                                                   shown().c_str())));
  } else if (!options_.dryRun && !job.outputFolder.empty() && job.outputFolder != lastFolder_ &&
             folders_.insert(job.outputFolder).second) {
    lastFolder_ = job.outputFolder;
    std::error_code error;
    if (fs::create_directories(toPath(job.outputFolder), error)) {
      made_.add(job.outputFolder);
    }
    if (error) {
      decide(job, failed(kExitOutputFailed, printed("cannot create the folder of %s: %s",
                                                    shown().c_str(), error.message().c_str())));
    }
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

// A new job at the end of the plan, made in its place: a job is some 540
// bytes.
Job& newJob(Planner& p) {
  std::unique_lock<std::mutex> lock;
  if (p.progress.growing != nullptr) {
    lock = std::unique_lock<std::mutex>(*p.progress.growing);
  }
  return p.plan.jobs.emplace_back();
}

void advance(Planner& p, bool complete) {
  const std::size_t final = p.check.advance(p.plan, complete);
  if (p.progress.publish && final > p.published) {
    p.published = final;
    p.progress.publish(final);
  }
}

// A walk of one folder named with -r: every .3do file below it, found
// without following symlinks; the output folder is never walked.
struct Walk {
  Planner& planner;
  const Folder* root;
  std::string name;  // the folder as named
};

// The names of one folder of a walk, made once for all it holds: as shown,
// and with -d its place among the outputs. A name listed in a folder is one
// plain component, so that joining it to a plain name is joining strings.
struct Listed {
  explicit Listed(const Walk& w, const std::string& relative)
      : shown(relative.empty() ? w.name : joinName(w.name, relative)),
        output(w.planner.options.destination != Destination::Folder ? std::string()
               : relative.empty()                                   ? w.planner.options.output
                                  : joinName(w.planner.options.output, relative)),
        shownPlain(plainName(shown)),
        outputPlain(plainName(output)) {}
  std::string shown;
  std::string output;
  bool shownPlain;
  bool outputPlain;
};

std::string joinListed(const std::string& folder, bool plain, const std::string& name) {
  return plain ? folder + '/' + name : joinName(folder, name);
}

// An entry of a folder worth a look: a .3do file, a folder, or a symlink to
// a folder (which is reported, not followed).
struct Entry {
  const std::string* name;
  FileIdentity identity;
  bool later;  // only its kind is known as yet
};

// A regular file whose identity is not known as yet.
FileIdentity regularFile() {
  FileIdentity file;
  file.regular = true;
  return file;
}

void addFound(Walk& w, const Listed& listed, const std::string& relative, const std::string& name,
              const Entry& entry) {
  Job& job = newJob(w.planner);
  job.input = joinListed(listed.shown, listed.shownPlain, name);
  job.root = w.root;
  job.folder = relative;
  job.base = name;
  job.identity = entry.identity;
  job.identityLater = entry.later;
  if (w.planner.options.destination == Destination::Folder) {
    job.output = joinListed(listed.output, listed.outputPlain, name);
    if (listed.outputPlain) {  // split as it was joined
      job.outputFolder = listed.output;
      job.outputBase = name;
    }
  }
  if (job.identity.symlink) {
    decide(job, skipped("a symlink met in a folder is not followed"));
  } else if (!job.identity.regular) {
    decide(job, skipped("not a regular file"));
  }
}

// Whether name is that of a temporary file of 3do convert: ".NAME.HEX.tmp".
bool isLeftOver(const std::string& name) {
  const std::size_t end = name.size() - 4;
  if (name.size() < 12 || name[0] != '.' || name.compare(end, 4, ".tmp") != 0) {
    return false;
  }
  const std::size_t dot = name.rfind('.', end - 1);
  return dot > 0 && end - dot > 6 && name.find_first_not_of("0123456789abcdef", dot + 1) == end;
}

// Whether entry a comes before b in the order of the names of all that a
// walk finds: a folder's name as though followed by '/', so that walking the
// entries of each folder in this order lists every name in sorted order.
bool walkedBefore(const Entry& a, const Entry& b) {
  const std::size_t common = std::min(a.name->size(), b.name->size());
  const int order = std::memcmp(a.name->data(), b.name->data(), common);
  if (order != 0) {
    return order < 0;
  }
  const auto next = [common](const Entry& e) {
    return e.name->size() > common ? static_cast<unsigned char>((*e.name)[common])
           : e.identity.directory  ? int{'/'}
                                   : -1;
  };
  return next(a) < next(b);
}

// Walks a folder, its files and folders in the order of their names; what
// was found before it is published first.
void walkFolder(Walk& w, const Folder& folder, const std::string& relative) {
  advance(w.planner, false);
  std::vector<std::string> names;
  std::vector<EntryKind> kinds;
  const int error = listFolder(folder, &names, &kinds);
  if (error != 0) {
    Job& job = newJob(w.planner);
    job.input = joinName(w.name, relative);
    decide(job,
           failed(kExitInputNotFound, printed("cannot read the folder: %s", std::strerror(error))));
    return;
  }
  const Listed listed(w, relative);
  std::vector<Entry> entries;
  // A regular file, as the listing says, is looked at only when its identity
  // is needed: other than .3do files never, and with -d only once an
  // output exists.
  const bool later = w.planner.options.destination == Destination::Folder;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (isLeftOver(name)) {
      complain(joinListed(listed.shown, listed.shownPlain, name).c_str(),
               "warning: a temporary file left by an interrupted run; remove it once no run "
               "is under way");
    }
    const bool model = endsWith3do(name);
    if (kinds[i] == EntryKind::File && (later || !model)) {
      if (model) {
        entries.push_back(Entry{&name, regularFile(), true});
      }
      continue;
    }
    const FileIdentity entry = identifyAt(folder, name.c_str(), false);
    if (entry.directory
            ? !sameFile(entry, w.planner.destination)
            : model || (entry.symlink && identifyAt(folder, name.c_str(), true).directory)) {
      entries.push_back(Entry{&name, entry, false});
    }
  }
  std::sort(entries.begin(), entries.end(), walkedBefore);
  for (const Entry& entry : entries) {
    const std::string& name = *entry.name;
    if (!entry.identity.directory) {
      addFound(w, listed, relative, name, entry);
      continue;
    }
    Folder child;
    const int opened = openFolderBeneath(folder, name, &child);
    if (opened == 0) {
      walkFolder(w, child, joinName(relative, name));
      continue;
    }
    Job& job = newJob(w.planner);
    job.input = joinListed(listed.shown, listed.shownPlain, name);
    decide(job, failed(kExitInputNotFound,
                       printed("cannot read the folder: %s", std::strerror(opened))));
  }
}

// Adds the files a command-line name gives: a file, "-", or with -r the
// .3do files in a folder's tree.
void addNamed(Planner& p, const std::string& name) {
  const ConvertOptions& options = p.options;
  Plan& plan = p.plan;
  if (name.empty()) {
    Job& job = newJob(p);
    decide(job, failed(kExitInputNotFound, "cannot open: an empty name"));
    return;
  }
  if (name == "-" && options.destination != Destination::File &&
      options.destination != Destination::None) {
    Job& job = newJob(p);
    job.input = name;
    decide(job, refused(kExitUsage,
                        "standard input has no name to convert in place or into "
                        "a folder; use -o"));
    return;
  }
  const FileIdentity found = name == "-" ? FileIdentity{} : identifyPath(name.c_str());
  if (found.directory) {
    Folder folder;
    const int error = options.recursive ? openFolder(name, &folder) : 0;
    if (!options.recursive || error != 0) {
      Job& job = newJob(p);
      job.input = name;
      decide(job,
             failed(kExitInputNotFound,
                    options.recursive ? printed("cannot read the folder: %s", std::strerror(error))
                                      : "is a folder (use -r for the .3do files in its tree)"));
      return;
    }
    plan.roots.push_back(std::move(folder));
    Walk walk{p, &plan.roots.back(), name};
    walkFolder(walk, plan.roots.back(), "");
    return;
  }
  Job& job = newJob(p);
  job.input = name;
  job.identity = found;
  job.byName = name == "-" || (job.identity.known && !job.identity.regular);
  if (!job.byName) {
    locate(name, job);
  }
  if (options.destination == Destination::Folder) {
    job.output = joinName(options.output, fromPath(toPath(name).filename()));
  } else if (options.destination == Destination::File) {
    job.output = options.output;
  }
}

}  // namespace

void makePlan(const ConvertOptions& options, Plan& plan, const PlanProgress& progress) {
  std::unordered_set<std::string> made;
  Planner p{options, plan, progress, OutputCheck(options, made), FileIdentity{}};
  if (options.destination == Destination::Folder) {
    std::error_code error;
    if (!options.dryRun && fs::create_directories(toPath(options.output), error)) {
      made.insert(normalName(options.output));
    }
    p.destination = identifyPath(options.output.c_str());
  }
  for (const std::string& name : options.inputs) {
    addNamed(p, name);
    advance(p, false);
  }
  advance(p, true);
}

int openInputFolder(const Job& job, InputFolder& f, bool* opened) {
  *opened = false;
  if (f.open && f.root == job.root && f.path == job.folder) {
    return 0;
  }
  f.open = false;
  const int error = job.root == nullptr ? openFolder(job.folder, &f.folder)
                                        : openFolderBeneath(*job.root, job.folder, &f.folder);
  if (error != 0) {
    return error;
  }
  f.open = *opened = true;
  f.root = job.root;
  f.path = job.folder;
  return 0;
}

Plan makePlan(const ConvertOptions& options) {
  Plan plan;
  makePlan(options, plan, PlanProgress{});
  return plan;
}

}  // namespace convert3do
