// 3do convert's plan, below its command line: the refusals it makes before
// any worker starts (an output that is an input, two inputs with one output,
// a folder where an output goes, a file named twice), what it leaves to the
// workers, the leftover names a walk warns of, the walk's order, and the
// argument reader. (Folders made below -d DIR are a worker's: see the
// command-line tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/3do/arguments.h"
#include "cli/3do/convert_options.h"
#include "cli/3do/convert_plan.h"
#include "cli/3do/tree_folder.h"
#include "cli/common/exit_status.h"

namespace convert3do {
namespace {

namespace fs = std::filesystem;

// A scratch folder, removed with what is in it.
class Scratch {
 public:
  Scratch() {
    static int made = 0;
    std::error_code failed;
    const fs::path base = fs::temp_directory_path(failed);
    for (int tries = 0; tries < 100 && root_.empty(); ++tries) {
      const fs::path root =
          base / ("convert3do-plan-" + std::to_string(std::rand()) + "-" + std::to_string(++made));
      if (fs::create_directory(root, failed)) {
        root_ = root.generic_string();
      }
    }
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // The path of name below the folder, with "$" standing for the folder.
  std::string path(const std::string& name) const {
    return name.rfind('$', 0) == 0 ? root_ + name.substr(1) : name;
  }
  // Makes what an entry names: a folder ("name/") or a model file.
  void make(const std::string& entry) const {
    if (entry.back() == '/') {
      fs::create_directories(path(entry));
    } else {
      fs::create_directories(fs::path(path(entry)).parent_path());
      std::ofstream(path(entry), std::ios::binary) << std::string("4OD3\1\0\0\0\0\0\0\0", 12);
    }
  }

 private:
  std::string root_;
};

// What the plan made of one job: its input as shown, and its report when
// the plan decided it.
struct Planned {
  std::string input;
  bool decided;
  Verdict verdict;
  int status;
  std::string message;
};

std::vector<Planned> planOf(const Scratch& scratch, const std::vector<std::string>& args) {
  std::vector<std::string> words;
  for (const std::string& arg : args) {
    words.push_back(scratch.path(arg));
  }
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  ConvertOptions options;
  EXPECT_EQ(parseConvertOptions(static_cast<int>(argv.size()), argv.data(), &options), -1);
  Plan plan;
  if (options.destination == Destination::Folder) {
    EXPECT_EQ(openOutputRoot(options, plan), 0);
  }
  makePlan(options, plan);
  std::vector<Planned> found;
  for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
    const Report& r = plan.outcomes[i].report;
    std::string shown = shownInput(plan.jobs[i]);
#ifdef _WIN32
    std::replace(shown.begin(), shown.end(), '\\', '/');  // a walk there joins with a backslash
#endif
    if (shown.rfind(scratch.path("$"), 0) == 0) {
      shown = "$" + shown.substr(scratch.path("$").size());
    }
    found.push_back({shown, plan.jobs[i].decided, r.verdict, r.status, r.message});
  }
  return found;
}

struct PlanCase {
  const char* what;
  std::vector<std::string> made;
  std::vector<std::string> args;
  // Each job: its input, and for one the plan decides, its verdict, status
  // and words its message holds ("" for a job left to a worker).
  struct Expected {
    const char* input;
    Verdict verdict;
    int status;
    const char* words;
  };
  std::vector<Expected> jobs;
};

constexpr Verdict kLeft = Verdict::Converted;  // not decided by the plan

TEST(Plan, RefusesBeforeAnyWorkerStarts) {
  const std::vector<PlanCase> cases = {
      {"an output named as the input",
       {"$/a.3do"},
       {"-o", "$/a.3do", "$/a.3do"},
       {{"$/a.3do", Verdict::Refused, kExitUsage, "is one of the inputs"}}},
      {"two inputs with one output",
       {"$/one/m.3do", "$/two/m.3do"},
       {"-d", "$/out", "$/one/m.3do", "$/two/m.3do"},
       {{"$/one/m.3do", Verdict::Refused, kExitUsage, "another input's output too"},
        {"$/two/m.3do", Verdict::Refused, kExitUsage, "another input's output too"}}},
      {"a folder where the output goes",
       {"$/m.3do", "$/out/m.3do/"},
       {"-d", "$/out", "$/m.3do"},
       {{"$/m.3do", Verdict::Refused, kExitUsage, "is a folder"}}},
      {"one file named twice",
       {"$/a.3do"},
       {"-d", "$/out", "$/a.3do", "$/a.3do"},
       {{"$/a.3do", kLeft, kExitOk, ""},
        {"$/a.3do", Verdict::Skipped, kExitOk, "named before; dealt with once"}}},
      {"one file named twice in place",
       {"$/a.3do"},
       {"--in-place", "$/a.3do", "$/a.3do"},
       {{"$/a.3do", kLeft, kExitOk, ""},
        {"$/a.3do", Verdict::Skipped, kExitOk, "named before; dealt with once"}}},
      {"the output folder inside the tree walked is not walked",
       {"$/tree/m.3do", "$/tree/out/tree/old.3do"},
       {"-r", "-d", "$/tree/out", "$/tree"},
       {{"$/tree/m.3do", kLeft, kExitOk, ""}}},
      {"an existing output is left to the worker (--force, or the same bytes)",
       {"$/m.3do", "$/out/m.3do"},
       {"-d", "$/out", "$/m.3do"},
       {{"$/m.3do", kLeft, kExitOk, ""}}},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch scratch;
    for (const std::string& entry : c.made) {
      scratch.make(entry);
    }
    const std::vector<Planned> found = planOf(scratch, c.args);
    ASSERT_EQ(found.size(), c.jobs.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      const PlanCase::Expected& want = c.jobs[i];
      EXPECT_EQ(found[i].input, want.input);
      EXPECT_EQ(found[i].decided, *want.words != '\0') << found[i].message;
      if (found[i].decided) {
        EXPECT_EQ(found[i].verdict, want.verdict);
        EXPECT_EQ(found[i].status, want.status);
        EXPECT_NE(found[i].message.find(want.words), std::string::npos) << found[i].message;
      }
    }
  }
}

TEST(Plan, KnowsItsOwnLeftoversByName) {
  const struct {
    const char* name;
    bool leftOver;
  } cases[] = {
      {".m.3do.0123abcd.tmp", true},
      {".a.0123456789abcdef.tmp", true},
      {"m.3do.0123abcd.tmp", false},  // not hidden
      {".m.3do.0123.tmp", false},     // too few digits
      {".m.3do.0123ABCD.tmp", false},
      {".m.3do.0123abcd.tmp~", false},
      {".0123abcd.tmp", false},
      {".tmp", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isLeftOver(c.name), c.leftOver) << c.name;
  }
}

TEST(Plan, WalksEachFolderInTheOrderOfTheFullNames) {
  // A folder's name counts as though followed by '/': "a.3do" ('.' 0x2E)
  // before the folder "a" ("a/", '/' 0x2F) before "a0.3do" ('0' 0x30).
  const struct {
    const char* a;
    bool aFolder;
    const char* b;
    bool bFolder;
    bool before;
  } cases[] = {
      {"a.3do", false, "a", true, true},       {"a", true, "a0.3do", false, true},
      {"a", true, "a.3do", false, false},      {"a", false, "a", true, true},
      {"b.3do", false, "a.3do", false, false}, {"a", true, "a", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(walkedBefore(c.a, c.aFolder, c.b, c.bFolder), c.before) << c.a << " " << c.b;
  }
}

#ifndef _WIN32  // where folders are acted on by path, a path is where it is
// An opened output folder is where the plan put it only while its name in
// its parent, and its parent's up to the start, still lead to it.
TEST(TreeFolder, StillInPlaceSeesEveryWayAFolderLeaves) {
  const std::vector<std::pair<const char*, void (*)(const Scratch&)>> changes = {
      {"left alone", [](const Scratch&) {}},
      {"renamed in its parent",
       [](const Scratch& s) { fs::rename(s.path("$/a/b"), s.path("$/a/c")); }},
      {"its parent moved",
       [](const Scratch& s) { fs::rename(s.path("$/a"), s.path("$/elsewhere")); }},
      {"a symlink put in its place",
       [](const Scratch& s) {
         fs::rename(s.path("$/a/b"), s.path("$/a/c"));
         fs::create_directory_symlink("c", s.path("$/a/b"));
       }},
      {"its parent replaced, it moved into the new one",
       [](const Scratch& s) {
         fs::rename(s.path("$/a"), s.path("$/old"));
         fs::create_directory(s.path("$/a"));
         fs::rename(s.path("$/old/b"), s.path("$/a/b"));
       }},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.first);
    const Scratch scratch;
    scratch.make("$/a/b/");
    Folder root;
    Folder a;
    Folder b;
    ASSERT_EQ(openFolder(scratch.path("$"), &root), 0);
    ASSERT_EQ(openFolder(scratch.path("$/a"), &a), 0);
    ASSERT_EQ(openFolder(scratch.path("$/a/b"), &b), 0);
    TreeFolder top;
    top.output = keyOf(identifyFolder(root));
    TreeFolder placeA;
    placeA.parent = &top;
    placeA.name = "a";
    placeA.depth = 1;
    placeA.output = keyOf(identifyFolder(a));
    TreeFolder placeB;
    placeB.parent = &placeA;
    placeB.name = "b";
    placeB.depth = 2;
    placeB.output = keyOf(identifyFolder(b));
    change.second(scratch);
    EXPECT_EQ(stillInPlace(b, placeB, Side::Output), change.first[0] == 'l' ? 0 : ESTALE);
  }
}
#endif

TEST(Arguments, AreReadAsGetoptLongReadsThem) {
  const std::vector<OptionRule> rules = {
      {"recursive", 'r', false, 'r'}, {"jobs", 'j', true, 'j'},      {"output-dir", 'd', true, 'd'},
      {"force", 'f', false, 'f'},     {"summary", '\0', false, 's'},
  };
  const struct {
    std::vector<std::string> argv;
    bool ok;
    std::string taken;  // each option as id=value, in order
    std::vector<std::string> names;
  } cases[] = {
      {{"-rf", "a"}, true, "r f ", {"a"}},
      {{"-j2", "-j", "3", "--jobs=4", "--jobs", "5"}, true, "j=2 j=3 j=4 j=5 ", {}},
      {{"a", "-dout", "b", "--summary"}, true, "d=out s ", {"a", "b"}},
      {{"--output-d", "x", "a"}, true, "d=x ", {"a"}},  // a unique prefix
      {{"--", "-r", "a"}, true, "", {"-r", "a"}},
      {{"-x"}, false, "", {}},
      {{"-j"}, false, "", {}},
      {{"--summary=yes"}, false, "", {}},
      {{"--nosuch"}, false, "", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = c.argv;
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(&word[0]);
    }
    std::string taken;
    std::vector<std::string> names;
    ::testing::internal::CaptureStderr();
    const bool ok = readArguments(
        "convert", static_cast<int>(argv.size()), argv.data(), rules,
        [&taken](int id, const char* value) {
          taken += static_cast<char>(id);
          taken += value != nullptr ? std::string("=") + value + " " : std::string(" ");
          return true;
        },
        &names);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, c.ok) << c.argv[0];
    EXPECT_EQ(said.empty(), c.ok) << said;
    if (c.ok) {
      EXPECT_EQ(taken, c.taken);
      EXPECT_EQ(names, c.names);
    }
  }
}

}  // namespace
}  // namespace convert3do
