#include "cli/3do/convert_act.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/3do/text.h"
#include "cli/common/file_io.h"
#include "cli/common/quote.h"

namespace convert3do {

namespace {

std::string quoted(const std::string& name) {
  return quoteName(name.c_str()).text;
}

// Gives the report a refusal or a failure, keeping what the walk found.
bool settle(Report& r, const Report& outcome) {
  r.verdict = outcome.verdict;
  r.status = outcome.status;
  r.message = outcome.message;
  return false;
}

std::string failure(const char* what, int error) {
  return printed("%s: %s", what, std::strerror(error));
}

// A folder named one by one must still be the folder the plan saw.
bool openFolderOf(const Job& job, InputFolder& f, Report* r) {
  bool opened = false;
  const int error = openInputFolder(job, f, &opened);
  if (error != 0) {
    *r = failed(kExitInputNotFound, failure("cannot open", error));
    return false;
  }
  if (opened && job.root == nullptr && !sameFile(identifyFolder(f.folder), job.folderIdentity)) {
    f.open = false;
    *r = failed(kExitInputNotFound, "cannot open: its folder was replaced during the run");
    return false;
  }
  return true;
}

}  // namespace

bool openPlannedInput(const ConvertOptions& o, const Job& job, InputFolder& f, Input* in,
                      Report* r) {
  const bool inPlace = o.destination == Destination::InPlace;
  const char* const kRegularOnly = "is not a regular file; -i converts regular files only";
  if (job.byName) {
    if (inPlace) {
      *r = refused(kExitUsage, kRegularOnly);  // a FIFO would have opening wait
      return false;
    }
    const OpenedFile file = openReadable(job.input.c_str());
    if (file.fd < 0) {
      *r = failed(kExitInputNotFound, failure("cannot open", file.error));
      return false;
    }
    in->owned.reset(job.input == "-" ? -1 : file.fd);
    in->fd = file.fd;
    in->identity = file.identity;
    return true;
  }
  if (!openFolderOf(job, f, r)) {
    return false;
  }
  if (inPlace) {
    const FileIdentity entry = identifyAt(f.folder, job.base.c_str(), false);
    if (entry.known && !entry.regular) {
      *r = refused(kExitUsage, kRegularOnly);  // a FIFO would have opening wait
      return false;
    }
  }
  const OpenedFile file = openReadableAt(f.folder, job.base.c_str());
  if (file.fd < 0) {
    *r = failed(kExitInputNotFound, failure("cannot open", file.error));
    return false;
  }
  in->owned.reset(file.fd);
  in->fd = file.fd;
  in->identity = file.identity;
  in->folder = &f.folder;
  if (inPlace && !file.identity.regular) {
    *r = refused(kExitUsage, kRegularOnly);
    return false;
  }
  return true;
}

namespace {

// What the walk of a regular input says before anything is written: false
// when the report is final (refused, damaged, nothing to write).
bool judge(const ConvertOptions& o, const Input& in, Report& r) {
  const Inspection& s = r.inspection;
  const bool inPlace = o.destination == Destination::InPlace;
  r.status = exitStatusFor(s.outcome);
  if (s.end == WalkEnd::NotA3do) {
    r.verdict = Verdict::Refused;
    r.status = kExitNotA3do;
    r.message = "not a 3do file; nothing written";
    return false;
  }
  if (s.end == WalkEnd::Damaged) {
    r.verdict = Verdict::Damaged;
    r.message = std::string("damaged: ") + describeDamage(damageOf(s)).text;
    if (!o.salvage || inPlace) {
      r.message +=
          inPlace ? "; left as it is" : "; nothing written (--salvage writes its complete chunks)";
      return false;
    }
    r.message += o.dryRun ? "; --salvage would write its complete chunks"
                          : "; its complete chunks are written";
  } else {
    r.verdict = s.alreadyConverted ? Verdict::AlreadyConverted : Verdict::Converted;
  }
  if (inPlace && r.verdict == Verdict::AlreadyConverted) {
    return false;  // nothing would be written, so other links lose nothing
  }
  if (inPlace && in.identity.links > 1 && !o.force) {
    return settle(r, refused(kExitOutputFailed,
                             printed("has %llu hard links; replacing it would part it from "
                                     "the others (--force replaces it all the same)",
                                     in.identity.links)));
  }
  return true;
}

// A stream is converted as it arrives; the conversion's outcome is its report.
bool judgeStream(const ConvertOptions& o, const ConversionResult& result, Report& r) {
  r.inspection.outputSize = 12 + result.bytesWritten;
  r.status = exitStatusFor(result.outcome);
  switch (result.outcome) {
    case Outcome::Converted:
      r.verdict = Verdict::Converted;
      return true;
    case Outcome::BadMagic:
      return settle(r, refused(kExitNotA3do, "not a 3do file; nothing written"));
    case Outcome::WriteFailed:
      return false;  // the caller names the output
    default:
      break;
  }
  r.verdict = Verdict::Damaged;
  r.message = std::string("damaged: ") + describeDamage(damageOf(result)).text;
  r.message += o.salvage ? "; its complete chunks are written"
                         : "; nothing written (--salvage writes its complete chunks)";
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

// Whether the regular file base in folder holds what conversion (the open
// conversion's file) holds; a FIFO there is not waited for.
bool holdsConversion(const Folder& folder, const std::string& base, int conversion,
                     const ConversionWindow& window) {
  const OpenedFile old = openReadableAt(folder, base.c_str(), true);
  const Descriptor closing(old.fd);
  return old.fd >= 0 && old.identity.regular && sameContents(old.fd, conversion, window);
}

// The refusal of an output that exists, without --force.
std::string existsMessage(const std::string& shown) {
  return printed("its output %s exists (--force replaces it)", shown.c_str());
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

// The folder for scratch files: $TMPDIR (%TEMP% on Windows), else /tmp.
std::string scratchFolderPath() {
#ifdef _WIN32
  const char* tmp = std::getenv("TEMP");
#else
  const char* tmp = std::getenv("TMPDIR");
#endif
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// Where the output of a job is made, and the temporary file made there.
struct Target {
  const Folder* folder = nullptr;
  std::string base;                // the final name in folder
  const std::string* output = {};  // the output's name; none for standard output
  std::string scratchPath;         // the temporary folder, for standard output
  Folder scratch;
};

// What is written, in messages: the output, quoted only when a message
// names it.
std::string shownOf(const Target& t) {
  return t.output != nullptr ? quoted(*t.output) : "the scratch file for standard output";
}

std::string temporaryOf(const Target& t) {
  return t.output != nullptr ? "a temporary file beside " + quoted(*t.output)
                             : "a scratch file for standard output in " + quoted(t.scratchPath);
}

int makeTemporary(const ConvertOptions& o, const Job& job, const Input& in, Worker& w, Target& t,
                  TemporaryFile& temporary) {
  if (o.destination == Destination::InPlace) {
    t.output = &job.input;
    t.folder = in.folder;
    t.base = job.base;
    return temporary.create(*in.folder, job.base, in.identity.permissions);
  }
  if (job.output == "-") {
    t.scratchPath = scratchFolderPath();
    const int error = openFolder(t.scratchPath, &t.scratch);
    return error != 0 ? error : temporary.createScratch(t.scratch, "3do-spool");
  }
  t.output = &job.output;
  if (!w.outputOpen || w.outputKey != job.outputFolder) {
    w.outputOpen = false;
    const int error = openFolder(job.outputFolder, &w.output);
    if (error != 0) {
      return error;
    }
    w.outputOpen = true;
    w.outputKey = job.outputFolder;
  }
  t.folder = &w.output;
  t.base = job.outputBase;
  const unsigned permissions = in.identity.regular ? in.identity.permissions : 0666;
  return o.force ? temporary.create(w.output, job.outputBase, permissions)
                 : temporary.createUnnamed(w.output, job.outputBase, permissions);
}

// In place: the new file keeps everything of the old one but its contents,
// and replaces it only if the name still holds the file read, as it was read.
bool commitInPlace(const ConvertOptions& o, Input& in, const Target& t, TemporaryFile& temporary,
                   Report& r) {
  std::string what;
  int error = keepMetadata(in.fd, temporary.fd(), in.identity, &what);
  if (error != 0) {
    return settle(r, failed(kExitOutputFailed, printed("cannot keep %s: %s; left as it is",
                                                       what.c_str(), std::strerror(error))));
  }
  if (o.sync && !syncFile(temporary.fd())) {
    return settle(r,
                  failed(kExitOutputFailed,
                         failure(printed("cannot write %s", shownOf(t).c_str()).c_str(), errno)));
  }
  if (!unchangedSince(identifyAt(*t.folder, t.base.c_str(), false), in.identity) ||
      !unchangedSince(identifyDescriptor(in.fd), in.identity)) {
    return settle(r, failed(kExitOutputFailed, "changed while it was converted; left as it is"));
  }
  in.owned.reset();  // only ever read; and Windows replaces no open file
  error = temporary.commit(t.base, true);
  if (error != 0) {
    return settle(r, failed(kExitOutputFailed, failure("cannot replace it", error)));
  }
  return true;
}

// Into a file or folder: an output that holds the conversion already stays
// (so a batch can be run again); any other is replaced only with --force,
// and never when it is not a regular file.
bool commitOutput(const ConvertOptions& o, const Job& job, const Target& t, const Worker& w,
                  TemporaryFile& temporary, Report& r) {
  if (job.outputExists) {
    if (holdsConversion(*t.folder, t.base, temporary.fd(), w.window.window)) {
      r.verdict = r.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::UpToDate;
      return false;
    }
    if (!o.force) {
      return settle(r, refused(kExitOutputFailed, existsMessage(shownOf(t))));
    }
  }
  const FileIdentity there =
      o.force ? identifyAt(*t.folder, t.base.c_str(), false) : FileIdentity{};
  if (there.known && !there.regular) {
    return settle(
        r, refused(kExitOutputFailed, printed("its output %s exists and is not a regular file; "
                                              "refusing to replace it",
                                              shownOf(t).c_str())));
  }
  const int error = temporary.commit(t.base, o.force);
  if (error != 0) {
    return settle(
        r, failed(kExitOutputFailed,
                  error == EEXIST
                      ? existsMessage(shownOf(t))
                      : failure(printed("cannot write %s", shownOf(t).c_str()).c_str(), error)));
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
      in.held = bytes;
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
  if (in.held == nullptr) {
    return convertFile(in.fd, out, window);
  }
  ConversionResult result = convertBuffer(in.held, in.length, in.held);
  if (!writeAll(out, in.held, static_cast<std::size_t>(result.outputLength))) {
    result.outcome = Outcome::WriteFailed;
    result.error = errno;
  }
  return result;
}

// Converts the open input into a temporary file and commits it.
Report convertOpened(const ConvertOptions& o, const Job& job, Input& in, Worker& w, Report r) {
  Target t;
  TemporaryFile temporary(w.temporaries);
  const int made = makeTemporary(o, job, in, w, t, temporary);
  if (made != 0) {
    return failed(kExitOutputFailed,
                  printed("cannot create %s: %s", temporaryOf(t).c_str(), std::strerror(made)));
  }
  const ConversionResult result = convertInto(in, temporary.fd(), w.window.window);
  if (result.outcome == Outcome::WriteFailed) {
    return failed(kExitOutputFailed,
                  failure(printed("cannot write %s", shownOf(t).c_str()).c_str(), result.error));
  }
  if (!in.identity.regular && !judgeStream(o, result, r)) {
    return r;
  }
  if (in.identity.regular && (result.outcome != r.inspection.outcome ||
                              !unchangedSince(identifyDescriptor(in.fd), in.identity))) {
    return failed(kExitDamagedInput, "changed while it was converted; nothing written");
  }
  bool committed = false;
  if (o.destination == Destination::InPlace) {
    committed = commitInPlace(o, in, t, temporary, r);
  } else if (job.output == "-") {
    committed = copyToStandardOutput(temporary.fd(), w.window.window);
    if (!committed) {
      r = failed(kExitOutputFailed, failure("cannot write standard output", errno));
    }
  } else {
    committed = commitOutput(o, job, t, w, temporary, r);
  }
  if (committed && o.destination == Destination::InPlace && o.sync && !syncFolder(*t.folder)) {
    return failed(kExitOutputFailed, failure("cannot sync the folder of the new file", errno));
  }
  r.written = r.writes = committed;
  return r;
}

// A dry run: what the real run would do with a file it would write, the
// same refusals and failures, found without writing. An existing output is
// compared with the conversion, made in a scratch file.
Report rehearse(const ConvertOptions& o, const Job& job, const Input& in, Worker& w, Report r) {
  r.writes = true;
  const bool inPlace = o.destination == Destination::InPlace;
  if (job.output == "-") {
    return r;
  }
  if (inPlace ? !canCreateIn(*in.folder) : !canCreateBelow(job.outputFolder)) {
    return failed(kExitOutputFailed,
                  printed("cannot create a temporary file beside %s: %s",
                          quoted(inPlace ? job.input : job.output).c_str(), std::strerror(EACCES)));
  }
  if (inPlace || !job.outputExists || !in.identity.regular) {
    return r;
  }
  Folder scratchFolder;
  Folder outputFolder;
  TemporaryFile scratch(w.temporaries);
  if (openFolder(scratchFolderPath(), &scratchFolder) == 0 &&
      scratch.createScratch(scratchFolder, "3do-dry-run") == 0 &&
      seekFile(in.fd, 0, SEEK_SET) == 0 &&
      convertFile(in.fd, scratch.fd(), w.window.window).outcome != Outcome::WriteFailed &&
      openFolder(job.outputFolder, &outputFolder) == 0 &&
      holdsConversion(outputFolder, job.outputBase, scratch.fd(), w.window.window)) {
    r.verdict = r.verdict == Verdict::Damaged ? Verdict::Damaged : Verdict::UpToDate;
    r.writes = false;
    return r;
  }
  if (!o.force) {
    settle(r, refused(kExitOutputFailed, existsMessage(quoted(job.output))));
    r.writes = false;
  }
  return r;
}

}  // namespace

Report convertJob(const ConvertOptions& o, const Job& job, Worker& w) {
  Input in;
  Report r;
  if (!openPlannedInput(o, job, w.input, &in, &r)) {
    return r;
  }
  if (in.identity.regular || o.dryRun) {
    if (!readWhole(in, w.window.window)) {
      return failed(kExitDamagedInput, failure("cannot read the input", errno));
    }
    r.inspection = in.held != nullptr ? surveyBuffer(in.held, in.length, nullptr, nullptr)
                                      : inspectFile(in.fd, [](const ChunkRecord&) {});
    r.inspected = true;
    if (!judge(o, in, r)) {
      return r;
    }
    if (o.dryRun) {
      return rehearse(o, job, in, w, r);
    }
    if (in.held == nullptr && seekFile(in.fd, 0, SEEK_SET) != 0) {
      return failed(kExitDamagedInput, failure("cannot read the input", errno));
    }
  }
  return convertOpened(o, job, in, w, r);
}

}  // namespace convert3do
