// 3do convert: many models in one safe, parallel run.
//
// Each file is walked first (inspectFile), which says whether it is damaged
// or already converted, then converted by the same pass as convert3do into a
// temporary file in the destination's folder, which is renamed over the final
// name only when complete. Workers take files in turn; the reports come out
// in input order.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "cli/3do/commands.h"
#include "cli/3do/json.h"
#include "cli/3do/text.h"
#include "cli/common/exit_status.h"
#include "cli/common/files.h"
#include "cli/common/process.h"
#include "cli/common/quote.h"
#include "convert/convert.h"
#include "convert/file_io.h"
#include "convert/survey.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

namespace {

namespace fs = std::filesystem;

enum class Destination { None, File, Folder, InPlace };

struct Options {
  Destination destination = Destination::None;
  std::string output;  // the -o file or the -d folder
  bool recursive = false;
  bool force = false;
  bool salvage = false;
  bool sync = true;
  bool dryRun = false;
  bool json = false;
  int verbosity = 1;  // 0: -q, 2: -v
  int workers = 0;
  std::vector<std::string> inputs;
};

// One file of the batch.
struct Job {
  std::string input;          // as named or found; "-" for standard input
  std::string output;         // the final name, empty in place
  bool outputExists = false;  // replaced only with --force, unless it is the conversion already
};

enum class Verdict { Converted, Unchanged, Damaged, Failed, Skipped };

struct Report {
  Verdict verdict = Verdict::Failed;
  int status = kExitOk;
  std::string message;  // why it failed, or what damage was found
  Inspection inspection;
  bool written = false;
};

std::string fromPath(const fs::path& path) {
#ifdef _WIN32
  return path.u8string();
#else
  return path.string();
#endif
}

fs::path toPath(const std::string& name) {
#ifdef _WIN32
  return fs::u8path(name);
#else
  return fs::path(name);
#endif
}

std::string parentOf(const std::string& name) {
  return fromPath(toPath(name).parent_path());
}

std::string baseOf(const std::string& name) {
  return fromPath(toPath(name).filename());
}

bool endsWith3do(const std::string& name) {
  if (name.size() < 4) {
    return false;
  }
  std::string end = name.substr(name.size() - 4);
  std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return end == ".3do";
}

Report failed(int status, const std::string& message) {
  Report report;
  report.verdict = Verdict::Failed;
  report.status = status;
  report.message = message;
  return report;
}

// A new, empty temporary file in the temporary folder, unlinked at once where
// the system allows it (its name is then cleared): nothing is left behind.
OpenedFile scratchFile(int slot, std::string* name) {
  const char* tmp = std::getenv("TMPDIR");
  const OpenedFile file =
      createTemporary(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", "3do-spool", 0600, name, slot);
  if (file.fd >= 0 && removeFile(name->c_str())) {
    disarmTemporary(slot);
    name->clear();
  }
  return file;
}

// Copies the rest of fd into a scratch file, so that a pipe can be walked
// twice; memory does not grow with the input.
OpenedFile spool(int fd, int slot, ConversionWindow& window, std::string* name) {
  const OpenedFile copy = scratchFile(slot, name);
  if (copy.fd < 0) {
    return copy;
  }
  std::int64_t got = 0;
  while ((got = readSome(fd, window.bytes, sizeof window.bytes)) > 0 &&
         writeAll(copy.fd, window.bytes, static_cast<std::size_t>(got))) {
  }
  if (got != 0 || seekFile(copy.fd, 0, SEEK_SET) != 0) {
    OpenedFile failure;
    failure.error = errno;
    (void)closeFile(copy.fd);
    if (!name->empty()) {
      (void)removeFile(name->c_str());
      disarmTemporary(slot);
    }
    return failure;
  }
  return copy;
}

// Whether two files hold the same bytes; both are read from their start.
bool sameContents(int a, int b, ConversionWindow& window) {
  constexpr std::size_t kHalf = sizeof window.bytes / 2;
  unsigned char* left = window.bytes;
  unsigned char* right = window.bytes + kHalf;
  if (seekFile(a, 0, SEEK_SET) != 0 || seekFile(b, 0, SEEK_SET) != 0) {
    return false;
  }
  for (;;) {
    const std::int64_t got = readSome(a, left, kHalf);
    if (got < 0) {
      return false;
    }
    std::int64_t have = 0;
    while (have < got) {
      const std::int64_t more = readSome(b, right + have, static_cast<std::size_t>(got - have));
      if (more <= 0) {
        return false;
      }
      have += more;
    }
    if (got == 0) {
      return readSome(b, right, 1) == 0;
    }
    if (std::memcmp(left, right, static_cast<std::size_t>(got)) != 0) {
      return false;
    }
  }
}

// Copies the whole of fd to standard output.
bool copyToStandardOutput(int fd, ConversionWindow& window) {
  if (seekFile(fd, 0, SEEK_SET) != 0) {
    return false;
  }
  for (;;) {
    const std::int64_t got = readSome(fd, window.bytes, sizeof window.bytes);
    if (got <= 0) {
      return got == 0;
    }
    if (!writeAll(1, window.bytes, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

// Converts one file; everything it needs besides the job is in options.
Report convertOne(const Options& options, const Job& job, int slot, ConversionWindow& window) {
  const OpenedFile in = openReadable(job.input.c_str());
  if (in.fd < 0) {
    return failed(kExitInputNotFound, printed("cannot open: %s", std::strerror(in.error)));
  }
  // The input is walked twice, so a pipe is spooled to a temporary file first.
  std::string spoolName;
  int source = in.fd;
  if (!in.identity.regular) {
    const OpenedFile spooled = spool(in.fd, slot, window, &spoolName);
    if (spooled.fd < 0) {
      closeReadable(job.input.c_str(), in.fd);
      return failed(kExitDamagedInput,
                    printed("cannot read the input: %s", std::strerror(spooled.error)));
    }
    source = spooled.fd;
  }
  const auto closeInputs = [&]() {
    if (source != in.fd) {
      (void)closeFile(source);
      if (!spoolName.empty()) {
        (void)removeFile(spoolName.c_str());
        disarmTemporary(slot);
      }
    }
    closeReadable(job.input.c_str(), in.fd);
  };

  Report report;
  report.inspection = inspectFile(source, [](const ChunkRecord&) {});
  const Inspection& s = report.inspection;
  report.status = exitStatusFor(s.outcome);
  if (s.end == WalkEnd::NotA3do) {
    closeInputs();
    report.verdict = Verdict::Failed;
    report.status = kExitNotA3do;
    report.message = "not a 3do file; nothing written";
    return report;
  }
  if (s.end == WalkEnd::Damaged) {
    report.verdict = Verdict::Damaged;
    report.message = s.outcome == Outcome::ReadFailed
                         ? printed("cannot read at byte %lld: %s",
                                   static_cast<long long>(s.damageOffset), std::strerror(s.error))
                         : printed("damaged at byte %lld, in the chunk at byte %lld",
                                   static_cast<long long>(s.damageOffset),
                                   static_cast<long long>(s.damageChunk));
    if (!options.salvage || options.destination == Destination::InPlace) {
      report.message += options.destination == Destination::InPlace
                            ? "; left as it is"
                            : "; nothing written (--salvage writes its complete chunks)";
      closeInputs();
      return report;
    }
    report.message += options.dryRun ? "; --salvage would write its complete chunks"
                                     : "; its complete chunks are written";
  } else {
    report.verdict = s.alreadyConverted ? Verdict::Unchanged : Verdict::Converted;
  }
  if (options.dryRun ||
      (options.destination == Destination::InPlace && report.verdict == Verdict::Unchanged)) {
    closeInputs();  // nothing to write: a dry run, or a file converted already
    return report;
  }

  // Where the output goes: a temporary file in the destination's folder.
  std::string target = job.output;
  if (options.destination == Destination::InPlace) {
    std::error_code error;
    const fs::path real = fs::canonical(toPath(job.input), error);  // the target of a symlink
    target = error ? job.input : fromPath(real);
  }
  const bool toStdout = options.destination == Destination::File && target == "-";
  std::string temporary;
  OpenedFile out;
  if (toStdout) {
    out = scratchFile(slot, &temporary);  // standard output need not be seekable
  } else {
    out = createTemporary(parentOf(target), baseOf(target),
                          in.identity.regular ? in.identity.permissions : 0666, &temporary, slot);
  }
  if (out.fd < 0) {
    closeInputs();
    return failed(kExitOutputFailed,
                  printed("cannot create a temporary file beside %s: %s",
                          quoteName(target.c_str()).text, std::strerror(out.error)));
  }
  const auto discard = [&]() {
    (void)closeFile(out.fd);
    if (!temporary.empty()) {
      (void)removeFile(temporary.c_str());
      disarmTemporary(slot);
    }
  };
  if (seekFile(source, 0, SEEK_SET) != 0) {
    const int error = errno;
    discard();
    closeInputs();
    return failed(kExitDamagedInput, printed("cannot read the input: %s", std::strerror(error)));
  }
  const ConversionResult result = convertFile(source, out.fd, window);
  closeInputs();
  if (result.outcome == Outcome::WriteFailed) {
    discard();
    return failed(kExitOutputFailed, printed("cannot write: %s", std::strerror(result.error)));
  }
  if (result.outcome != s.outcome) {
    discard();  // the input changed between the two walks
    return failed(kExitDamagedInput, "the input changed while it was converted; nothing written");
  }
  if (job.outputExists) {
    // An output that holds the conversion already stays as it is (so a batch
    // can be run again); any other is replaced only with --force.
    const OpenedFile old = openInput(target.c_str(), false);
    const bool same = old.fd >= 0 && sameContents(old.fd, out.fd, window);
    if (old.fd >= 0) {
      (void)closeFile(old.fd);
    }
    if (same || !options.force) {
      discard();
      if (!same) {
        return failed(kExitOutputFailed, printed("its output %s exists (--force replaces it)",
                                                 quoteName(target.c_str()).text));
      }
      report.verdict = report.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::Unchanged;
      return report;
    }
  }
  if (options.destination == Destination::InPlace) {
    copyOwnerAndMode(out.fd, in.identity);
  }
  const bool durable = options.destination == Destination::InPlace && options.sync;
  if (toStdout) {
    const bool copied = copyToStandardOutput(out.fd, window);
    discard();
    if (!copied) {
      return failed(kExitOutputFailed,
                    printed("cannot write standard output: %s", std::strerror(errno)));
    }
  } else if ((durable && !syncFile(out.fd)) || !closeFile(out.fd)) {
    const int error = errno;
    (void)removeFile(temporary.c_str());
    disarmTemporary(slot);
    return failed(kExitOutputFailed, printed("cannot write: %s", std::strerror(error)));
  } else if (!renameOver(temporary.c_str(), target.c_str())) {
    const int error = errno;
    (void)removeFile(temporary.c_str());
    disarmTemporary(slot);
    return failed(kExitOutputFailed,
                  printed("cannot rename the temporary file %s: %s",
                          quoteName(temporary.c_str()).text, std::strerror(error)));
  } else {
    disarmTemporary(slot);
    if (durable && !syncDirectory(parentOf(target))) {
      return failed(kExitOutputFailed,
                    printed("cannot sync the folder of the new file: %s", std::strerror(errno)));
    }
  }
  report.written = true;
  return report;
}

const char* verdictName(Verdict verdict, bool dryRun) {
  switch (verdict) {
    case Verdict::Converted:
      return dryRun ? "would_convert" : "converted";
    case Verdict::Unchanged:
      return "unchanged";
    case Verdict::Damaged:
      return "damaged";
    case Verdict::Skipped:
      return "skipped";
    case Verdict::Failed:
      break;
  }
  return "failed";
}

struct Totals {
  std::int64_t converted = 0;
  std::int64_t unchanged = 0;
  std::int64_t damaged = 0;
  std::int64_t failed = 0;
  std::int64_t bytesIn = 0;
  std::int64_t bytesDropped = 0;
  int status = kExitOk;
};

// The input bytes that the file's output does not hold: none when nothing is
// written for it (a failure, or damage without --salvage).
std::int64_t bytesDroppedBy(const Report& r) {
  const bool output = r.verdict == Verdict::Converted || r.verdict == Verdict::Unchanged ||
                      (r.verdict == Verdict::Damaged && r.written);
  return output ? r.inspection.size - r.inspection.outputSize : 0;
}

// Prints one file's report, in input order.
void printReport(const Options& options, const Job& job, const Report& r) {
  const Inspection& s = r.inspection;
  const std::int64_t dropped = bytesDroppedBy(r);
  if (options.json) {
    std::string line = "{";
    appendJsonText(line, "file", job.input.c_str());
    if (options.destination == Destination::InPlace) {
      appendJsonText(line, "output", job.input.c_str());
    } else {
      appendJsonText(line, "output", job.output.c_str());
    }
    appendJsonText(line, "result", verdictName(r.verdict, options.dryRun));
    appendJsonBool(line, "written", r.written);
    appendJsonMember(line, "size", s.size);
    appendJsonMember(line, "output_size", s.outputSize);
    appendJsonMember(line, "words_changed", s.wordsChanged);
    appendJsonMember(line, "bytes_dropped", dropped);
    appendJsonMember(line, "exit_status", r.status);
    if (r.message.empty()) {
      appendJsonNull(line, "message");
    } else {
      appendJsonText(line, "message", r.message.c_str());
    }
    line += "}\n";
    (void)std::fputs(line.c_str(), stdout);
    return;
  }
  const bool problem = r.verdict == Verdict::Failed || r.verdict == Verdict::Damaged;
  if (problem) {
    (void)std::fprintf(stderr, "3do: %s: %s\n", quoteName(job.input.c_str()).text,
                       r.message.c_str());
  } else if (options.verbosity >= 2 || (options.dryRun && options.verbosity > 0)) {
    const char* shown = options.destination == Destination::InPlace || job.output.empty()
                            ? job.input.c_str()
                            : job.output.c_str();
    (void)std::fprintf(stderr, "3do: %s: %s%s, %lld bytes dropped\n", quoteName(shown).text,
                       options.dryRun ? "would be " : "",
                       r.verdict == Verdict::Unchanged ? "unchanged" : "converted",
                       static_cast<long long>(dropped));
  }
}

void count(Totals& totals, const Report& r) {
  switch (r.verdict) {
    case Verdict::Converted:
      ++totals.converted;
      break;
    case Verdict::Unchanged:
      ++totals.unchanged;
      break;
    case Verdict::Damaged:
      ++totals.damaged;
      break;
    case Verdict::Failed:
    case Verdict::Skipped:
      ++totals.failed;
      break;
  }
  totals.bytesIn += r.inspection.size;
  totals.bytesDropped += bytesDroppedBy(r);
  totals.status = worseStatus(totals.status, r.status);
}

void printSummary(const Options& options, const Totals& t) {
  if (options.json) {
    std::string line = "{";
    appendJsonBool(line, "summary", true);
    appendJsonMember(line, "converted", t.converted);
    appendJsonMember(line, "unchanged", t.unchanged);
    appendJsonMember(line, "damaged", t.damaged);
    appendJsonMember(line, "failed", t.failed);
    appendJsonMember(line, "bytes_dropped", t.bytesDropped);
    appendJsonMember(line, "exit_status", t.status);
    line += "}\n";
    (void)std::fputs(line.c_str(), stdout);
  } else if (options.verbosity > 0) {
    (void)std::fprintf(stderr,
                       "3do: %s%lld converted, %lld unchanged, %lld damaged, %lld failed, %lld "
                       "bytes dropped\n",
                       options.dryRun ? "dry run: " : "", static_cast<long long>(t.converted),
                       static_cast<long long>(t.unchanged), static_cast<long long>(t.damaged),
                       static_cast<long long>(t.failed), static_cast<long long>(t.bytesDropped));
  }
}

// The live progress line on a terminal.
void printProgress(std::size_t done, std::size_t total, std::int64_t bytes, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  const double perFile = done > 0 ? seconds / static_cast<double>(done) : 0;
  const double left = perFile * static_cast<double>(total - done);
  (void)std::fprintf(stderr, "\r\033[K3do: %zu of %zu files, %.1f MB, %.1f MB/s, %.0f s left", done,
                     total, static_cast<double>(bytes) / 1e6, rate / 1e6, left);
  (void)std::fflush(stderr);
}

bool isTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

// Adds the files a command-line argument names: a file, "-", or with -r the
// .3do files in a folder's tree (symlinks to folders are not followed).
bool addInputs(const Options& options, const std::string& name, std::vector<Job>& jobs) {
  std::error_code error;
  const fs::path path = toPath(name);
  if (name != "-" && fs::is_directory(path, error)) {
    if (!options.recursive) {
      complain(name.c_str(), "is a folder (use -r to convert the .3do files in its tree)");
      return false;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator walk(path, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
      const fs::directory_entry& entry = *walk;
      if (!entry.is_directory(error) && entry.is_regular_file(error) &&
          endsWith3do(fromPath(entry.path().filename()))) {
        found.push_back(fromPath(entry.path().lexically_relative(path)));
      }
    }
    if (error) {
      complain(name.c_str(),
               printed("cannot read the folder: %s", error.message().c_str()).c_str());
      return false;
    }
    std::sort(found.begin(), found.end());
    for (const std::string& relative : found) {
      Job job;
      job.input = fromPath(path / toPath(relative));
      if (options.destination == Destination::Folder) {
        job.output = fromPath(toPath(options.output) / toPath(relative));
      }
      jobs.push_back(job);
    }
    return true;
  }
  Job job;
  job.input = name;
  if (options.destination == Destination::Folder) {
    job.output = fromPath(toPath(options.output) / toPath(baseOf(name)));
  } else if (options.destination == Destination::File) {
    job.output = options.output;
  }
  jobs.push_back(job);
  return true;
}

// Reads NUL-separated names from a file, or standard input for "-".
bool readNames(const std::string& from, std::vector<std::string>& names) {
  std::FILE* file = from == "-" ? stdin : std::fopen(from.c_str(), "rb");
  if (file == nullptr) {
    complain(from.c_str(), printed("cannot open: %s", std::strerror(errno)).c_str());
    return false;
  }
  std::string name;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) {
    if (c == '\0') {
      if (!name.empty()) {
        names.push_back(name);
      }
      name.clear();
    } else {
      name += static_cast<char>(c);
    }
  }
  if (!name.empty()) {
    names.push_back(name);
  }
  const bool ok = std::ferror(file) == 0;
  if (file != stdin) {
    (void)std::fclose(file);
  }
  return ok;
}

int usage(const char* what) {
  complain("convert", printed("%s (see 3do help convert)", what).c_str());
  return kExitUsage;
}

}  // namespace

int runConvert(int argc, char** argv) {
  Options options;
  std::vector<std::string> fromFiles;
  bool onlyFiles = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string* into) {
      if (i + 1 >= argc) {
        return false;
      }
      *into = argv[++i];
      return true;
    };
    const auto setDestination = [&](Destination d) {
      if (options.destination != Destination::None) {
        return false;
      }
      options.destination = d;
      return true;
    };
    if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
      options.inputs.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "-o" || arg == "-d") {
      if (!setDestination(arg == "-o" ? Destination::File : Destination::Folder) ||
          !value(&options.output)) {
        return usage("give exactly one of -o FILE, -d DIR and -i");
      }
    } else if (arg == "-i" || arg == "--in-place") {
      if (!setDestination(Destination::InPlace)) {
        return usage("give exactly one of -o FILE, -d DIR and -i");
      }
    } else if (arg == "-r" || arg == "--recursive") {
      options.recursive = true;
    } else if (arg == "-f" || arg == "--force") {
      options.force = true;
    } else if (arg == "--salvage") {
      options.salvage = true;
    } else if (arg == "--no-sync") {
      options.sync = false;
    } else if (arg == "-n" || arg == "--dry-run") {
      options.dryRun = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbosity = 2;
    } else if (arg == "-q" || arg == "--quiet") {
      options.verbosity = 0;
    } else if (arg == "-j") {
      std::string n;
      char* end = nullptr;
      const long count = value(&n) ? std::strtol(n.c_str(), &end, 10) : 0;
      if (end == nullptr || *end != '\0' || count < 1 || count > kTemporarySlots) {
        return usage(printed("-j takes a number of workers from 1 to %d", kTemporarySlots).c_str());
      }
      options.workers = static_cast<int>(count);
    } else if (arg.rfind("--files0-from=", 0) == 0) {
      fromFiles.push_back(arg.substr(std::strlen("--files0-from=")));
    } else {
      return usage(printed("unknown option %s", quoteName(arg.c_str()).text).c_str());
    }
  }
  if (options.destination == Destination::None) {
    return usage(
        "say where the output goes: -o FILE, -d DIR or -i (in place); a conversion drops data, "
        "so nothing is replaced by default");
  }
  if (!std::all_of(fromFiles.begin(), fromFiles.end(),
                   [&](const std::string& from) { return readNames(from, options.inputs); })) {
    return kExitInputNotFound;
  }
  if (options.inputs.empty()) {
    return usage("no file named");
  }
  if (options.destination == Destination::File && options.inputs.size() != 1) {
    return usage("-o takes a single input; use -d DIR for several");
  }
  if (options.json && options.destination == Destination::File && options.output == "-") {
    return usage("--json and -o - would share standard output");
  }

  int status = kExitOk;
  std::vector<Job> jobs;
  for (const std::string& name : options.inputs) {
    if (name == "-" && options.destination != Destination::File) {
      complain("-", "standard input has no name to convert in place or into a folder; use -o");
      status = worseStatus(status, kExitUsage);
    } else if (!addInputs(options, name, jobs)) {
      status = worseStatus(status, kExitInputNotFound);
    }
  }

  // The same file named twice is converted once. Refused before anything is
  // written: an output that is one of the inputs, two inputs with one output
  // name, and in place a file with other hard links.
  std::vector<Report> reports(jobs.size());
  std::vector<bool> skip(jobs.size(), false);
  // Files by device and inode, names in hashed sets: a batch of any size is
  // checked in time proportional to its size.
  const auto key = [](const FileIdentity& id) {
    return std::to_string(id.device) + ":" + std::to_string(id.inode);
  };
  std::vector<FileIdentity> identities(jobs.size());
  std::unordered_set<std::string> inputs;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    identities[i] = jobs[i].input == "-" ? FileIdentity{} : identifyPath(jobs[i].input.c_str());
    if (identities[i].known) {
      inputs.insert(key(identities[i]));
    }
  }
  std::unordered_set<std::string> seen;     // inputs taken so far
  std::unordered_set<std::string> outputs;  // their outputs, normalised
  std::unordered_set<std::string> folders;  // output folders made
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const FileIdentity& id = identities[i];
    if (id.regular && !seen.insert(key(id)).second) {
      skip[i] = true;  // named before: converted once
      reports[i].verdict = Verdict::Skipped;
      reports[i].status = kExitOk;
      continue;
    }
    const auto refuse = [&](int code, const std::string& why) {
      skip[i] = true;
      reports[i] = failed(code, why);
    };
    if (options.destination == Destination::InPlace) {
      if (id.links > 1 && !options.force) {
        refuse(kExitOutputFailed,
               printed("has %llu hard links; replacing it would part it from the others "
                       "(--force replaces it all the same)",
                       id.links));
      }
      continue;
    }
    if (jobs[i].output == "-") {
      continue;
    }
    const FileIdentity out = identifyPath(jobs[i].output.c_str());
    const std::string folder = parentOf(jobs[i].output);
    if (out.known && inputs.count(key(out)) > 0) {
      refuse(kExitUsage, printed("its output %s is one of the inputs; refusing to overwrite it",
                                 quoteName(jobs[i].output.c_str()).text));
    } else if (!outputs.insert(fromPath(toPath(jobs[i].output).lexically_normal())).second) {
      refuse(kExitUsage, printed("its output %s is another input's output too",
                                 quoteName(jobs[i].output.c_str()).text));
    } else if (!options.dryRun && !folder.empty() && folders.insert(folder).second) {
      jobs[i].outputExists = out.known;
      std::error_code error;
      fs::create_directories(toPath(folder), error);
      if (error) {
        refuse(kExitOutputFailed,
               printed("cannot create the folder of %s: %s", quoteName(jobs[i].output.c_str()).text,
                       error.message().c_str()));
      }
    } else {
      jobs[i].outputExists = out.known;
    }
  }

  // Workers take the files in turn; the reports are printed in input order.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t workerCount = std::max<std::size_t>(
      1, std::min<std::size_t>(
             jobs.size(), options.workers > 0 ? static_cast<unsigned>(options.workers) : cores));
  std::vector<char> done(jobs.size(), 0);
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  const auto work = [&](int slot) {
    std::unique_ptr<ConversionWindow> window(new ConversionWindow);
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      Report report = skip[i] ? reports[i] : convertOne(options, jobs[i], slot, *window);
      const std::lock_guard<std::mutex> lock(mutex);
      reports[i] = std::move(report);
      done[i] = 1;
      ready.notify_all();
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t w = 1; w < workerCount; ++w) {
    threads.emplace_back(work, static_cast<int>(w));
  }
  std::thread first(work, 0);

  Totals totals;
  totals.status = status;
  const bool progress = options.verbosity == 1 && !options.json && isTerminal(2);
  bool progressShown = false;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    std::unique_lock<std::mutex> lock(mutex);
    while (done[i] == 0) {
      ready.wait_for(lock, std::chrono::milliseconds(200));
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      if (progress && elapsed.count() > 1.0) {
        printProgress(i, jobs.size(), totals.bytesIn, elapsed.count());
        progressShown = true;
      }
    }
    const Report report = reports[i];
    lock.unlock();
    if (progressShown) {
      (void)std::fputs("\r\033[K", stderr);
      progressShown = false;
    }
    if (report.verdict != Verdict::Skipped) {
      printReport(options, jobs[i], report);
      count(totals, report);
    }
  }
  first.join();
  for (std::thread& thread : threads) {
    thread.join();
  }
  printSummary(options, totals);
  if (std::fflush(stdout) != 0) {
    complain("standard output", printed("cannot write: %s", std::strerror(errno)).c_str());
    totals.status = worseStatus(totals.status, kExitOutputFailed);
  }
  return totals.status;
}

}  // namespace convert3do
