// 3do info and 3do check: the inspecting walk, shown to a person or a script.
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
#include "cli/common/quote.h"
#include "convert/survey.h"

namespace convert3do {

namespace {

long long ll(std::int64_t value) {
  return static_cast<long long>(value);
}

// A tag as its four characters, or in hex when one is not printable.
std::string tagText(Word32 tag) {
  if (!tagIsPrintable(tag)) {
    return printed("0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(tag)));
  }
  const auto bits = static_cast<std::uint32_t>(tag);
  return std::string{static_cast<char>(bits >> 24), static_cast<char>((bits >> 16) & 0xFFu),
                     static_cast<char>((bits >> 8) & 0xFFu), static_cast<char>(bits & 0xFFu)};
}

const char* walkEndName(WalkEnd end) {
  switch (end) {
    case WalkEnd::Bound:
      return "bound";
    case WalkEnd::UnrecognisedTag:
      return "unrecognised_tag";
    case WalkEnd::EndOfInput:
      return "end_of_input";
    case WalkEnd::Damaged:
      return "damaged";
    case WalkEnd::NotA3do:
      break;
  }
  return "not_3do";
}

// Where and why the walk ended, in words.
std::string walkEndText(const Inspection& s) {
  switch (s.end) {
    case WalkEnd::Bound:
      return s.overrun > 0
                 ? printed("the length bound (%ld), which the last chunk runs %lld bytes past",
                           static_cast<long>(s.header.bodyLength), ll(s.overrun))
                 : printed("the length bound (%ld)", static_cast<long>(s.header.bodyLength));
    case WalkEnd::UnrecognisedTag:
      return printed("an unrecognised tag, %s, at byte %lld", tagText(s.endTag).c_str(),
                     ll(s.endOffset));
    case WalkEnd::EndOfInput:
      return printed("the end of the input, at a chunk boundary (byte %lld), before the bound",
                     ll(s.size));
    case WalkEnd::Damaged:
      return "damage: " + std::string(describeDamage(damageOf(s)).text);
    case WalkEnd::NotA3do:
      break;
  }
  return "not a 3do file: it does not start with the magic 3DO4";
}

std::int64_t bytesDropped(const Inspection& s) {
  return s.size - s.outputSize;
}

// What each program does with the file, where they differ: convert3do writes
// what it can, 3do convert writes nothing it was not asked for.
struct Programs {
  const char* convert3do;  // as JSON values, and the text's words
  const char* threeDo;
  const char* text;  // empty when both convert the file alike
};

Programs programsFor(const Inspection& s) {
  if (s.end == WalkEnd::NotA3do) {
    return {"empty_output", "refuses",
            "convert3do writes an empty file and says it is not a 3do file; 3do convert "
            "refuses it (status 7)"};
  }
  if (s.end == WalkEnd::Damaged) {
    return {"keeps_complete_chunks", "writes_nothing_without_salvage",
            "convert3do writes its complete chunks (status 4); 3do convert writes nothing "
            "without --salvage"};
  }
  return {"converts", "converts", ""};
}

// Flushes standard output; a refused write is an error of its own.
int finishOutput(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain("standard output", printed("cannot write: %s", std::strerror(errno)).c_str());
    return worseStatus(status, kExitOutputFailed);
  }
  return status;
}

// The lines of `3do info` for one file; the chunks are printed as the walk
// meets them.
Inspection printInfoText(const char* name, int fd, bool summary) {
  std::printf("%s\n", quoteName(name).text);
  bool headed = false;
  const Inspection s = inspectFile(fd, [&](const ChunkRecord& c) {
    if (summary) {
      return;
    }
    if (!headed) {
      std::printf("  %12s  %-10s  %11s  %11s  %10s  %8s  %9s\n", "offset", "tag", "chunk word",
                  "payload", "size", "entries", "to change");
      headed = true;
    }
    std::printf("  %12lld  %-10s  %11ld  %11ld  %10lld", ll(c.offset), tagText(c.tag).c_str(),
                static_cast<long>(c.chunkWord), static_cast<long>(c.payloadLength), ll(c.size));
    if (c.tag == static_cast<Word32>(ChunkTag::Xyzs)) {
      std::printf("  %8lld  %9lld", ll(c.entries), ll(c.entriesToChange));
    }
    std::printf("\n");
  });
  if (!s.is3do) {
    std::printf("  file:       %lld bytes, not a 3do file\n", ll(s.size));
  } else if (!s.headerComplete) {
    std::printf("  file:       %lld bytes, magic 3DO4, header cut short\n", ll(s.size));
  } else {
    std::printf("  file:       %lld bytes, magic 3DO4, header word %ld, length field %ld\n",
                ll(s.size), static_cast<long>(s.header.headerWord),
                static_cast<long>(s.header.bodyLength));
    std::printf("  chunks:     %lld, %lld bytes\n", ll(s.chunkCount), ll(s.chunkBytes));
  }
  std::printf("  walk ends:  %s\n", walkEndText(s).c_str());
  if (s.outputSize == 0) {
    std::printf("  conversion: writes an empty file, drops %lld bytes\n", ll(bytesDropped(s)));
  } else if (s.alreadyConverted) {
    std::printf("  conversion: already converted (a conversion changes nothing)\n");
  } else {
    std::printf(
        "  conversion: writes %lld bytes, length field %lld, changes %lld words, drops %lld "
        "bytes\n",
        ll(s.outputSize), ll(s.chunkBytes), ll(s.wordsChanged), ll(bytesDropped(s)));
  }
  const Programs programs = programsFor(s);
  if (*programs.text != '\0') {
    std::printf("  programs:   %s\n", programs.text);
  }
  return s;
}

// The JSON Lines object of `3do info --json` for one file.
Inspection printInfoJson(const char* name, int fd) {
  std::string line;
  line += '{';
  appendJsonText(line, "file", name);
  appendJsonKey(line, "chunks");
  line += '[';
  (void)std::fputs(line.c_str(), stdout);
  bool first = true;
  const Inspection s = inspectFile(fd, [&](const ChunkRecord& c) {
    std::string chunk = first ? "{" : ",{";
    first = false;
    appendJsonMember(chunk, "offset", c.offset);
    appendJsonText(chunk, "tag", tagText(c.tag).c_str());
    appendJsonMember(chunk, "chunk_word", c.chunkWord);
    appendJsonMember(chunk, "payload_length", c.payloadLength);
    appendJsonMember(chunk, "size", c.size);
    if (c.tag == static_cast<Word32>(ChunkTag::Xyzs)) {
      appendJsonMember(chunk, "entries", c.entries);
      appendJsonMember(chunk, "entries_to_change", c.entriesToChange);
    }
    chunk += '}';
    (void)std::fputs(chunk.c_str(), stdout);
  });
  line = "]";
  appendJsonMember(line, "size", s.size);
  appendJsonBool(line, "is_3do", s.is3do);
  const auto optional = [&](const char* key, bool present, std::int64_t value) {
    if (present) {
      appendJsonMember(line, key, value);
    } else {
      appendJsonNull(line, key);
    }
  };
  optional("header_word", s.headerComplete, s.header.headerWord);
  optional("length_field", s.headerComplete, s.header.bodyLength);
  appendJsonText(line, "walk_end", walkEndName(s.end));
  const bool atTag = s.end == WalkEnd::UnrecognisedTag;
  optional("end_offset", atTag, s.endOffset);
  if (atTag) {
    appendJsonText(line, "end_tag", tagText(s.endTag).c_str());
  } else {
    appendJsonNull(line, "end_tag");
  }
  optional("overrun", s.end == WalkEnd::Bound, s.overrun);
  const bool isDamaged = s.end == WalkEnd::Damaged;
  optional("damage_offset", isDamaged, s.damageOffset);
  optional("damage_chunk_offset", isDamaged, s.damageChunk);
  if (isDamaged) {
    appendJsonText(line, "damage", std::string(describeDamage(damageOf(s)).text).c_str());
  } else {
    appendJsonNull(line, "damage");
  }
  appendJsonMember(line, "output_size", s.outputSize);
  optional("output_length_field", s.outputSize > 0, s.chunkBytes);
  appendJsonMember(line, "words_changed", s.wordsChanged);
  appendJsonMember(line, "bytes_dropped", bytesDropped(s));
  appendJsonBool(line, "already_converted", s.alreadyConverted);
  appendJsonText(line, "convert3do", programsFor(s).convert3do);
  appendJsonText(line, "3do_convert", programsFor(s).threeDo);
  appendJsonMember(line, "exit_status", exitStatusFor(s.outcome));
  line += "}\n";
  (void)std::fputs(line.c_str(), stdout);
  return s;
}

// What `3do check` finds wrong with a file: one line's text, empty when
// nothing is wrong, and the status that belongs to it.
struct Problems {
  int status = kExitOk;
  std::string text;
};

Problems findProblems(const Inspection& s) {
  Problems found;
  if (s.end == WalkEnd::NotA3do) {
    return Problems{kExitNotA3do, "not a 3do file (it does not start with the magic 3DO4)"};
  }
  if (s.end == WalkEnd::Damaged) {
    return Problems{kExitDamagedInput, "damaged: " + std::string(describeDamage(damageOf(s)).text)};
  }
  const std::int64_t dropped = bytesDropped(s);
  if (dropped > 0) {
    found.text = s.end == WalkEnd::UnrecognisedTag
                     ? printed(
                           "a conversion would drop %lld bytes: the unrecognised chunk at byte "
                           "%lld (%s) and everything after it",
                           ll(dropped), ll(s.endOffset), tagText(s.endTag).c_str())
                     : printed(
                           "a conversion would drop %lld bytes beyond the length bound, from "
                           "byte %lld on",
                           ll(dropped), ll(s.outputSize));
    found.status = kExitWouldDrop;
  }
  if (s.chunkBytes != s.header.bodyLength) {
    found.text += found.text.empty() ? "" : "; ";
    found.text += printed("the length field states %ld chunk bytes, the chunks present make %lld",
                          static_cast<long>(s.header.bodyLength), ll(s.chunkBytes));
    found.status = worseStatus(found.status, kExitLengthDiffers);
  }
  return found;
}

enum ExamineOption { kJson, kSummary, kRecursive, kFilesFrom };

// The options of info or check.
struct Examine {
  bool json = false;
  bool summary = false;
  ConvertOptions listing;  // the names, and -r; nothing is written
};

// Reads the arguments of info (withInfoOptions) or check; -1, or the status of
// a usage error.
int readExamineArguments(const char* command, int argc, char** argv, bool withInfoOptions,
                         Examine* e) {
  std::vector<OptionRule> rules = {{"recursive", 'r', false, kRecursive},
                                   {"files0-from", '\0', true, kFilesFrom}};
  if (withInfoOptions) {
    rules.push_back({"json", '\0', false, kJson});
    rules.push_back({"summary", '\0', false, kSummary});
  }
  std::vector<std::string> lists;
  std::vector<std::string> named;
  const auto take = [&](int id, const char* value) {
    e->json = e->json || id == kJson;
    e->summary = e->summary || id == kSummary;
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
    usageError(command, "no file named");
    return kExitUsage;
  }
  return -1;
}

// Examines each file named or found, opened for reading; one that cannot be
// opened is reported and the others are still examined. Returns the gravest
// status.
int examineEach(int argc, char** argv, bool isInfo,
                const std::function<int(const char* name, int fd, const Examine&)>& examine) {
  Examine e;
  const int usage = readExamineArguments(isInfo ? "info" : "check", argc, argv, isInfo, &e);
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
    status = worseStatus(status, examine(name.c_str(), in.fd, e));
  }
  return finishOutput(status);
}

}  // namespace

int runInfo(int argc, char** argv) {
  return examineEach(argc, argv, true, [](const char* name, int fd, const Examine& e) {
    const Inspection s = e.json ? printInfoJson(name, fd) : printInfoText(name, fd, e.summary);
    return exitStatusFor(s.outcome);
  });
}

int runCheck(int argc, char** argv) {
  return examineEach(argc, argv, false, [](const char* name, int fd, const Examine&) {
    const Problems found = findProblems(inspectFile(fd, [](const ChunkRecord&) {}));
    if (!found.text.empty()) {
      std::printf("3do: %s: %s\n", quoteName(name).text, found.text.c_str());
    }
    return found.status;
  });
}

}  // namespace convert3do
