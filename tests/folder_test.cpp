// Temporary files and opened folders: what a batch relies on to never leave a
// partial file under a final name, nor replace what it was not asked to.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli/common/temporary.h"

namespace convert3do {
namespace {

class FolderTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/3do-folder-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    path_ = name;
    ASSERT_EQ(openFolder(path_, &folder_), 0);
  }
  void TearDown() override { (void)std::system(("rm -rf " + path_).c_str()); }

  bool exists(const std::string& name) const {
    return identifyAt(folder_, name.c_str(), false).known;
  }
  void write(const std::string& name, const char* text) const {
    std::FILE* file = std::fopen((path_ + "/" + name).c_str(), "w");
    ASSERT_NE(file, nullptr);
    (void)std::fputs(text, file);
    (void)std::fclose(file);
  }

  std::string path_;
  Folder folder_;
  TemporaryFiles files_;
};

TEST_F(FolderTest, TemporaryFileGoesUnlessCommitted) {
  std::string name;
  {
    TemporaryFile temporary(files_.newShare());
    ASSERT_EQ(temporary.create(folder_, "m.3do", 0600), 0);
    name = temporary.name();
    EXPECT_TRUE(exists(name));
  }
  EXPECT_FALSE(exists(name));
  TemporaryFile kept(files_.newShare());
  ASSERT_EQ(kept.create(folder_, "m.3do", 0600), 0);
  ASSERT_EQ(kept.commit("m.3do", false), 0);
  EXPECT_TRUE(exists("m.3do"));
  EXPECT_FALSE(exists(kept.name()));
}

TEST_F(FolderTest, CommitReplacesOnlyWhenAsked) {
  write("m.3do", "theirs");
  TemporaryFile temporary(files_.newShare());
  ASSERT_EQ(temporary.create(folder_, "m.3do", 0600), 0);
  EXPECT_EQ(temporary.commit("m.3do", false), EEXIST);
  EXPECT_EQ(identifyAt(folder_, "m.3do", false).size, 6);  // still theirs
  TemporaryFile forced(files_.newShare());
  ASSERT_EQ(forced.create(folder_, "m.3do", 0600), 0);
  EXPECT_EQ(forced.commit("m.3do", true), 0);
  EXPECT_EQ(identifyAt(folder_, "m.3do", false).size, 0);
}

// A file made without a name (where the system can) shows nowhere until it
// is committed, and a commit never replaces what is there.
TEST_F(FolderTest, UnnamedFileAppearsOnlyWhenCommitted) {
  write("theirs.3do", "theirs");
  const auto entries = [this]() {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names += entry.path().filename().string() + " ";
    }
    return names;
  };
  for (int round = 0; round < 3; ++round) {  // the first finds how to link
    const std::string mine = "m" + std::to_string(round) + ".3do";
    TemporaryFile clash(files_.newShare());
    ASSERT_EQ(clash.createUnnamed(folder_, "theirs.3do", 0600), 0);
    EXPECT_EQ(clash.commit("theirs.3do", false), EEXIST);
    EXPECT_EQ(identifyAt(folder_, "theirs.3do", false).size, 6);
    TemporaryFile temporary(files_.newShare());
    ASSERT_EQ(temporary.createUnnamed(folder_, mine, 0600), 0);
    ASSERT_EQ(::write(temporary.fd(), "ours", 4), 4);
    EXPECT_EQ(temporary.commit(mine, false), 0);
    EXPECT_EQ(identifyAt(folder_, mine.c_str(), false).size, 4);
    TemporaryFile dropped(files_.newShare());
    ASSERT_EQ(dropped.createUnnamed(folder_, "gone.3do", 0600), 0);
  }
  EXPECT_EQ(entries().size(), std::string("theirs.3do m0.3do m1.3do m2.3do ").size()) << entries();
  TemporaryFile late(files_.newShare());
  ASSERT_EQ(late.createUnnamed(folder_, "late.3do", 0600), 0);
  files_.stop();
  EXPECT_EQ(late.commit("late.3do", false), EINTR);
  EXPECT_FALSE(exists("late.3do"));
}

// What the commit's check says: 0 keeps the name given, an errno takes it
// back, whether the file had a name before or not, replacing or not.
TEST_F(FolderTest, CommitTakesItsNameBackWhenTheCheckSaysSo) {
  struct Case {
    bool unnamed;
    bool replace;
    int check;
  };
  for (const Case c : {Case{false, false, 0}, Case{false, false, ESTALE}, Case{true, false, 0},
                       Case{true, false, ESTALE}, Case{false, true, ESTALE}, Case{true, true, 0},
                       Case{true, true, ESTALE}}) {
    SCOPED_TRACE(std::to_string(c.unnamed) + std::to_string(c.replace) + std::to_string(c.check));
    TemporaryFile temporary(files_.newShare());
    ASSERT_EQ(c.unnamed ? temporary.createUnnamed(folder_, "m.3do", 0600)
                        : temporary.create(folder_, "m.3do", 0600),
              0);
    struct Seen {
      int check;
      bool named;
      const Folder* folder;
    } seen{c.check, false, &folder_};
    const auto check = [](void* context) {
      Seen& s = *static_cast<Seen*>(context);
      s.named = identifyAt(*s.folder, "m.3do", false).known;  // named before the check
      return s.check;
    };
    EXPECT_EQ(temporary.commit("m.3do", c.replace, check, &seen), c.check);
    EXPECT_TRUE(seen.named);
    EXPECT_EQ(exists("m.3do"), c.check == 0);
    std::vector<std::string> names;
    ASSERT_EQ(listFolder(folder_, &names), 0);
    EXPECT_EQ(names.size(), c.check == 0 ? 1u : 0u);  // nothing else left
    (void)removeAt(folder_, "m.3do");
  }
}

// A file made without a name replaces what is there when asked, and leaves
// nothing else behind.
TEST_F(FolderTest, UnnamedFileReplacesWhenAsked) {
  for (int round = 0; round < 2; ++round) {  // the first finds how to link
    write("m.3do", "theirs");
    TemporaryFile temporary(files_.newShare());
    ASSERT_EQ(temporary.createUnnamed(folder_, "m.3do", 0600), 0);
    ASSERT_EQ(::write(temporary.fd(), "ours", 4), 4);
    EXPECT_EQ(temporary.commit("m.3do", true), 0);
    EXPECT_EQ(identifyAt(folder_, "m.3do", false).size, 4);
    std::vector<std::string> names;
    ASSERT_EQ(listFolder(folder_, &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"m.3do"});
  }
}

TEST_F(FolderTest, CaseProbeLeavesNothing) {
  bool folds = true;
  ASSERT_EQ(probeCaseFolding(folder_, &folds), 0);
  EXPECT_FALSE(folds);  // /tmp here tells names apart by case
  std::vector<std::string> names;
  ASSERT_EQ(listFolder(folder_, &names), 0);
  EXPECT_TRUE(names.empty());
}

TEST_F(FolderTest, StopRemovesLiveFilesAndMakesNoMore) {
  TemporaryFile a(files_.newShare());
  TemporaryFile b(files_.newShare());
  ASSERT_EQ(a.create(folder_, "a.3do", 0600), 0);
  ASSERT_EQ(b.create(folder_, "b.3do", 0600), 0);
  files_.stop();
  EXPECT_FALSE(exists(a.name()));
  EXPECT_FALSE(exists(b.name()));
  EXPECT_EQ(a.commit("a.3do", false), EINTR);
  EXPECT_FALSE(exists("a.3do"));
  TemporaryFile late(files_.newShare());
  EXPECT_EQ(late.create(folder_, "c.3do", 0600), EINTR);
}

TEST_F(FolderTest, BeneathFollowsNoSymlink) {
  ASSERT_EQ(mkdir((path_ + "/real").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", (path_ + "/link").c_str()), 0);
  Folder below;
  EXPECT_EQ(openFolderBeneath(folder_, "real", &below), 0);
  EXPECT_NE(openFolderBeneath(folder_, "link", &below), 0);
  EXPECT_NE(openFolderBeneath(folder_, "link/.", &below), 0);
}

TEST_F(FolderTest, ListingSaysWhatEachEntryIs) {
  write("m.3do", "x");
  ASSERT_EQ(mkdir((path_ + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("m.3do", (path_ + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((path_ + "/fifo").c_str(), 0600), 0);
  std::vector<std::string> names;
  std::vector<EntryKind> kinds;
  ASSERT_EQ(listFolder(folder_, &names, &kinds), 0);
  ASSERT_EQ(names.size(), kinds.size());
  std::map<std::string, EntryKind> listed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    listed[names[i]] = kinds[i];
  }
  const std::map<std::string, EntryKind> expected = {{"m.3do", EntryKind::File},
                                                     {"sub", EntryKind::Folder},
                                                     {"link", EntryKind::Symlink},
                                                     {"fifo", EntryKind::Other}};
  EXPECT_EQ(listed.size(), expected.size());  // no "." nor ".."
  for (const auto& entry : expected) {
    ASSERT_EQ(listed.count(entry.first), 1u) << entry.first;
    // Where the file system does not say, the walk looks for itself.
    const EntryKind kind = listed[entry.first];
    EXPECT_TRUE(kind == entry.second || kind == EntryKind::Unknown) << entry.first;
  }
}

}  // namespace
}  // namespace convert3do
#endif
