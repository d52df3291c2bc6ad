#include "cli/3do/convert_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/3do/arguments.h"
#include "cli/3do/commands.h"
#include "cli/3do/convert_report.h"
#include "cli/3do/text.h"
#include "cli/common/exit_status.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

namespace convert3do {

namespace {

int usage(const char* what) {
  usageError("convert", what);
  return kExitUsage;
}

enum OptionId {
  kOutput,
  kFolder,
  kInPlace,
  kRecursive,
  kArchives,
  kForce,
  kDryRun,
  kVerbose,
  kQuiet,
  kJobs,
  kJson,
  kSalvage,
  kNoSync,
  kFilesFrom
};

const std::vector<OptionRule>& convertOptions() {
  static const std::vector<OptionRule> rules = {
      {"output", 'o', true, kOutput},      {"output-dir", 'd', true, kFolder},
      {"in-place", 'i', false, kInPlace},  {"recursive", 'r', false, kRecursive},
      {"archives", 'a', false, kArchives}, {"force", 'f', false, kForce},
      {"dry-run", 'n', false, kDryRun},    {"verbose", 'v', false, kVerbose},
      {"quiet", 'q', false, kQuiet},       {"jobs", 'j', true, kJobs},
      {"json", '\0', false, kJson},        {"salvage", '\0', false, kSalvage},
      {"no-sync", '\0', false, kNoSync},   {"files0-from", '\0', true, kFilesFrom},
  };
  return rules;
}

// Takes one option; false, having said why, when it cannot be taken.
bool take(int id, const char* value, ConvertOptions* o, std::vector<std::string>* lists) {
  switch (id) {
    case kOutput:
    case kFolder:
    case kInPlace:
      if (o->destination != Destination::None) {
        usage(say::kOneDestination);
        return false;
      }
      o->destination = id == kInPlace  ? Destination::InPlace
                       : id == kOutput ? Destination::File
                                       : Destination::Folder;
      o->output = value != nullptr ? value : "";
      return true;
    case kJobs: {
      char* end = nullptr;
      o->workers = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || o->workers < 1 || o->workers > 100000) {
        usage(say::kJobsRange);
        return false;
      }
      return true;
    }
    case kFilesFrom:
      lists->push_back(value);
      return true;
    default:
      break;
  }
  o->recursive = o->recursive || id == kRecursive;
  o->archives = o->archives || id == kArchives;
  o->force = o->force || id == kForce;
  o->dryRun = o->dryRun || id == kDryRun;
  o->json = o->json || id == kJson;
  o->salvage = o->salvage || id == kSalvage;
  o->sync = o->sync && id != kNoSync;
  o->verbosity = id == kVerbose ? 2 : id == kQuiet ? 0 : o->verbosity;
  return true;
}

}  // namespace

bool readNames(const std::string& from, NameList& names) {
  std::FILE* file = from == "-" ? stdin : std::fopen(from.c_str(), "rb");
  if (file == nullptr) {
    complain(from.c_str(), printed(say::kCannotOpen, std::strerror(errno)).c_str());
    return false;
  }
  std::string name;
  char block[64 * 1024];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    for (const char* at = block; at < block + got;) {
      const char* end = static_cast<const char*>(std::memchr(at, '\0', block + got - at));
      if (end == nullptr) {
        name.append(at, static_cast<std::size_t>(block + got - at));
        break;
      }
      name.append(at, static_cast<std::size_t>(end - at));
      names.add(name);  // an empty one too: it is reported
      name.clear();
      at = end + 1;
    }
  }
  if (!name.empty()) {
    names.add(name);
  }
  const bool ok = std::ferror(file) == 0;
  if (!ok) {
    complain(from.c_str(), printed(say::kCannotRead, std::strerror(errno)).c_str());
  }
  if (file != stdin) {
    (void)std::fclose(file);
  }
  return ok;
}

int parseConvertOptions(int argc, char** argv, ConvertOptions* o) {
  std::vector<std::string> lists;
  std::vector<std::string> named;
  if (!readArguments(
          "convert", argc, argv, convertOptions(),
          [&](int id, const char* value) { return take(id, value, o, &lists); }, &named)) {
    return kExitUsage;
  }
  for (const std::string& name : named) {
    o->inputs.add(name);
  }
  if (o->destination == Destination::None) {
    return usage(say::kNoDestination);
  }
  if (!std::all_of(lists.begin(), lists.end(),
                   [&](const std::string& from) { return readNames(from, o->inputs); })) {
    return kExitInputNotFound;
  }
  if (o->inputs.empty()) {
    return usage(say::kNoFileNamed);
  }
  if (o->destination == Destination::File && (o->inputs.size() != 1 || o->recursive)) {
    return usage(say::kOutputSingle);
  }
  const bool toStdout = o->destination == Destination::File && o->output == "-";
  if (o->json && toStdout) {
    return usage(say::kJsonAndStdout);
  }
  if (toStdout && !o->force && isTerminal(1)) {
    return usage(say::kStdoutTerminal);
  }
  if (o->salvage && o->destination == Destination::InPlace) {
    return usage(say::kSalvageInPlace);
  }
  return -1;
}

}  // namespace convert3do
