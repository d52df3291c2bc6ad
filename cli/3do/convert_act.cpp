#include "cli/3do/convert_act.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cli/3do/archive.h"
#include "cli/3do/names.h"
#include "cli/3do/text.h"
#include "cli/3do/zip_layout.h"
#include "cli/common/file_io.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

namespace convert3do {

namespace {

// Gives the report a refusal or a failure, keeping what the walk found; false,
// as the callers that say whether they wrote return: nothing was written.
bool unwritten(Report& r, const Report& outcome) {
  r.verdict = outcome.verdict;
  r.status = outcome.status;
  r.message = outcome.message;
  r.namedFolder = outcome.namedFolder;
  return false;
}

// A message whose reason is errno's text.
std::string failure(const char* format, int error) {
  return printed(format, std::strerror(error));
}

// A folder of the input side that the worker cannot reach now.
Report unreachable(int error) {
  if (error == ELOOP || error == ENOTDIR || error == ESTALE) {
    return failed(kExitInputNotFound, say::kFolderReplaced);
  }
  return failed(kExitInputNotFound, failure(say::kCannotOpen, error));
}

// Opens the folder at path into f, unless it holds it already.
int openNamedFolder(InputFolders& f, const std::string& path) {
  if (f.namedOpen && f.namedPath == path) {
    return 0;
  }
  f.namedOpen = false;
  const int error = openFolder(path, &f.named);
  if (error == 0) {
    f.namedOpen = true;
    f.namedPath = path;
  }
  return error;
}

// The folder a file named one by one is in, opened, and its name there: the
// name as given, or where a symlink named so leads. The entry there must be
// the file opened.
bool openFolderOfNamed(const Job& job, InputFolders& f, Input* in, Report* r) {
  std::string folder;
  splitName(job.name, &folder, &in->base);
  int error = openNamedFolder(f, folder);
  FileIdentity entry = error == 0 ? identifyAt(f.named, in->base.c_str(), false) : FileIdentity{};
  if (entry.symlink) {
    std::error_code resolved;
    const std::filesystem::path real = std::filesystem::canonical(toPath(job.name), resolved);
    if (!resolved) {
      splitName(fromPath(real), &folder, &in->base);
      error = openNamedFolder(f, folder);
      entry = error == 0 ? identifyAt(f.named, in->base.c_str(), false) : FileIdentity{};
    }
  }
  if (error != 0) {
    *r = failed(kExitInputNotFound, failure(say::kCannotOpen, error));
    return false;
  }
  if (!sameFile(entry, in->identity)) {
    *r = failed(kExitInputNotFound, say::kReplaced);
    return false;
  }
  in->folder = &f.named;
  return true;
}

// A stream, or what is not a regular file, opened by its name.
bool openByName(const ConvertOptions& o, const Job& job, Input* in, Report* r) {
  if (o.destination == Destination::InPlace) {
    *r = refused(kExitUsage, say::kRegularOnly);  // a FIFO would have opening wait
    return false;
  }
  const OpenedFile file = openReadable(job.name);
  if (file.fd < 0) {
    *r = failed(kExitInputNotFound, failure(say::kCannotOpen, file.error));
    return false;
  }
  in->owned.reset(std::strcmp(job.name, "-") == 0 ? -1 : file.fd);
  in->fd = file.fd;
  in->identity = file.identity;
  return true;
}

// Takes the opened file as the job's input, if it is still the file the plan
// found (a FIFO put in its place opens at once, and is no regular file).
bool acceptOpened(const ConvertOptions& o, const Job& job, const OpenedFile& file, Input* in,
                  Report* r) {
  if (file.fd < 0) {
    *r = failed(kExitInputNotFound, failure(say::kCannotOpen, file.error));
    return false;
  }
  in->owned.reset(file.fd);
  in->fd = file.fd;
  in->identity = file.identity;
  if (o.destination == Destination::None) {
    return true;  // only read: whatever is there now
  }
  if (o.destination == Destination::InPlace && !file.identity.regular) {
    *r = refused(kExitUsage, say::kRegularOnly);
    return false;
  }
  if (!file.identity.regular || (job.known && !sameKey(keyOf(file.identity), job.identity))) {
    *r = failed(kExitInputNotFound, say::kReplaced);
    return false;
  }
  return true;
}

}  // namespace

std::string scratchFolderPath() {
#ifdef _WIN32
  const char* tmp = std::getenv("TEMP");
#else
  const char* tmp = std::getenv("TMPDIR");
#endif
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool startsAsArchive(const Input& in) {
  if (in.bytes != nullptr) {
    return startsLikeZip(in.bytes, in.length);
  }
  unsigned char start[4];
  const bool read = in.identity.regular && seekFile(in.fd, 0, SEEK_SET) == 0 &&
                    readSome(in.fd, start, sizeof start) == sizeof start;
  return seekFile(in.fd, 0, SEEK_SET) == 0 && read && startsLikeZip(start, sizeof start);
}

bool openPlannedInput(const ConvertOptions& o, const Job& job, InputFolders& f, Input* in,
                      Report* r) {
  if (job.byName) {
    return openByName(o, job, in, r);
  }
  const bool inPlace = o.destination == Destination::InPlace;
  if (job.place == nullptr) {
    return acceptOpened(o, job, openInputAtOnce(job.name), in, r) &&
           (!inPlace || openFolderOfNamed(job, f, in, r));
  }
  const int error = f.tree.moveTo(job.place);
  if (error != 0) {
    *r = unreachable(error);
    return false;
  }
  in->folder = &f.tree.folder();
  in->base = job.name;
  return acceptOpened(o, job, openReadableAt(f.tree.folder(), job.name, true), in, r);
}

namespace {

// The figures of the survey, where they are known: a stream is read only as
// far as the walk, so its size and what it drops are not.
void takeFigures(Report& r, const SurveyInfo& s) {
  r.surveyed = s.size >= 0;
  r.size = s.size;
  r.outputSize = s.outputSize;
  r.wordsChanged = s.wordsChanged;
}

// What the walk of a regular input says before anything is written: false
// when the report is final (refused, damaged, nothing to write).
bool verdictOfSurvey(const ConvertOptions& o, const Input& in, const SurveyInfo& s, Report& r) {
  const bool inPlace = o.destination == Destination::InPlace;
  r.status = exitStatusFor(s.outcome);
  if (s.end == WalkEnd::NotA3do) {
    r.verdict = Verdict::Refused;
    r.status = kExitNotA3do;
    r.message = std::string(say::kNotA3do) + say::kNothingWritten;
    return false;
  }
  if (s.end == WalkEnd::Damaged) {
    r.verdict = Verdict::Damaged;
    r.message = printed(say::kDamaged, describeDamage(s).text);
    if (!o.salvage || inPlace) {
      r.message += inPlace ? say::kLeftAsItIs : say::kSalvageWrites;
      return false;
    }
    r.message += o.dryRun ? say::kSalvageWould : say::kSalvaged;
  } else {
    r.verdict = s.alreadyConverted ? Verdict::AlreadyConverted : Verdict::Converted;
  }
  if (inPlace && r.verdict == Verdict::AlreadyConverted) {
    return false;  // nothing would be written, so other links lose nothing
  }
  if (inPlace && in.identity.links > 1 && !o.force) {
    return unwritten(r, refused(kExitOutputFailed, printed(say::kHardLinks, in.identity.links)));
  }
  return true;
}

// A stream is converted as it arrives; the conversion's outcome is its report.
bool verdictOfStream(const ConvertOptions& o, const ConversionResult& result, Report& r) {
  r.outputSize = kFileHeaderBytes + result.bytesWritten;
  r.status = exitStatusFor(result.outcome);
  switch (result.outcome) {
    case Outcome::Converted:
      r.verdict = Verdict::Converted;
      return true;
    case Outcome::BadMagic:
      return unwritten(r, refused(kExitNotA3do, std::string(say::kNotA3do) + say::kNothingWritten));
    case Outcome::WriteFailed:
      return false;  // the caller names the output
    default:
      break;
  }
  r.verdict = Verdict::Damaged;
  r.message = printed(say::kDamaged, describeDamage(result).text);
  r.message += o.salvage ? say::kSalvaged : say::kSalvageWrites;
  return o.salvage;
}

// Whether two files hold the same bytes; both are read from their start.
bool sameContents(int a, int b, const ConversionWindow& window) {
  const std::size_t kHalf = (kWindowLead + window.size) / 2;
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

// Whether the file fd holds exactly length bytes, those at bytes.
bool holdsBytes(int fd, const unsigned char* bytes, std::size_t length) {
  unsigned char piece[16384];
  std::size_t have = 0;
  for (;;) {
    const std::int64_t got = readSome(fd, piece, sizeof piece);
    if (got <= 0) {
      return got == 0 && have == length;
    }
    const auto read = static_cast<std::size_t>(got);
    if (read > length - have || std::memcmp(piece, bytes + have, read) != 0) {
      return false;
    }
    have += read;
  }
}

// Whether the regular file base in folder holds the conversion: the bytes of
// a held one, else what the open conversion's file holds (read back only
// then); a symlink there is not followed, a FIFO not waited for.
bool holdsConversion(const Folder& folder, const std::string& base, int conversion,
                     const ConversionWindow& window, const Input* inMemory = nullptr) {
  const OpenedFile old = openReadableAt(folder, base.c_str(), true);
  const Descriptor closing(old.fd);
  if (old.fd < 0 || !old.identity.regular) {
    return false;
  }
  if (inMemory != nullptr && inMemory->converted) {
    return holdsBytes(old.fd, inMemory->bytes,
                      static_cast<std::size_t>(inMemory->conversion.outputLength));
  }
  return sameContents(old.fd, conversion, window);
}

// The refusal of an output that exists, without --force.
std::string existsMessage() {
  return std::string(say::kOutputExists);
}

std::string writeFailure(int error) {
  return printed(say::kCannotWrite, std::strerror(error));
}

// Copies the whole of fd to standard output.
bool copyToStandardOutput(int fd, const ConversionWindow& window) {
  if (seekFile(fd, 0, SEEK_SET) != 0) {
    return false;
  }
  for (;;) {
    const std::int64_t got = readSome(fd, window.bytes, kWindowLead + window.size);
    if (got <= 0) {
      return got == 0;
    }
    if (!writeAll(1, window.bytes, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

// The folder the job's output goes in, opened: below -d DIR through the
// worker's cursor, one component at a time; with -o FILE as named. Null,
// with the report that says why, when it cannot be opened.
const Folder* openOutputFolder(const ConvertOptions& o, const Plan& plan, const Job& job, Worker& w,
                               Report* r) {
  if (o.destination == Destination::File) {
    const int error = w.outputFileOpen ? 0 : openFolder(plan.outputFolder, &w.outputFile);
    w.outputFileOpen = error == 0;
    if (error != 0) {
      *r = failed(kExitOutputFailed, writeFailure(error));
      return nullptr;
    }
    return &w.outputFile;
  }
  if (job.place == nullptr) {
    const int error = w.outputRootOpen ? 0 : copyFolder(plan.outputRoot, &w.outputRoot);
    w.outputRootOpen = error == 0;
    if (error != 0) {
      *r = failed(kExitOutputFailed, writeFailure(error));
      return nullptr;
    }
    return &w.outputRoot;
  }
  const int error = w.outputs.moveTo(job.place);
  if (error != 0) {
    *r = outputFolderUnreachable(error, job.place);
    return nullptr;
  }
  return &w.outputs.folder();
}

// Where the output of a job is made, and the temporary file made there.
struct Target {
  const Folder* folder = nullptr;
  std::string base;  // the final name in folder
  bool toStandardOutput = false;
  std::string scratchPath;  // the temporary folder, for standard output
  Folder scratch;
};

// Makes the temporary file; false, with the report that says why, when it
// cannot.
bool makeTemporary(const ConvertOptions& o, const Plan& plan, const Job& job, const Input& in,
                   Worker& w, Target& t, TemporaryFile& temporary, Report* r) {
  int error = 0;
  if (o.destination == Destination::InPlace) {
    t.folder = in.folder;
    t.base = in.base;
    error = temporary.create(*in.folder, in.base, in.identity.permissions);
    if (error != 0) {
      *r = failed(kExitOutputFailed, failure(say::kCannotReplace, error));
    }
    return error == 0;
  }
  if (o.destination == Destination::File && o.output == "-") {
    t.toStandardOutput = true;
    t.scratchPath = scratchFolderPath();
    error = openFolder(t.scratchPath, &t.scratch);
    error = error != 0 ? error : temporary.createScratch(t.scratch, "3do-spool");
    if (error != 0) {
      *r = failed(kExitOutputFailed,
                  printed(say::kCannotCreateScratch, quoteName(t.scratchPath.c_str()).text,
                          std::strerror(error)));
    }
    return error == 0;
  }
  t.folder = openOutputFolder(o, plan, job, w, r);
  if (t.folder == nullptr) {
    return false;
  }
  t.base = o.destination == Destination::File ? plan.outputBase : outputBase(job);
  const unsigned permissions = in.identity.regular ? in.identity.permissions : 0666;
  error = temporary.createUnnamed(*t.folder, t.base, permissions);
  if (error != 0) {
    *r = failed(kExitOutputFailed, writeFailure(error));
  }
  return error == 0;
}

// The report of a file whose folder is not where the plan put it (ESTALE),
// or cannot be told to be: in place the file is left as it is, else its
// output is not written.
Report folderMoved(int error, Side side) {
  const bool inPlace = side == Side::Input;
  if (error == ESTALE) {
    return failed(kExitOutputFailed, inPlace ? say::kFolderMovedLeft : say::kFolderMovedNotWritten);
  }
  return failed(kExitOutputFailed, printed(say::kCannotCheckFolder, std::strerror(error)) +
                                       (inPlace ? say::kLeftAsItIs : say::kNothingWritten));
}

// Whether the folder of the job's file is where the plan put it: 0, or the
// errno that settles report.
int checkFolder(const Folder& folder, const TreeFolder* place, Side side, Report& report) {
  const int error = place == nullptr ? 0 : stillInPlace(folder, *place, side);
  if (error != 0) {
    unwritten(report, folderMoved(error, side));
  }
  return error;
}

// What a commit records, in the step that gives the output its name.
struct Committing {
  Report* report;
  JobReport* outcome;
  const Folder* sync;  // in place with sync: the folder whose entries go to the disk
  // Below -d DIR, in a folder below it: the worker, which holds the report
  // until the folder's check.
  Worker* holder = nullptr;
  const TreeFolder* place = nullptr;
};

int recordCommitted(void* context) {
  Committing& c = *static_cast<Committing*>(context);
  if (c.holder != nullptr) {
    c.report->written = c.report->producesOutput = true;
    c.holder->unchecked.push_back(Worker::Unchecked{c.outcome, *c.report});
    c.holder->uncheckedPlace = c.place;
    return TemporaryFile::kHold;
  }
  if (c.sync != nullptr && !syncFolder(*c.sync)) {
    *c.report = failed(kExitOutputFailed, failure(say::kCannotSyncFolder, errno));
  } else {
    c.report->written = c.report->producesOutput = true;
  }
  c.outcome->report = *c.report;
  c.outcome->done.store(true, std::memory_order_release);
  return 0;
}

// In place: the new file keeps everything of the old one but its contents,
// and replaces it only if the name still holds the file read, as it was read.
bool commitInPlace(const ConvertOptions& o, const Job& job, Input& in, const Target& t,
                   TemporaryFile& temporary, Report& r, JobReport& outcome) {
  std::string what;
  int error = keepMetadata(in.fd, temporary.fd(), in.identity, &what);
  if (error != 0) {
    return unwritten(r, failed(kExitOutputFailed,
                               printed(say::kCannotKeep, what.c_str(), std::strerror(error))));
  }
  if (o.sync && !syncFile(temporary.fd())) {
    return unwritten(r, failed(kExitOutputFailed, failure(say::kCannotReplace, errno)));
  }
  if (!unchangedSince(identifyAt(*t.folder, t.base.c_str(), false), in.identity) ||
      !unchangedSince(identifyDescriptor(in.fd), in.identity)) {
    return unwritten(
        r, failed(kExitOutputFailed, std::string(say::kChangedWhileConverted) + say::kLeftAsItIs));
  }
  if (checkFolder(*t.folder, job.place, Side::Input, r) != 0) {
    return false;
  }
  in.owned.reset();  // only ever read; and Windows replaces no open file
  Committing committing{&r, &outcome, o.sync ? t.folder : nullptr};
  error = temporary.commit(t.base, true, recordCommitted, &committing);
  if (error != 0) {
    return unwritten(r, failed(kExitOutputFailed, failure(say::kCannotReplace, error)));
  }
  return true;
}

// Into a file or folder: an output that holds the conversion already stays
// (so a batch can be run again); any other is replaced only with --force,
// and never when it is not a regular file (or, below -d DIR, a symlink,
// which is replaced itself, never its target).
bool commitOutput(const ConvertOptions& o, const Job& job, const Input& in, const Target& t,
                  Worker& w, TemporaryFile& temporary, Report& r, JobReport& outcome) {
  if (job.outputExists) {
    if (holdsConversion(*t.folder, t.base, temporary.fd(), w.window.window, &in)) {
      r.verdict = r.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::UpToDate;
      return false;
    }
    if (!o.force) {
      return unwritten(r, refused(kExitOutputFailed, existsMessage()));
    }
  }
  // Only what the plan found is replaced: an output that appeared since (on
  // a volume that ignores case, maybe another input's) stays.
  const bool replace = o.force && job.outputExists;
  const TreeFolder* place = o.destination == Destination::Folder ? job.place : nullptr;
  if (replace) {
    const FileIdentity there = identifyAt(*t.folder, t.base.c_str(), false);
    if (there.known && !there.regular && !there.symlink) {
      return unwritten(r, refused(kExitOutputFailed, std::string(say::kOutputNotRegular)));
    }
    if (checkFolder(*t.folder, place, Side::Output, r) != 0) {
      return false;
    }
  }
  Committing committing{&r, &outcome, nullptr};
  if (place != nullptr && place->parent != nullptr) {
    committing.holder = &w;
    committing.place = place;
  }
  const int error = temporary.commit(t.base, replace, recordCommitted, &committing);
  if (error == EEXIST) {
    return unwritten(r, refused(kExitOutputFailed,
                                o.force ? std::string(say::kOutputAppeared) : existsMessage()));
  }
  if (error != 0) {
    return unwritten(r, failed(kExitOutputFailed, writeFailure(error)));
  }
  return true;
}

// Reads a small regular file whole into the window, where the survey and the
// conversion both find it: one read of its bytes instead of two, and no seek.
// A read that gives the size the file had when opened ends it: a file that
// changes meanwhile is caught by the look at it after the conversion.
// Otherwise, when it does not fit or a read fails, the input is put back at
// its start for the streaming path, which reads it (and reports the failure);
// false when even that fails.
bool readWhole(Input& in, const ConversionWindow& window) {
  if (!in.identity.regular || in.identity.size >= static_cast<long long>(window.size)) {
    return true;
  }
  unsigned char* const bytes = window.bytes + kWindowLead;
  std::size_t length = 0;
  for (;;) {
    const std::int64_t got = readSome(in.fd, bytes + length, window.size - length);
    const bool whole = got > 0 && length == 0 && got == in.identity.size;
    if (got == 0 || whole) {
      length += whole ? static_cast<std::size_t>(got) : 0;
      in.bytes = bytes;
      in.length = length;
      return true;
    }
    if (got < 0 || (length += static_cast<std::size_t>(got)) == window.size) {
      return seekFile(in.fd, 0, SEEK_SET) == 0;
    }
  }
}

// Converts the input, held whole or streamed, into the temporary file; the
// held one is written in one write, its header included.
ConversionResult convertInto(Input& in, int out, const ConversionWindow& window) {
  if (in.bytes == nullptr) {
    return convertFile(in.fd, out, window);
  }
  ConversionResult result =
      in.converted ? in.conversion : convertBuffer(in.bytes, in.length, in.bytes);
  if (!writeAll(out, in.bytes, static_cast<std::size_t>(result.outputLength))) {
    result.outcome = Outcome::WriteFailed;
    result.error = errno;
  }
  return result;
}

// Puts the output made in the temporary file in place, as the destination
// asks, once the input is found unchanged since it was opened.
Report commitConverted(const ConvertOptions& o, const Job& job, Input& in, const Target& t,
                       Worker& w, TemporaryFile& temporary, Report r, JobReport& outcome) {
  if (in.identity.regular && !unchangedSince(identifyDescriptor(in.fd), in.identity)) {
    return failed(kExitDamagedInput,
                  std::string(say::kChangedWhileConverted) + say::kNothingWritten);
  }
  if (o.destination == Destination::InPlace) {
    commitInPlace(o, job, in, t, temporary, r, outcome);
  } else if (t.toStandardOutput) {
    r.written = r.producesOutput = copyToStandardOutput(temporary.fd(), w.window.window);
    if (!r.written) {
      r = failed(kExitOutputFailed, failure(say::kCannotWriteStdout, errno));
    }
  } else {
    commitOutput(o, job, in, t, w, temporary, r, outcome);
  }
  return r;
}

// Converts the open input into a temporary file and commits it.
Report convertOpened(const ConvertOptions& o, const Plan& plan, const Job& job, Input& in,
                     Worker& w, const SurveyInfo& s, Report r, JobReport& outcome) {
  Target t;
  TemporaryFile temporary(w.temporaries);
  Report refusal;
  if (!makeTemporary(o, plan, job, in, w, t, temporary, &refusal)) {
    return refusal;
  }
  const ConversionResult result = convertInto(in, temporary.fd(), w.window.window);
  if (result.outcome == Outcome::WriteFailed) {
    return failed(kExitOutputFailed, t.toStandardOutput
                                         ? failure(say::kCannotWriteScratch, result.error)
                                     : o.destination == Destination::InPlace
                                         ? failure(say::kCannotWriteConversion, result.error)
                                         : writeFailure(result.error));
  }
  if (!in.identity.regular && !verdictOfStream(o, result, r)) {
    return r;
  }
  if (in.identity.regular && result.outcome != s.outcome) {
    return failed(kExitDamagedInput,
                  std::string(say::kChangedWhileConverted) + say::kNothingWritten);
  }
  return commitConverted(o, job, in, t, w, temporary, r, outcome);
}

// Why the real run could not write the job's output, found without writing:
// the same questions asked of the same folders. 0 when it could.
int dryRunFolderCheck(const ConvertOptions& o, const Plan& plan, const Job& job, const Input& in,
                      Worker& w, Report* r) {
  if (o.destination == Destination::InPlace) {
    const int error = creationError(*in.folder);
    if (error != 0) {
      *r = failed(kExitOutputFailed, failure(say::kCannotReplace, error));
    }
    return error;
  }
  int error = 0;
  if (o.destination == Destination::File) {
    error = creationErrorBelow(plan.outputFolder);
  } else {
    const OutputState state = job.place != nullptr ? job.place->outputState : plan.outputRootState;
    if (state == OutputState::Absent) {
      error = job.place != nullptr ? job.place->outputError : plan.outputRootError;
      if (error != 0) {
        *r = failed(kExitOutputFailed, printed(say::kCannotCreateFolderOf, std::strerror(error)));
      }
      return error;
    }
    const Folder* folder = openOutputFolder(o, plan, job, w, r);
    if (folder == nullptr) {
      return ESTALE;
    }
    error = creationError(*folder);
  }
  if (error != 0) {
    *r = failed(kExitOutputFailed, writeFailure(error));
  }
  return error;
}

// A dry run: what the real run would do with a file it would write, the
// same refusals and failures, found without writing. An existing output is
// compared with the conversion: converted, when it is made already (an
// archive's), else made in a scratch file.
Report dryRunReport(const ConvertOptions& o, const Plan& plan, const Job& job, const Input& in,
                    Worker& w, Report r, int converted = -1) {
  r.producesOutput = true;
  if (o.destination == Destination::File && o.output == "-") {
    return r;
  }
  Report failure;
  if (dryRunFolderCheck(o, plan, job, in, w, &failure) != 0) {
    return failure;
  }
  if (o.destination == Destination::InPlace || !job.outputExists || !in.identity.regular) {
    return r;
  }
  const Folder* outputFolder = openOutputFolder(o, plan, job, w, &failure);
  const std::string base = o.destination == Destination::File ? plan.outputBase : outputBase(job);
  Folder scratchFolder;
  TemporaryFile scratch(w.temporaries);
  const bool made =
      converted >= 0 || (openFolder(scratchFolderPath(), &scratchFolder) == 0 &&
                         scratch.createScratch(scratchFolder, "3do-dry-run") == 0 &&
                         seekFile(in.fd, 0, SEEK_SET) == 0 &&
                         convertFile(in.fd, converted = scratch.fd(), w.window.window).outcome !=
                             Outcome::WriteFailed);
  if (outputFolder != nullptr && made &&
      holdsConversion(*outputFolder, base, converted, w.window.window)) {
    r.verdict = r.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::UpToDate;
    r.producesOutput = false;
    return r;
  }
  if (!o.force) {
    unwritten(r, refused(kExitOutputFailed, existsMessage()));
    r.producesOutput = false;
  }
  return r;
}

// An archive's figures in its report: the models in it, and what their
// conversions change and drop.
void takeArchiveFigures(Report& r, const ArchiveConversion& c) {
  r.archive = true;
  r.models = c.counts.models;
  r.wordsChanged = c.wordsChanged;
  r.modelBytesDropped = c.bytesDropped;
}

// The report of an archive that is not written: refused by a rule, damaged
// (a model in it too, unless --salvage), or an error.
Report archiveNotWritten(const ConvertOptions& o, const ArchiveConversion& c, Report r) {
  const ArchiveFailure& f = c.failure;
  const bool inPlace = o.destination == Destination::InPlace;
  r.verdict = f.status == kExitOutputFailed ? Verdict::Failed
              : f.damaged                   ? Verdict::Damaged
                                            : Verdict::Refused;
  r.status = f.status;
  r.entry = f.entry;
  r.message = f.message + (inPlace         ? say::kLeftAsItIs
                           : f.salvageable ? say::kSalvageWrites
                                           : say::kNothingWritten);
  return r;
}

// The archive's verdict once converted: changed, damaged models written as
// their complete chunks, or nothing to change.
void archiveVerdict(const ConvertOptions& o, const ArchiveConversion& c, Report& r) {
  r.verdict = !c.changed       ? (o.destination == Destination::InPlace ? Verdict::UpToDate
                                                                        : Verdict::AlreadyConverted)
              : c.salvaged > 0 ? Verdict::Damaged
                               : Verdict::Converted;
  if (r.verdict == Verdict::Damaged) {
    r.status = kExitDamagedInput;
    r.entry = c.firstSalvaged;
    r.message = printed(say::kZipEntryDamaged, entryText(c.firstSalvaged).c_str(),
                        c.salvagedDamage.c_str()) +
                (o.dryRun ? say::kSalvageWould : say::kSalvaged);
  }
}

// Copies the whole input into the temporary file: an archive in which
// nothing changes, copied to its destination.
bool copyInput(const Input& in, int out, const ConversionWindow& window) {
  if (seekFile(in.fd, 0, SEEK_SET) != 0) {
    return false;
  }
  for (;;) {
    const std::int64_t got = readSome(in.fd, window.bytes, kWindowLead + window.size);
    if (got <= 0) {
      return got == 0;
    }
    if (!writeAll(out, window.bytes, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

// The threads an archive's models are converted by besides the worker's.
unsigned archiveHelpers(const ConvertOptions& o) {
  const long cores = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::min<long>(o.workers > 0 ? o.workers : cores, 64) - 1);
}

// Converts an archive into a temporary file (a scratch one for a dry run)
// and commits it as a file's conversion is, unless nothing in it changes:
// in place it is then left as it is, elsewhere copied.
Report convertArchiveJob(const ConvertOptions& o, const Plan& plan, const Job& job, Input& in,
                         Worker& w, JobReport& outcome) {
  Report r;
  r.surveyed = true;
  r.size = in.identity.size;
  r.archive = true;
  in.bytes = nullptr;  // read through its descriptor, not as a model held
  in.converted = false;
  Folder scratchFolder;
  const Scratch scratch{&w.temporaries, openFolder(scratchFolderPath(), &scratchFolder) == 0
                                            ? &scratchFolder
                                            : nullptr};
  Target t;
  TemporaryFile temporary(w.temporaries);
  Report refusal;
  if (o.dryRun &&
      (scratch.folder == nullptr || temporary.createScratch(*scratch.folder, "3do-dry-run") != 0)) {
    return failed(kExitOutputFailed,
                  printed(say::kCannotCreateScratch, quoteName(scratchFolderPath().c_str()).text,
                          std::strerror(errno)));
  }
  if (!o.dryRun && !makeTemporary(o, plan, job, in, w, t, temporary, &refusal)) {
    return refusal;
  }
  const ArchiveConversion c =
      convertArchive(in.fd, static_cast<std::uint64_t>(in.identity.size), temporary.fd(),
                     ArchiveSettings{o.salvage, archiveHelpers(o), scratch});
  takeArchiveFigures(r, c);
  if (c.failure.failed) {
    return archiveNotWritten(o, c, r);
  }
  if (c.counts.models == 0) {
    // Named, it is refused as a file that is no model is; found in a walk
    // (a texture pack, say), skipped.
    r.verdict = job.place == nullptr ? Verdict::Refused : Verdict::Skipped;
    r.status = job.place == nullptr ? kExitNotA3do : kExitOk;
    r.message = std::string(say::kZipNoModels) + say::kNothingWritten;
    return r;
  }
  archiveVerdict(o, c, r);
  if (r.verdict == Verdict::UpToDate) {
    return r;
  }
  if (o.destination == Destination::InPlace && in.identity.links > 1 && !o.force) {
    unwritten(r, refused(kExitOutputFailed, printed(say::kHardLinks, in.identity.links)));
    return r;
  }
  if (!c.changed &&
      (!truncateFile(temporary.fd(), 0) || !copyInput(in, temporary.fd(), w.window.window))) {
    return failed(kExitOutputFailed, writeFailure(errno));
  }
  r.outputSize = seekFile(temporary.fd(), 0, SEEK_END);
  if (o.dryRun) {
    return dryRunReport(o, plan, job, in, w, r, temporary.fd());
  }
  return commitConverted(o, job, in, t, w, temporary, r, outcome);
}

}  // namespace

bool awaitsCheck(const Worker& w, const JobReport& outcome) {
  return !w.unchecked.empty() && w.unchecked.back().outcome == &outcome;
}

bool checkHeldOutputs(Worker& w, const Job* next) {
  if (w.unchecked.empty() || (next != nullptr && next->place == w.uncheckedPlace &&
                              w.unchecked.size() < Worker::kMostUnchecked)) {
    return false;
  }
  struct Releasing {
    Worker& worker;
    int error;
  } releasing{w, stillInPlace(w.outputs.folder(), *w.uncheckedPlace, Side::Output)};
  const auto store = [](void* context) {
    Releasing& r = *static_cast<Releasing*>(context);
    for (Worker::Unchecked& pending : r.worker.unchecked) {
      if (r.error != 0) {
        unwritten(pending.report, folderMoved(r.error, Side::Output));
        pending.report.written = pending.report.producesOutput = false;
      }
      pending.outcome->report = std::move(pending.report);
      pending.outcome->done.store(true, std::memory_order_release);
    }
  };
  w.temporaries.releaseHeld(releasing.error == 0, store, &releasing);
  w.unchecked.clear();
  return true;
}

Report convertJob(const ConvertOptions& o, const Plan& plan, const Job& job, Worker& w,
                  JobReport& outcome) {
  Input in;
  Report r;
  if (!openPlannedInput(o, job, w.inputs, &in, &r)) {
    return r;
  }
  SurveyInfo s;
  if (in.identity.regular || o.dryRun) {
    if (!readWhole(in, w.window.window)) {
      return failed(kExitDamagedInput, failure(say::kCannotReadInput, errno));
    }
    if (in.bytes != nullptr && !o.dryRun) {
      s = convertSurveyed(in.bytes, in.length, &in.conversion);  // a dry run rereads them
      in.converted = true;
    } else if (in.bytes != nullptr) {
      s = surveyBuffer(in.bytes, in.length, nullptr, nullptr);
    } else {
      s = surveyFile(
          in.fd, [](const ChunkRecord&) {}, false);
    }
    takeFigures(r, s);
    if (s.end == WalkEnd::NotA3do && (job.place == nullptr || o.archives) && startsAsArchive(in)) {
      return convertArchiveJob(o, plan, job, in, w, outcome);
    }
    if (s.end == WalkEnd::NotA3do && job.place != nullptr && endsWithZip(job.name)) {
      // Found by -a for its name, and no archive: none of the batch's business.
      r.verdict = Verdict::Skipped;
      r.message = say::kZipNotArchive;
      return r;
    }
    if (!verdictOfSurvey(o, in, s, r)) {
      return r;
    }
    if (o.dryRun) {
      return dryRunReport(o, plan, job, in, w, r);
    }
    if (in.bytes == nullptr && seekFile(in.fd, 0, SEEK_SET) != 0) {
      return failed(kExitDamagedInput, failure(say::kCannotReadInput, errno));
    }
  }
  return convertOpened(o, plan, job, in, w, s, r, outcome);
}

}  // namespace convert3do
