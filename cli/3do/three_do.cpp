// 3do: the subcommand dispatcher, its help and its version.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/3do/archive.h"
#include "cli/3do/commands.h"
#include "cli/3do/text.h"
#include "cli/common/exit_status.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

#ifndef CONVERT3DO_VERSION
#define CONVERT3DO_VERSION "unknown"
#endif

namespace convert3do {

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
};

constexpr Command kCommands[] = {
    {"info", runInfo, say::kInfoUsage},
    {"check", runCheck, say::kCheckUsage},
    {"convert", runConvert, say::kConvertUsage},
};

const Command* findCommand(const char* name) {
  for (const Command& command : kCommands) {
    if (std::strcmp(command.name, name) == 0) {
      return &command;
    }
  }
  return nullptr;
}

int show(const char* text) {
  return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? kExitOk : kExitOutputFailed;
}

// The number of single-character edits that turn a into b.
std::size_t editDistance(const char* a, const char* b) {
  const std::size_t n = std::strlen(b);
  std::vector<std::size_t> row(n + 1);
  for (std::size_t j = 0; j <= n; ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; *a != '\0'; ++a, ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= n; ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (*a == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[n];
}

// An unknown command, with the nearest one when it is near.
int usageError(const char* what) {
  const Command* nearest = nullptr;
  std::size_t best = 3;  // at most two edits away
  for (const Command& command : kCommands) {
    const std::size_t distance = editDistance(what, command.name);
    if (distance < best) {
      best = distance;
      nearest = &command;
    }
  }
  complain(what, nearest != nullptr ? printed(say::kDidYouMean, nearest->name).c_str()
                                    : say::kUnknownCommand);
  return kExitUsage;
}

// Options given before the command: they go after it.
int optionsFirst(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (findCommand(argv[i]) != nullptr) {
      complain(argv[1], printed(say::kOptionsAfterCommand, argv[i], argv[1]).c_str());
      return kExitUsage;
    }
  }
  complain(argv[1], say::kCommandFirst);
  return kExitUsage;
}

}  // namespace

std::string usageLine(const char* command) {
  const Command* found = findCommand(command);
  const std::string usage = found != nullptr ? found->usage : say::kThreeDoUsage;
  return usage.substr(0, usage.find('\n') + 1);
}

void complain(const char* name, const char* what) {
  (void)std::fprintf(stderr, "3do: %s: %s\n", quoteName(name).text, what);
}

int runThreeDo(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fputs(say::kThreeDoUsage, stderr);
    return kExitUsage;
  }
  const char* first = argv[1];
  const auto asksHelp = [](const char* word) {
    return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0;
  };
  if (asksHelp(first)) {
    return show(say::kThreeDoUsage);
  }
  if (std::strcmp(first, "--version") == 0) {
    const std::string archives = archiveLibraries();
    return show(("3do " CONVERT3DO_VERSION "\n" +
                 (archives.empty() ? std::string(say::kVersionNoArchives)
                                   : printed(say::kVersionArchives, archives.c_str())))
                    .c_str());
  }
  if (std::strcmp(first, "help") == 0) {
    if (argc < 3 || asksHelp(argv[2]) || std::strcmp(argv[2], "help") == 0) {
      return show(say::kThreeDoUsage);  // help on help is this help
    }
    const Command* command = findCommand(argv[2]);
    return command != nullptr ? show(command->usage) : usageError(argv[2]);
  }
  const Command* command = findCommand(first);
  if (command == nullptr) {
    return first[0] == '-' && first[1] != '\0' ? optionsFirst(argc, argv) : usageError(first);
  }
  if (argc >= 3 && asksHelp(argv[2])) {
    return show(command->usage);
  }
  return command->run(argc - 2, argv + 2);
}

}  // namespace convert3do
