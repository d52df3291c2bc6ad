#include "cli/3do/arguments.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli/3do/commands.h"
#include "cli/3do/text.h"
#include "cli/common/messages.h"
#include "cli/common/quote.h"

namespace convert3do {

void usageError(const char* command, const std::string& what) {
  complain(command, printed(say::kSeeHelp, what.c_str(), command).c_str());
  (void)std::fputs(usageLine(command).c_str(), stderr);
}

namespace {

// The long options that an abbreviation given matches, when more than one
// does ("--jobs or --json"), as getopt_long says of an ambiguous one.
std::string longCandidates(const char* given, const std::vector<OptionRule>& rules) {
  if (std::strncmp(given, "--", 2) != 0) {
    return "";
  }
  const std::string name(given + 2, std::strcspn(given + 2, "="));
  std::vector<std::string> found;
  for (const OptionRule& rule : rules) {
    if (std::strncmp(rule.longName, name.c_str(), name.size()) == 0) {
      found.push_back(std::string("--") + rule.longName);
    }
  }
  std::string text;
  for (std::size_t i = 0; found.size() > 1 && i < found.size(); ++i) {
    text += i == 0 ? "" : i + 1 == found.size() ? " or " : ", ";
    text += found[i];
  }
  return text;
}

}  // namespace

bool readArguments(const char* command, int argc, char** argv, const std::vector<OptionRule>& rules,
                   const std::function<bool(int id, const char* value)>& onOption,
                   std::vector<std::string>* names) {
  // getopt_long reorders its vector and wants the program's name first.
  std::string self = "3do";
  std::vector<char*> args{&self[0]};
  args.insert(args.end(), argv, argv + argc);
  args.push_back(nullptr);
  std::string shorts = ":";  // a missing value is told apart from an unknown option
  std::vector<option> longs;
  for (const OptionRule& rule : rules) {
    if (rule.shortName != '\0') {
      shorts += rule.shortName;
      shorts += rule.takesValue ? ":" : "";
    }
    longs.push_back(option{rule.longName, rule.takesValue ? required_argument : no_argument,
                           nullptr, 1000 + static_cast<int>(longs.size())});
  }
  longs.push_back(option{nullptr, 0, nullptr, 0});
  optind = 0;  // start afresh
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc + 1, args.data(), shorts.c_str(), longs.data(), nullptr)) != -1) {
    const char* given = args[static_cast<std::size_t>(optind) - 1];
    if (c == '?' || c == ':') {
      const std::string shown =
          optopt != 0 && optopt < 1000 ? std::string("-") + static_cast<char>(optopt) : given;
      const std::string candidates = c == '?' && optopt == 0 ? longCandidates(given, rules) : "";
      usageError(command, !candidates.empty()
                              ? printed(say::kAmbiguousOption, quoteName(shown.c_str()).text,
                                        candidates.c_str())
                              : printed(c == '?' ? say::kUnknownOption : say::kOptionNeedsValue,
                                        quoteName(shown.c_str()).text));
      return false;
    }
    // A long option's value is 1000 plus its place; a short one's its letter.
    const auto found = c >= 1000
                           ? rules.begin() + (c - 1000)
                           : std::find_if(rules.begin(), rules.end(),
                                          [c](const OptionRule& s) { return s.shortName == c; });
    const OptionRule* rule = found == rules.end() ? nullptr : &*found;
    if (rule == nullptr || !onOption(rule->id, rule->takesValue ? optarg : nullptr)) {
      return false;
    }
  }
  names->insert(names->end(), args.begin() + optind, args.end() - 1);
  return true;
}

}  // namespace convert3do
