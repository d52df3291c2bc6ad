#include "cli/3do/convert_report.h"

#include <cstdio>
#include <cstring>

#include "cli/3do/json.h"
#include "cli/3do/text.h"
#include "cli/common/quote.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

namespace {

const char* verdictName(Verdict verdict, bool dryRun) {
  switch (verdict) {
    case Verdict::Converted:
      return dryRun ? "would_convert" : "converted";
    case Verdict::Unchanged:
      return "unchanged";
    case Verdict::Damaged:
      return "damaged";
    case Verdict::Skipped:
    case Verdict::Duplicate:
      return "skipped";
    case Verdict::Failed:
      break;
  }
  return "failed";
}

// The input bytes that the file's output does not hold: none when nothing is
// written for it (a failure, or damage without --salvage).
std::int64_t bytesDroppedBy(const Report& r) {
  const bool output = r.verdict == Verdict::Converted || r.verdict == Verdict::Unchanged ||
                      (r.verdict == Verdict::Damaged && r.written);
  return output && !r.streamed ? r.inspection.size - r.inspection.outputSize : 0;
}

void appendKnown(std::string& line, const char* key, bool known, std::int64_t value) {
  if (known) {
    appendJsonMember(line, key, value);
  } else {
    appendJsonNull(line, key);
  }
}

void printJson(const ConvertOptions& options, const std::string& input, const std::string& output,
               const Report& r) {
  const Inspection& s = r.inspection;
  std::string line = "{";
  appendJsonText(line, "file", input.c_str());
  appendJsonText(line, "output",
                 options.destination == Destination::InPlace ? input.c_str() : output.c_str());
  appendJsonText(line, "result", verdictName(r.verdict, options.dryRun));
  appendJsonBool(line, "written", r.written);
  appendKnown(line, "size", !r.streamed, s.size);
  appendJsonMember(line, "output_size", s.outputSize);
  appendKnown(line, "words_changed", !r.streamed, s.wordsChanged);
  appendKnown(line, "bytes_dropped", !r.streamed, bytesDroppedBy(r));
  appendJsonMember(line, "exit_status", r.status);
  if (r.message.empty()) {
    appendJsonNull(line, "message");
  } else {
    appendJsonText(line, "message", r.message.c_str());
  }
  line += "}\n";
  (void)std::fputs(line.c_str(), stdout);
}

}  // namespace

Report failed(int status, const std::string& message) {
  Report report;
  report.verdict = Verdict::Failed;
  report.status = status;
  report.message = message;
  return report;
}

std::string damageMessage(Outcome outcome, std::int64_t where, std::int64_t chunk, int error) {
  if (outcome == Outcome::ReadFailed) {
    return printed("cannot read at byte %lld: %s", static_cast<long long>(where),
                   std::strerror(error));
  }
  return printed("damaged at byte %lld, in the chunk at byte %lld", static_cast<long long>(where),
                 static_cast<long long>(chunk));
}

void printReport(const ConvertOptions& options, const std::string& input, const std::string& output,
                 const Report& r) {
  if (r.verdict == Verdict::Duplicate) {
    return;
  }
  if (options.json) {
    printJson(options, input, output, r);
    return;
  }
  if (r.verdict == Verdict::Failed || r.verdict == Verdict::Damaged) {
    (void)std::fprintf(stderr, "3do: %s: %s\n", quoteName(input.c_str()).text, r.message.c_str());
  } else if (r.verdict == Verdict::Skipped) {
    if (options.verbosity >= 2) {
      (void)std::fprintf(stderr, "3do: %s: skipped: %s\n", quoteName(input.c_str()).text,
                         r.message.c_str());
    }
  } else if (options.verbosity >= 2 || (options.dryRun && options.verbosity > 0)) {
    const std::string& shown =
        options.destination == Destination::InPlace || output.empty() ? input : output;
    const char* what = r.verdict == Verdict::Unchanged ? "unchanged" : "converted";
    const char* would = options.dryRun ? "would be " : "";
    if (r.streamed) {
      (void)std::fprintf(stderr, "3do: %s: %s%s\n", quoteName(shown.c_str()).text, would, what);
    } else {
      (void)std::fprintf(stderr, "3do: %s: %s%s, %lld bytes dropped\n",
                         quoteName(shown.c_str()).text, would, what,
                         static_cast<long long>(bytesDroppedBy(r)));
    }
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
      ++totals.failed;
      break;
    case Verdict::Skipped:
      ++totals.skipped;
      break;
    case Verdict::Duplicate:
      return;
  }
  totals.bytesIn += r.streamed ? 0 : r.inspection.size;
  totals.bytesDropped += bytesDroppedBy(r);
  totals.status = worseStatus(totals.status, r.status);
}

void printSummary(const ConvertOptions& options, const Totals& t) {
  if (options.json) {
    std::string line = "{";
    appendJsonBool(line, "summary", true);
    appendJsonMember(line, "converted", t.converted);
    appendJsonMember(line, "unchanged", t.unchanged);
    appendJsonMember(line, "damaged", t.damaged);
    appendJsonMember(line, "failed", t.failed);
    if (t.skipped > 0) {
      appendJsonMember(line, "skipped", t.skipped);
    }
    appendJsonMember(line, "bytes_dropped", t.bytesDropped);
    appendJsonMember(line, "exit_status", t.status);
    line += "}\n";
    (void)std::fputs(line.c_str(), stdout);
  } else if (options.verbosity > 0) {
    const std::string skipped =
        t.skipped > 0 ? printed(", %lld skipped", static_cast<long long>(t.skipped)) : "";
    (void)std::fprintf(stderr,
                       "3do: %s%lld converted, %lld unchanged, %lld damaged, %lld failed%s, %lld "
                       "bytes dropped\n",
                       options.dryRun ? "dry run: " : "", static_cast<long long>(t.converted),
                       static_cast<long long>(t.unchanged), static_cast<long long>(t.damaged),
                       static_cast<long long>(t.failed), skipped.c_str(),
                       static_cast<long long>(t.bytesDropped));
  }
}

void printProgress(std::size_t done, std::size_t total, std::int64_t bytes, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  const double perFile = done > 0 ? seconds / static_cast<double>(done) : 0;
  const double left = perFile * static_cast<double>(total - done);
  (void)std::fprintf(stderr, "\r\033[K3do: %zu of %zu files, %.1f MB, %.1f MB/s, %.0f s left", done,
                     total, static_cast<double>(bytes) / 1e6, rate / 1e6, left);
  (void)std::fflush(stderr);
}

void clearProgress() {
  (void)std::fputs("\r\033[K", stderr);
}

bool isTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

}  // namespace convert3do
