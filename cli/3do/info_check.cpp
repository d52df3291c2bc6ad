// 3do info and 3do check: the survey, shown to a person or a script.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "cli/3do/archive.h"
#include "cli/3do/arguments.h"
#include "cli/3do/commands.h"
#include "cli/3do/convert_act.h"
#include "cli/3do/convert_options.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/json.h"
#include "cli/3do/text.h"
#include "cli/common/exit_status.h"
#include "cli/common/file_convert.h"
#include "cli/common/files.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"
#include "convert/c_types.h"
#include "convert/survey.h"

namespace convert3do {

namespace {

long long ll(std::int64_t value) {
  return static_cast<long long>(value);
}

// A tag as its four characters, or in hex when one is not printable.
std::string tagText(Word32 tag) {
  char text[16];
  (void)convert3do_tag_text(static_cast<std::uint32_t>(tag), text, sizeof text);
  return text;
}

// Where and why the walk ended, in words.
std::string walkEndText(const SurveyInfo& s) {
  return describeWalkEnd(s).text;
}

// The bytes a conversion drops, "N bytes", or that they are not known.
std::string dropped(const SurveyInfo& s) {
  return s.size >= 0 ? counted(s.size - s.outputSize, "byte") : say::kUnknownBytes;
}

// What each program does with the file, where they differ: convert3do writes
// what it can, 3do convert writes nothing it was not asked for. Empty when
// both convert the file alike.
std::string programsText(const SurveyInfo& s) {
  if (s.end == WalkEnd::NotA3do) {
    return printed(say::kProgramsNotA3do, kExitNotA3do);
  }
  if (s.end == WalkEnd::Damaged) {
    return printed(say::kProgramsDamaged, exitStatusFor(s.outcome));
  }
  return "";
}

// Flushes standard output; a refused write is an error of its own.
int finishOutput(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("standard output",
             printed(say::kCannotWriteStandardOutput, std::strerror(errno)).c_str());
    return worseStatus(status, kExitOutputFailed);
  }
  return status;
}

// A row of `3do info`'s chunk table, after its heading when it is the first.
void printChunkRow(const ChunkRecord& c, bool* headed) {
  if (!*headed) {
    (void)std::fputs(say::kInfoChunkHeading, stdout);
    *headed = true;
  }
  std::printf(say::kInfoChunkRow, ll(c.offset), tagText(c.tag).c_str(),
              static_cast<long>(c.chunkWord), static_cast<long>(c.payloadLength), ll(c.size));
  if (c.tag == static_cast<Word32>(ChunkTag::Xyzs)) {
    std::printf(say::kInfoEntriesColumns, ll(c.entries), ll(c.entriesToChange));
  }
  std::printf("\n");
}

// The lines of `3do info` after the chunk table: what the walk found.
void printInfoFindings(const SurveyInfo& s) {
  const std::string size = s.size >= 0 ? counted(s.size, "byte") : say::kSizeNotKnown;
  if (!s.is3do) {
    std::printf(say::kInfoNotA3do, size.c_str());
  } else if (!s.headerComplete) {
    std::printf(say::kInfoHeaderCut, size.c_str());
  } else {
    std::printf(say::kInfoHeader, size.c_str(), static_cast<long>(s.header.headerWord),
                static_cast<long>(s.header.bodyLength));
    std::printf(say::kInfoChunks, ll(s.chunkCount), counted(s.chunkBytes, "byte").c_str());
  }
  std::printf(say::kInfoWalkEnds, walkEndText(s).c_str());
  if (s.outputSize == 0) {
    std::printf(say::kInfoWritesEmpty, dropped(s).c_str());
  } else if (s.alreadyConverted) {
    (void)std::fputs(say::kInfoAlreadyConverted, stdout);
  } else {
    std::printf(say::kInfoConversion, counted(s.outputSize, "byte").c_str(), ll(s.chunkBytes),
                counted(s.wordsChanged, "word").c_str(), dropped(s).c_str());
  }
  const std::string programs = programsText(s);
  if (!programs.empty()) {
    std::printf(say::kInfoPrograms, programs.c_str());
  }
}

// The lines of `3do info` for one file; the chunks are printed as the walk
// meets them.
SurveyInfo printInfoText(const char* name, int fd, bool summary) {
  std::printf("%s\n", quoteName(name).text);
  bool headed = false;
  const SurveyInfo s = surveyFile(
      fd,
      [&](const ChunkRecord& c) {
        if (!summary) {
          printChunkRow(c, &headed);
        }
      },
      true);
  printInfoFindings(s);
  return s;
}

// The members of `3do info --json` after the chunks, in the library's words.
std::string infoMembers(const SurveyInfo& s) {
  const convert3do_info info = infoOf(s);
  std::string members(1024, '\0');
  std::size_t length = convert3do_info_json_members(&info, &members[0], members.size());
  if (length >= members.size()) {
    members.resize(length + 1);
    length = convert3do_info_json_members(&info, &members[0], members.size());
  }
  members.resize(length);
  return members;
}

// A chunk's object in `3do info --json`'s array, after a comma unless first.
void printChunkJson(const ChunkRecord& c, bool* first) {
  const convert3do_chunk chunk = chunkOf(c);
  char text[256];
  (void)convert3do_chunk_json(&chunk, text, sizeof text);
  if (!*first) {
    (void)std::fputc(',', stdout);
  }
  *first = false;
  (void)std::fputs(text, stdout);
}

// The JSON Lines object of `3do info --json` for one file; the chunks are
// printed as the walk meets them.
SurveyInfo printInfoJson(const char* name, int fd) {
  std::string line = "{";
  appendJsonText(line, "file", name);
  appendJsonKey(line, "chunks");
  line += '[';
  (void)std::fputs(line.c_str(), stdout);
  bool first = true;
  const SurveyInfo s = surveyFile(
      fd, [&](const ChunkRecord& c) { printChunkJson(c, &first); }, true);
  (void)std::printf("],%s}\n", infoMembers(s).c_str());
  return s;
}

enum SurveyOption { kJson, kSummary, kRecursive, kFilesFrom, kAll, kArchives, kEntries };

// The options of info or check.
struct SurveyOptions {
  bool json = false;
  bool summary = false;
  bool all = false;        // check: every file, not only those with a problem
  bool entries = false;    // info: an archive's other entries too
  ConvertOptions listing;  // the names, and -r; nothing is written
};

// What `3do check` finds wrong with a file: one line's text, empty when
// nothing is wrong, and the status that belongs to it.
struct Problems {
  int status = kExitOk;
  std::string text;
};

Problems findProblems(const SurveyInfo& s) {
  Problems found;
  if (s.end == WalkEnd::NotA3do) {
    return Problems{kExitNotA3do, say::kNotA3do};
  }
  if (s.end == WalkEnd::Damaged) {
    return Problems{kExitDamagedInput, printed(say::kDamaged, describeDamage(s).text)};
  }
  if (s.size < 0 || s.size > s.outputSize) {
    found.text = s.end == WalkEnd::UnrecognisedTag
                     ? printed(say::kWouldDropAtTag, dropped(s).c_str(), ll(s.endOffset),
                               tagText(s.endTag).c_str())
                     : printed(say::kWouldDropBeyond, dropped(s).c_str(), ll(s.outputSize));
    found.status = kExitWouldDrop;
  }
  if (s.chunkBytes != s.header.bodyLength) {
    found.text += found.text.empty() ? "" : "; ";
    found.text +=
        printed(say::kLengthDiffers, static_cast<long>(s.header.bodyLength), ll(s.chunkBytes));
    found.status = worseStatus(found.status, kExitLengthDiffers);
  }
  return found;
}

// check --json's object: the object of info --json without the chunks, and
// what check finds; line holds its names.
void printCheckJson(std::string line, const SurveyInfo& s, const Problems& found) {
  line += ',' + infoMembers(s);
  if (found.text.empty()) {
    appendJsonNull(line, "problems");
  } else {
    appendJsonText(line, "problems", found.text.c_str());
  }
  appendJsonMember(line, "check_status", found.status);
  line += "}\n";
  (void)std::fputs(line.c_str(), stdout);
}

// The names of an entry in JSON: the file, the entry, and the archives
// between them ("in"), when it is inside an archive inside the file.
std::string entryNamesJson(const char* file, const EntryPath& path) {
  std::string line = "{";
  appendJsonText(line, "file", file);
  appendJsonText(line, "entry", path.back().c_str());
  if (path.size() > 1) {
    appendJsonKey(line, "in");
    line += '[';
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
      line += i > 0 ? "," : "";
      appendJsonString(line, path[i].c_str());
    }
    line += ']';
  }
  return line;
}

// What info and check print of the models in an archive, as of files.
class ArchiveReport : public ArchiveVisitor {
 public:
  ArchiveReport(const char* file, const SurveyOptions& e, bool isInfo)
      : file_(file), e_(e), isInfo_(isInfo) {}

  void beginModel(const EntryPath& path) override {
    if (isInfo_ && e_.json) {
      std::string line = entryNamesJson(file_, path);
      appendJsonKey(line, "chunks");
      (void)std::fputs((line + '[').c_str(), stdout);
      first_ = true;
    } else if (isInfo_) {
      startBlock(path);
      headed_ = false;
    }
  }
  void chunk(const ChunkRecord& c) override {
    if (isInfo_ && e_.json) {
      printChunkJson(c, &first_);
    } else if (isInfo_ && !e_.summary) {
      printChunkRow(c, &headed_);
    }
  }
  void endModel(const EntryPath& path, const SurveyInfo& s) override {
    if (isInfo_) {
      if (e_.json) {
        (void)std::printf("],%s}\n", infoMembers(s).c_str());
      } else {
        printInfoFindings(s);
      }
      status_ = worseStatus(status_, exitStatusFor(s.outcome));
      return;
    }
    const Problems found = findProblems(s);
    status_ = worseStatus(status_, found.status);
    if (e_.json && (e_.all || !found.text.empty())) {
      printCheckJson(entryNamesJson(file_, path), s, found);
    } else if (!e_.json && !found.text.empty()) {
      std::printf("3do: %s: %s\n", shownEntry(file_, path).c_str(), found.text.c_str());
    }
  }
  void other(const EntryPath& path, const OtherEntry& o) override;
  void finish(const ArchiveCounts& counts);
  int status() const { return status_; }

 private:
  // A blank line between the blocks of info, and the block's first line.
  void startBlock(const EntryPath& path) {
    std::printf(blocks_++ > 0 ? "\n%s\n" : "%s\n",
                path.empty() ? quoteName(file_).text : shownEntry(file_, path).c_str());
  }

  const char* file_;
  const SurveyOptions& e_;
  bool isInfo_;
  bool first_ = true;
  bool headed_ = false;
  int blocks_ = 0;
  int status_ = kExitOk;
};

void ArchiveReport::other(const EntryPath& path, const OtherEntry& o) {
  if (!isInfo_ || !e_.entries) {
    return;
  }
  if (e_.json) {
    std::string line = entryNamesJson(file_, path);
    appendJsonBool(line, "model", false);
    appendJsonBool(line, "archive", o.archive);
    appendJsonMember(line, "size", static_cast<std::int64_t>(o.size));
    appendJsonMember(line, "compressed_size", static_cast<std::int64_t>(o.compressedSize));
    appendJsonMember(line, "method", o.method);
    (void)std::fputs((line + "}\n").c_str(), stdout);
    return;
  }
  startBlock(path);
  const std::string stored = printed(
      say::kInfoStoredAs, counted(static_cast<std::int64_t>(o.compressedSize), "byte").c_str(),
      static_cast<unsigned>(o.method));
  std::printf(say::kInfoOtherEntry, counted(static_cast<std::int64_t>(o.size), "byte").c_str(),
              stored.c_str(), o.archive ? say::kInfoOtherArchive : "");
}

void ArchiveReport::finish(const ArchiveCounts& c) {
  if (!isInfo_) {
    return;
  }
  if (e_.json) {
    std::string line = "{";
    appendJsonText(line, "file", file_);
    appendJsonKey(line, "archive");
    std::string counts = "{";
    appendJsonMember(counts, "entries", c.entries);
    appendJsonMember(counts, "models", c.models);
    appendJsonMember(counts, "archives", c.archives);
    appendJsonMember(counts, "others", c.others);
    (void)std::fputs((line + counts + "}}\n").c_str(), stdout);
    return;
  }
  startBlock(EntryPath());
  const auto some = [](std::int64_t n, const char* one, const char* many) {
    return printed("%lld %s", ll(n), n == 1 ? one : many);
  };
  std::printf(say::kInfoArchive, some(c.entries, "entry", "entries").c_str(),
              some(c.models, "model", "models").c_str(),
              some(c.archives, "archive", "archives").c_str(),
              some(c.others, "other entry", "other entries").c_str(),
              e_.entries || c.others + c.archives == 0 ? "" : say::kInfoArchiveListed);
}

// Surveys the models of the archive named, printing them as files are
// printed; a failure is reported and ends it.
int surveyArchiveFile(const char* name, const Input& in, const SurveyOptions& e, bool isInfo) {
  TemporaryFiles temporaries;
  Folder scratchFolder;
  Scratch scratch{&temporaries.newShare(),
                  openFolder(scratchFolderPath(), &scratchFolder) == 0 ? &scratchFolder : nullptr};
  ArchiveReport report(name, e, isInfo);
  ArchiveCounts counts;
  const ArchiveFailure failure =
      surveyArchive(in.fd, static_cast<std::uint64_t>(in.identity.size), scratch, report, &counts);
  if (failure.failed) {
    (void)std::fflush(stdout);
    complain(name, failure.message.c_str());
    return worseStatus(report.status(), failure.status);
  }
  report.finish(counts);
  if (!isInfo && counts.models == 0) {
    std::printf("3do: %s: %s\n", quoteName(name).text, say::kZipNoModels);
    return worseStatus(report.status(), kExitNotA3do);
  }
  return report.status();
}

// Reads the arguments of info (withInfoOptions) or check; -1, or the status of
// a usage error.
int readSurveyArguments(const char* command, int argc, char** argv, bool withInfoOptions,
                        SurveyOptions* e) {
  std::vector<OptionRule> rules = {{"recursive", 'r', false, kRecursive},
                                   {"files0-from", '\0', true, kFilesFrom}};
  rules.push_back({"json", '\0', false, kJson});
  rules.push_back(withInfoOptions ? OptionRule{"summary", '\0', false, kSummary}
                                  : OptionRule{"all", '\0', false, kAll});
  rules.push_back({"archives", 'a', false, kArchives});
  if (withInfoOptions) {
    rules.push_back({"entries", '\0', false, kEntries});
  }
  std::vector<std::string> lists;
  std::vector<std::string> named;
  const auto take = [&](int id, const char* value) {
    e->json = e->json || id == kJson;
    e->summary = e->summary || id == kSummary;
    e->all = e->all || id == kAll;
    e->entries = e->entries || id == kEntries;
    e->listing.archives = e->listing.archives || id == kArchives;
    e->listing.recursive = e->listing.recursive || id == kRecursive;
    if (id == kFilesFrom) {
      lists.push_back(value);
    }
    return true;
  };
  if (!readArguments(command, argc, argv, rules, take, &named)) {
    return kExitUsage;
  }
  for (const std::string& name : named) {
    e->listing.inputs.add(name);
  }
  if (!std::all_of(lists.begin(), lists.end(),
                   [e](const std::string& from) { return readNames(from, e->listing.inputs); })) {
    return kExitInputNotFound;
  }
  if (e->listing.inputs.empty()) {
    usageError(command, say::kNoFileNamed);
    return kExitUsage;
  }
  return -1;
}

// Surveys each file named or found, opened for reading; one that cannot be
// opened is reported and the others are still surveyed. Returns the gravest
// status.
int surveyEach(int argc, char** argv, bool isInfo,
               const std::function<int(const char* name, int fd, const SurveyOptions&)>& survey) {
  SurveyOptions e;
  const int usage = readSurveyArguments(isInfo ? "info" : "check", argc, argv, isInfo, &e);
  if (usage >= 0) {
    return usage;
  }
  Plan plan;
  makePlan(e.listing, plan);
  InputFolders folders;
  int status = kExitOk;
  bool first = true;
  for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
    const Job& job = plan.jobs[i];
    const std::string name = shownInput(job);
    Input in;
    Report report = plan.outcomes[i].report;
    if (job.decided || !openPlannedInput(e.listing, job, folders, &in, &report)) {
      if (report.verdict == Verdict::Failed || report.verdict == Verdict::Refused) {
        complain(name.c_str(), report.message.c_str());
      }
      status = worseStatus(status, report.status);
      continue;
    }
    if (!e.json && !first && isInfo) {
      std::printf("\n");  // a blank line between the files of info
    }
    first = false;
    const bool archive = (job.place == nullptr || e.listing.archives) && startsAsArchive(in);
    status = worseStatus(status, archive ? surveyArchiveFile(name.c_str(), in, e, isInfo)
                                         : survey(name.c_str(), in.fd, e));
  }
  return finishOutput(status);
}

}  // namespace

int runInfo(int argc, char** argv) {
  return surveyEach(argc, argv, true, [](const char* name, int fd, const SurveyOptions& e) {
    const SurveyInfo s = e.json ? printInfoJson(name, fd) : printInfoText(name, fd, e.summary);
    return exitStatusFor(s.outcome);
  });
}

int runCheck(int argc, char** argv) {
  return surveyEach(argc, argv, false, [](const char* name, int fd, const SurveyOptions& e) {
    const SurveyInfo s = surveyFile(
        fd, [](const ChunkRecord&) {}, true);
    const Problems found = findProblems(s);
    if (e.json && (e.all || !found.text.empty())) {
      std::string line = "{";
      appendJsonText(line, "file", name);
      printCheckJson(line, s, found);
    } else if (!e.json && !found.text.empty()) {
      std::printf("3do: %s: %s\n", quoteName(name).text, found.text.c_str());
    }
    return found.status;
  });
}

}  // namespace convert3do
