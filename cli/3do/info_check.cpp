// 3do info and 3do check: the survey, shown to a person or a script.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

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

// The lines of `3do info` for one file; the chunks are printed as the walk
// meets them.
SurveyInfo printInfoText(const char* name, int fd, bool summary) {
  std::printf("%s\n", quoteName(name).text);
  bool headed = false;
  const SurveyInfo s = surveyFile(
      fd,
      [&](const ChunkRecord& c) {
        if (summary) {
          return;
        }
        if (!headed) {
          (void)std::fputs(say::kInfoChunkHeading, stdout);
          headed = true;
        }
        std::printf(say::kInfoChunkRow, ll(c.offset), tagText(c.tag).c_str(),
                    static_cast<long>(c.chunkWord), static_cast<long>(c.payloadLength), ll(c.size));
        if (c.tag == static_cast<Word32>(ChunkTag::Xyzs)) {
          std::printf(say::kInfoEntriesColumns, ll(c.entries), ll(c.entriesToChange));
        }
        std::printf("\n");
      },
      true);
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
      fd,
      [&](const ChunkRecord& c) {
        const convert3do_chunk chunk = chunkOf(c);
        char text[256];
        (void)convert3do_chunk_json(&chunk, text, sizeof text);
        if (!first) {
          (void)std::fputc(',', stdout);
        }
        first = false;
        (void)std::fputs(text, stdout);
      },
      true);
  (void)std::printf("],%s}\n", infoMembers(s).c_str());
  return s;
}

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

enum SurveyOption { kJson, kSummary, kRecursive, kFilesFrom, kAll };

// The options of info or check.
struct SurveyOptions {
  bool json = false;
  bool summary = false;
  bool all = false;        // check: every file, not only those with a problem
  ConvertOptions listing;  // the names, and -r; nothing is written
};

// Reads the arguments of info (withInfoOptions) or check; -1, or the status of
// a usage error.
int readSurveyArguments(const char* command, int argc, char** argv, bool withInfoOptions,
                        SurveyOptions* e) {
  std::vector<OptionRule> rules = {{"recursive", 'r', false, kRecursive},
                                   {"files0-from", '\0', true, kFilesFrom}};
  rules.push_back({"json", '\0', false, kJson});
  rules.push_back(withInfoOptions ? OptionRule{"summary", '\0', false, kSummary}
                                  : OptionRule{"all", '\0', false, kAll});
  std::vector<std::string> lists;
  std::vector<std::string> named;
  const auto take = [&](int id, const char* value) {
    e->json = e->json || id == kJson;
    e->summary = e->summary || id == kSummary;
    e->all = e->all || id == kAll;
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
    status = worseStatus(status, survey(name.c_str(), in.fd, e));
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
      // The object of info --json without the chunks, and what check finds.
      std::string line = "{";
      appendJsonText(line, "file", name);
      line += ',' + infoMembers(s);
      if (found.text.empty()) {
        appendJsonNull(line, "problems");
      } else {
        appendJsonText(line, "problems", found.text.c_str());
      }
      appendJsonMember(line, "check_status", found.status);
      line += "}\n";
      (void)std::fputs(line.c_str(), stdout);
    } else if (!e.json && !found.text.empty()) {
      std::printf("3do: %s: %s\n", quoteName(name).text, found.text.c_str());
    }
    return found.status;
  });
}

}  // namespace convert3do
