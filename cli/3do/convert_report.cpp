#include "cli/3do/convert_report.h"

#include <cstdio>
#include <cstring>

#include "cli/3do/json.h"
#include "cli/3do/text.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace convert3do {

namespace {

const char* const kVerdictNames[kVerdicts] = {
    "converted", "already_converted", "up_to_date", "damaged", "refused", "failed", "skipped"};
static_assert(sizeof say::kVerdictWords / sizeof *say::kVerdictWords == kVerdicts,
              "a word for every verdict");

std::size_t index(Verdict verdict) {
  return static_cast<std::size_t>(verdict);
}

const char* verdictName(Verdict verdict, bool dryRun) {
  return dryRun && verdict == Verdict::Converted ? "would_convert" : kVerdictNames[index(verdict)];
}

// The input bytes that the file's output leaves out, when this run writes it.
std::int64_t bytesDroppedBy(const Report& r) {
  if (!r.producesOutput || !r.surveyed) {
    return 0;
  }
  return r.archive ? r.modelBytesDropped : r.size - r.outputSize;
}

void appendKnown(std::string& line, const char* key, bool known, std::int64_t value) {
  if (known) {
    appendJsonMember(line, key, value);
  } else {
    appendJsonNull(line, key);
  }
}

void printJson(const ConvertOptions& options, const Shown& shown, const Report& r) {
  std::string line = "{";
  appendJsonText(line, "file", shown.input.c_str());
  appendJsonText(
      line, "output",
      options.destination == Destination::InPlace ? shown.input.c_str() : shown.output.c_str());
  appendJsonText(line, "result", verdictName(r.verdict, options.dryRun));
  appendJsonBool(line, "written", r.written);
  appendKnown(line, "size", r.surveyed, r.size);
  appendJsonMember(line, "output_size", r.outputSize);
  appendKnown(line, "words_changed", r.surveyed, r.wordsChanged);
  appendKnown(line, "bytes_dropped", r.surveyed, bytesDroppedBy(r));
  appendJsonMember(line, "exit_status", r.status);
  if (r.archive) {
    appendJsonMember(line, "models", r.models);
    if (r.entry.empty()) {
      appendJsonNull(line, "entry");
    } else {
      appendJsonText(line, "entry", r.entry.back().c_str());
    }
    if (r.entry.size() > 1) {
      appendJsonKey(line, "in");
      line += '[';
      for (std::size_t i = 0; i + 1 < r.entry.size(); ++i) {
        line += i > 0 ? "," : "";
        appendJsonString(line, r.entry[i].c_str());
      }
      line += ']';
    }
  }
  if (r.message.empty()) {
    appendJsonNull(line, "message");
  } else {
    appendJsonText(line, "message", messageText(r, shown).c_str());
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

Report refused(int status, const std::string& message) {
  Report report = failed(status, message);
  report.verdict = Verdict::Refused;
  return report;
}

std::string messageText(const Report& r, const Shown& shown) {
  std::string text;
  for (const char c : r.message) {
    if (c == kOutputName) {
      text += quoteName(shown.output.c_str()).text;
    } else if (c == kFolderName) {
      text += quoteName(shown.folder.c_str()).text;
    } else {
      text += c;
    }
  }
  return text;
}

bool printsLine(const ConvertOptions& options, const Report& r) {
  if (options.json || r.verdict == Verdict::Failed || r.verdict == Verdict::Damaged ||
      r.verdict == Verdict::Refused) {
    return true;
  }
  if (r.verdict == Verdict::Skipped) {
    return options.verbosity >= 2 || options.dryRun;
  }
  return options.verbosity >= 2 || (options.dryRun && options.verbosity > 0);
}

void printReport(const ConvertOptions& options, const Shown& shown, const Report& r) {
  if (options.json) {
    printJson(options, shown, r);
    return;
  }
  // A dry run's lines are its output: they go where a pipe can take them.
  std::FILE* to = options.dryRun ? stdout : stderr;
  // Every line starts with the input's name; one that writes elsewhere names
  // the output after an arrow.
  const QuotedName input = quoteName(shown.input.c_str());
  if (r.verdict == Verdict::Failed || r.verdict == Verdict::Damaged) {
    (void)std::fprintf(to, "3do: %s: %s\n", input.text, messageText(r, shown).c_str());
  } else if (r.verdict == Verdict::Refused || r.verdict == Verdict::Skipped) {
    (void)std::fprintf(to, "3do: %s: %s: %s\n", input.text, say::kVerdictWords[index(r.verdict)],
                       messageText(r, shown).c_str());
  } else {
    const bool elsewhere = options.destination != Destination::InPlace && !shown.output.empty();
    const std::string arrow =
        elsewhere ? std::string(" -> ") + quoteName(shown.output.c_str()).text : std::string();
    const bool isNow = r.verdict == Verdict::UpToDate || r.verdict == Verdict::AlreadyConverted;
    const char* would =
        options.dryRun && !isNow ? say::kWouldBe : "";  // what it is, not what the run would do
    const char* what = say::kVerdictWords[index(r.verdict)];
    const std::string dropped =
        r.producesOutput && r.surveyed
            ? ", " + counted(bytesDroppedBy(r), "byte") + " " + say::kDropped
            : "";
    (void)std::fprintf(to, "3do: %s%s: %s%s%s\n", input.text, arrow.c_str(), would, what,
                       dropped.c_str());
  }
}

void count(Totals& totals, const Report& r) {
  ++totals.count[index(r.verdict)];
  ++totals.files;
  totals.bytesIn += r.surveyed ? r.size : 0;
  totals.bytesDropped += bytesDroppedBy(r);
  totals.salvaged += r.verdict == Verdict::Damaged && r.producesOutput ? 1 : 0;
  totals.status = worseStatus(totals.status, r.status);
}

void printSummary(const ConvertOptions& options, const Totals& t, const char* interrupted) {
  const bool dry = options.dryRun;
  if (options.json) {
    std::string line = "{";
    appendJsonBool(line, "summary", true);
    for (std::size_t v = 0; v < sizeof kVerdictNames / sizeof *kVerdictNames; ++v) {
      appendJsonMember(line, verdictName(static_cast<Verdict>(v), dry), t.count[v]);
    }
    appendJsonMember(line, "salvaged", t.salvaged);
    appendJsonMember(line, "bytes_dropped", t.bytesDropped);
    appendJsonMember(line, "exit_status", t.status);
    if (interrupted != nullptr) {
      appendJsonText(line, "interrupted", interrupted);
    } else {
      appendJsonNull(line, "interrupted");
    }
    line += "}\n";
    (void)std::fputs(line.c_str(), stdout);
  } else if (options.verbosity > 0 || interrupted != nullptr) {
    // Every file is counted once; only what happened is named, in the words
    // of the lines: what a dry run would do, what a run did.
    std::string counts = printed("%lld %s%s", static_cast<long long>(t.count[0]),
                                 dry ? say::kWouldBe : "", say::kVerdictWords[0]);
    for (std::size_t v = 1; v < kVerdicts; ++v) {
      if (t.count[v] > 0) {
        counts += printed(", %lld %s", static_cast<long long>(t.count[v]), say::kVerdictWords[v]);
      }
      if (static_cast<Verdict>(v) == Verdict::Damaged && t.salvaged > 0) {
        counts += printed(" (%lld %s%s)", static_cast<long long>(t.salvaged),
                          dry ? say::kWouldBe : "", say::kSalvagedWord);
      }
    }
    const std::string stopped =
        interrupted != nullptr ? printed(say::kInterrupted, interrupted) : std::string();
    (void)std::fprintf(stderr, "3do: %s%s%s, %s %s%s\n", stopped.c_str(), dry ? say::kDryRun : "",
                       counts.c_str(), counted(t.bytesDropped, "byte").c_str(),
                       dry ? say::kWouldBe : "", say::kDropped);
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
