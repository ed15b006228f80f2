#include "pipeline/folder_search.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

class FolderSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tonvelo_search_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string Touch(const std::string& relative) {
    const fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
    return p.string();
  }
  std::string At(const std::string& relative) const { return (root_ / relative).string(); }

  fs::path root_;
};

TEST(FolderSearchPatternTest, MatchesLikeWindowsWildcards) {
  EXPECT_TRUE(MatchesPattern("song.mid", "*.mid"));
  EXPECT_TRUE(MatchesPattern("SONG.MID", "*.mid"));
  EXPECT_TRUE(MatchesPattern("a.b.mid", "*.mid"));
  EXPECT_TRUE(MatchesPattern(".mid", "*.mid"));
  EXPECT_FALSE(MatchesPattern("song.midi", "*.mid"));
  EXPECT_FALSE(MatchesPattern("song.mid.bak", "*.mid"));
  EXPECT_TRUE(MatchesPattern("a1.pc", "a?.pc"));
  EXPECT_FALSE(MatchesPattern("a.pc", "a?.pc"));

  // Dropped files: the text from the last "." on, without case.
  EXPECT_TRUE(HasSupportedExtension("/x/song.MID"));
  EXPECT_TRUE(HasSupportedExtension("/x/song.Fil"));
  EXPECT_TRUE(HasSupportedExtension("/x/tune.pc"));
  EXPECT_FALSE(HasSupportedExtension("/x/notes.txt"));
  EXPECT_FALSE(HasSupportedExtension("/x.mid/README"));
  EXPECT_FALSE(HasSupportedExtension("/x/song.mid2"));
}

TEST_F(FolderSearchTest, OwnFilesBeforeSubFoldersInNameOrderSkippingDotFolders) {
  Touch("b.mid");
  Touch("A.MID");
  Touch(".hidden.mid");
  Touch("notes.txt");
  Touch("z/deep/c.mid");
  Touch("m/d.mid");
  Touch(".git/e.mid");
  fs::create_directory_symlink(root_, root_ / "m" / "loop");  // a cycle is searched once

  std::vector<std::string> found{"kept"};
  EXPECT_EQ(FindFilesRecursive(root_.string(), found, "*.mid"), 5u);
  EXPECT_EQ(found, (std::vector<std::string>{"kept", At(".hidden.mid"), At("A.MID"), At("b.mid"),
                                             At("m/d.mid"), At("z/deep/c.mid")}));
  EXPECT_EQ(FindFilesRecursive(root_.string(), found, "*.esq"), 0u);
  EXPECT_EQ(FindFilesRecursive(At("missing"), found, "*.mid"), 0u);
  EXPECT_EQ(found.size(), 6u);
}

TEST_F(FolderSearchTest, AddFolderMirrorsTheChosenFolderByName) {
  const std::string fil = Touch("Music/Rolls/a.fil");
  const std::string mid = Touch("Music/Rolls/Sub/b.mid");
  const std::string pc = Touch("Music/Rolls/c.pc");
  Touch("Music/outside.mid");
  for (const std::string& chosen : {At("Music/Rolls"), At("Music/Rolls/"), At("Music/./Rolls")}) {
    std::vector<FileEntry> entries;
    EXPECT_EQ(AddFolderEntries(chosen, entries), 3u) << chosen;
    ASSERT_EQ(entries.size(), 3u);
    // All "*.mid" matches come before the "*.fil" ones.
    EXPECT_EQ(entries[0].sourcePath, mid);
    EXPECT_EQ(entries[0].subFolder, "Rolls/Sub/");
    EXPECT_EQ(entries[1].sourcePath, fil);
    EXPECT_EQ(entries[1].subFolder, "Rolls/");
    EXPECT_EQ(entries[2].sourcePath, pc);
  }
  // A relative folder is resolved, so "." is mirrored under its real name.
  const fs::path cwd = fs::current_path();
  fs::current_path(At("Music/Rolls"));
  std::vector<FileEntry> entries;
  EXPECT_EQ(AddFolderEntries(".", entries), 3u);
  fs::current_path(cwd);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].sourcePath, mid);
  EXPECT_EQ(entries[0].subFolder, "Rolls/Sub/");

  fs::create_directories(At("Empty/Sub"));
  EXPECT_EQ(AddFolderEntries(At("Empty"), entries), 0u);
  EXPECT_EQ(entries.size(), 3u);
}

}  // namespace
}  // namespace tonvelo
