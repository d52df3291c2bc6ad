// 3do: the subcommand dispatcher, its help and its version.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

constexpr const char* kUsage =
    "usage: 3do COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Converts, looks inside and checks 3do model files; - is standard input.\n"
    "\n"
    "Commands:\n"
    "  info [OPTIONS] FILE...  every chunk, where and why the walk ends, and what\n"
    "                          a conversion would write\n"
    "  check [OPTIONS] FILE... one line for each file with a problem, else quiet\n"
    "  convert -o FILE|-d DIR|-i [OPTIONS] FILE|DIR...\n"
    "                          convert many files safely, in parallel\n"
    "  help [COMMAND]          this help, or a command's\n"
    "\n"
    "  --help, --version       this help; the version\n"
    "\n"
    "Exit status (a run over many files gives the gravest):\n"
    "  0  every file is fine\n"
    "  1  a file cannot be opened\n"
    "  2  bad arguments\n"
    "  3  an output cannot be written\n"
    "  4  a file is damaged or cannot be read\n"
    "  5  check: the length field differs from the chunks present\n"
    "  6  check: valid, but a conversion would drop data\n"
    "  7  check, convert: not a 3do file\n";

constexpr const char* kInfoUsage =
    "usage: 3do info [OPTIONS] FILE|DIR...\n"
    "\n"
    "For each file: its size, header word and length field; every chunk the\n"
    "conversion keeps (offset, tag, chunk word, payload length, size, and for\n"
    "XYZS the entries and how many first words are not 1 yet); where and why the\n"
    "walk ends; and what a conversion would write: output size, new length\n"
    "field, words changed, bytes dropped, or that it is already converted.\n"
    "\n"
    "  --json             one JSON object per file (JSON Lines); the fields are\n"
    "                     listed in the README and the man page\n"
    "  --summary          the file's lines without the chunk table\n"
    "  -r, --recursive    the .3do files (any case) in folders' trees; symlinks\n"
    "                     and what is not a regular file there are skipped\n"
    "  --files0-from=F    also read NUL-separated names from F (- for stdin)\n"
    "\n"
    "Exit status: 0, or 1 when a file cannot be opened, 4 when one is damaged.\n";

constexpr const char* kConvertUsage =
    "usage: 3do convert (-o FILE | -d DIR | -i) [OPTIONS] FILE|DIR...\n"
    "\n"
    "Converts each file as convert3do does, into a temporary file in the\n"
    "destination's folder that is renamed into place only when complete: no run,\n"
    "interrupted or killed, leaves a partial file under a final name.\n"
    "\n"
    "Where the output goes (exactly one; a conversion drops data, so nothing is\n"
    "replaced by default):\n"
    "  -o, --output=FILE a single input into FILE; -o - writes standard output\n"
    "  -d, --output-dir=DIR\n"
    "                    each output into DIR under the input's name; with -r the\n"
    "                    tree below each folder given is mirrored\n"
    "  -i, --in-place    each regular file is replaced by its conversion, if its\n"
    "                    name still holds the file read; mode, owner, extended\n"
    "                    attributes and ACLs are kept (a symlink named is\n"
    "                    followed; fsync'd unless --no-sync); damaged files are\n"
    "                    never replaced\n"
    "Options:\n"
    "  -r, --recursive   convert the .3do files (any case) in folders' trees;\n"
    "                    symlinks met there are skipped, not followed\n"
    "  --files0-from=F   also read NUL-separated names from F (- for stdin)\n"
    "  -f, --force       replace existing outputs (regular files, or below -d DIR\n"
    "                    symlinks themselves); in place, files with hard links\n"
    "  --salvage         write the complete chunks of damaged files (not in place)\n"
    "  --no-sync         in place, do not fsync the new file and its folder\n"
    "  -j, --jobs=N      N workers (default: one per core; at most four per core)\n"
    "  -n, --dry-run     say what the run would do with each file; write nothing\n"
    "  -v, --verbose     a line per file\n"
    "  -q, --quiet       nothing but errors\n"
    "  --json            a JSON object per file and a summary object\n"
    "\n"
    "A file whose conversion changes nothing is left untouched. The same file\n"
    "named twice is converted once; an output that is an input is refused.\n"
    "Each file gets one result: converted, already converted, up to date,\n"
    "damaged, refused, failed or skipped. A dry run prints what the real run\n"
    "would do, on standard output.\n"
    "Exit status: 0 when no file was damaged, refused or failed, else the\n"
    "gravest: 1 cannot open, 2 usage, 3 output failed, 4 damaged, 7 not a 3do\n"
    "file.\n";

constexpr const char* kCheckUsage =
    "usage: 3do check [OPTIONS] FILE|DIR...\n"
    "\n"
    "Quiet unless something is wrong: one line per file with a problem (not a\n"
    "3do file; damaged, with the byte offset; a conversion would drop bytes\n"
    "after an unrecognised chunk or beyond the length bound; the length field\n"
    "differs from the chunks present), and the exit status of the gravest\n"
    "(see 3do --help).\n"
    "\n"
    "  --json             for each file with a problem, the object of info --json\n"
    "                     without the chunks, with problems and check_status\n"
    "  --all              with --json, an object for every file\n"
    "  -r, --recursive    the .3do files (any case) in folders' trees; symlinks\n"
    "                     and what is not a regular file there are skipped\n"
    "  --files0-from=F    also read NUL-separated names from F (- for stdin)\n";

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
};

constexpr Command kCommands[] = {
    {"info", runInfo, kInfoUsage},
    {"check", runCheck, kCheckUsage},
    {"convert", runConvert, kConvertUsage},
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
  const std::string usage = found != nullptr ? found->usage : kUsage;
  return usage.substr(0, usage.find('\n') + 1);
}

void complain(const char* name, const char* what) {
  (void)std::fprintf(stderr, "3do: %s: %s\n", quoteName(name).text, what);
}

int runThreeDo(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const char* first = argv[1];
  const auto asksHelp = [](const char* word) {
    return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0;
  };
  if (asksHelp(first)) {
    return show(kUsage);
  }
  if (std::strcmp(first, "--version") == 0) {
    return show("3do " CONVERT3DO_VERSION "\n");
  }
  if (std::strcmp(first, "help") == 0) {
    if (argc < 3 || asksHelp(argv[2]) || std::strcmp(argv[2], "help") == 0) {
      return show(kUsage);  // help on help is this help
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
