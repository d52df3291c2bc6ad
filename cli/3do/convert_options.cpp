#include "cli/3do/convert_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/3do/commands.h"
#include "cli/3do/text.h"
#include "cli/common/exit_status.h"
#include "cli/common/quote.h"

namespace convert3do {

namespace {

int usage(const char* what) {
  complain("convert", printed("%s (see 3do help convert)", what).c_str());
  return kExitUsage;
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

// Whether arg is a flag without a value, setting it.
bool setFlag(const std::string& arg, ConvertOptions* o) {
  if (arg == "-r" || arg == "--recursive") {
    o->recursive = true;
  } else if (arg == "-f" || arg == "--force") {
    o->force = true;
  } else if (arg == "--salvage") {
    o->salvage = true;
  } else if (arg == "--no-sync") {
    o->sync = false;
  } else if (arg == "-n" || arg == "--dry-run") {
    o->dryRun = true;
  } else if (arg == "--json") {
    o->json = true;
  } else if (arg == "-v" || arg == "--verbose") {
    o->verbosity = 2;
  } else if (arg == "-q" || arg == "--quiet") {
    o->verbosity = 0;
  } else {
    return false;
  }
  return true;
}

// Reads the options and names; -1, or the status of a usage error.
int readArguments(int argc, char** argv, ConvertOptions* o, std::vector<std::string>* lists) {
  const char* const kOneDestination = "give exactly one of -o FILE, -d DIR and -i";
  bool onlyFiles = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
      o->inputs.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (setFlag(arg, o)) {
    } else if (arg == "-o" || arg == "-d" || arg == "-i" || arg == "--in-place") {
      const bool inPlace = arg == "-i" || arg == "--in-place";
      if (o->destination != Destination::None || (!inPlace && !hasValue)) {
        return usage(kOneDestination);
      }
      o->destination = inPlace       ? Destination::InPlace
                       : arg == "-o" ? Destination::File
                                     : Destination::Folder;
      if (!inPlace) {
        o->output = argv[++i];
      }
    } else if (arg == "-j") {
      char* end = nullptr;
      o->workers = hasValue ? std::strtol(argv[++i], &end, 10) : 0;
      if (end == nullptr || *end != '\0' || o->workers < 1 || o->workers > 100000) {
        return usage("-j takes a number of workers from 1 to 100000");
      }
    } else if (arg.rfind("--files0-from=", 0) == 0) {
      lists->push_back(arg.substr(std::strlen("--files0-from=")));
    } else {
      return usage(printed("unknown option %s", quoteName(arg.c_str()).text).c_str());
    }
  }
  return -1;
}

}  // namespace

int parseConvertOptions(int argc, char** argv, ConvertOptions* o) {
  std::vector<std::string> lists;
  const int status = readArguments(argc, argv, o, &lists);
  if (status >= 0) {
    return status;
  }
  if (o->destination == Destination::None) {
    return usage(
        "say where the output goes: -o FILE, -d DIR or -i (in place); a conversion drops data, "
        "so nothing is replaced by default");
  }
  if (!std::all_of(lists.begin(), lists.end(),
                   [&](const std::string& from) { return readNames(from, o->inputs); })) {
    return kExitInputNotFound;
  }
  if (o->inputs.empty()) {
    return usage("no file named");
  }
  if (o->destination == Destination::File && o->inputs.size() != 1) {
    return usage("-o takes a single input; use -d DIR for several");
  }
  if (o->json && o->destination == Destination::File && o->output == "-") {
    return usage("--json and -o - would share standard output");
  }
  return -1;
}

}  // namespace convert3do
