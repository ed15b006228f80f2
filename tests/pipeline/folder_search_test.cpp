#include "pipeline/folder_search.h"

#include <fstream>

#include "tests/audio/audio_test_support.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

class FolderSearchTest : public test::AudioTest {
 protected:
  std::string Touch(const std::string& relative) {
    fs::create_directories(Path(relative).parent_path());
    std::ofstream(Path(relative)) << "x";
    return At(relative);
  }
  std::string At(const std::string& relative) const { return Path(relative).string(); }
};

TEST(FolderSearchPatternTest, MatchesLikeWindowsWildcards) {
  struct Case {
    const char *name, *pattern;
    bool matches;
  };
  for (const Case& c : {Case{"song.mid", "*.mid", true}, Case{"SONG.MID", "*.mid", true},
                        Case{"a.b.mid", "*.mid", true}, Case{".mid", "*.mid", true},
                        Case{"song.midi", "*.mid", false}, Case{"song.mid.bak", "*.mid", false},
                        Case{"a1.pc", "a?.pc", true}, Case{"a.pc", "a?.pc", false}}) {
    EXPECT_EQ(MatchesPattern(c.name, c.pattern), c.matches) << c.name << " " << c.pattern;
  }
  // Dropped files: the text from the last "." on, without case.
  for (const char* path : {"/x/song.MID", "/x/song.Fil", "/x/tune.pc"}) {
    EXPECT_TRUE(HasSupportedExtension(path)) << path;
  }
  for (const char* path : {"/x/notes.txt", "/x.mid/README", "/x/song.mid2"}) {
    EXPECT_FALSE(HasSupportedExtension(path)) << path;
  }
}

TEST_F(FolderSearchTest, OwnFilesBeforeSubFoldersInNameOrderSkippingDotFolders) {
  for (const char* name :
       {"b.mid", "A.MID", ".hidden.mid", "notes.txt", "z/deep/c.mid", "m/d.mid", ".git/e.mid"}) {
    Touch(name);
  }
  fs::create_directory_symlink(dir_, Path("m/loop"));    // a cycle is searched once
  fs::create_directory_symlink(Path("z"), Path("a_z"));  // under its real name only

  std::vector<std::string> found{"kept"};
  EXPECT_EQ(FindFilesRecursive(dir_.string(), found, "*.mid"), 5u);
  EXPECT_EQ(found, (std::vector<std::string>{"kept", At(".hidden.mid"), At("A.MID"), At("b.mid"),
                                             At("m/d.mid"), At("z/deep/c.mid")}));
  EXPECT_EQ(FindFilesRecursive(dir_.string(), found, "*.esq"), 0u);
  EXPECT_EQ(FindFilesRecursive(At("missing"), found, "*.mid"), 0u);
  EXPECT_EQ(found.size(), 6u);
  std::vector<UnreadableFolder> unreadable;
  EXPECT_EQ(FindFilesRecursive(At(std::string(4100, 'd')), found, "*.mid", &unreadable), 0u);
  EXPECT_EQ(DescribeUnreadableFolder(unreadable.at(0)),
            "Folder \"" + At(std::string(4100, 'd')) +
                "\" could not be searched (File name too long); its files are left out.");
}

TEST_F(FolderSearchTest, AddFolderMirrorsTheChosenFolderByName) {
  const std::string fil = Touch("Music/Rolls/a.fil");
  const std::string mid = Touch("Music/Rolls/Sub/b.mid");
  const std::string pc = Touch("Music/Rolls/c.pc");
  Touch("Music/outside.mid");
  // A relative folder is resolved, so "." is mirrored under its real name.
  const fs::path cwd = fs::current_path();
  fs::current_path(At("Music/Rolls"));
  for (const std::string& chosen :
       {At("Music/Rolls"), At("Music/Rolls/"), At("Music/./Rolls"), std::string(".")}) {
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
  fs::current_path(cwd);

  std::vector<FileEntry> entries{{"kept", ""}};
  fs::create_directories(At("Empty/Sub"));
  EXPECT_EQ(AddFolderEntries(At("Empty"), entries), 0u);
  EXPECT_EQ(entries.size(), 1u);
}

}  // namespace
}  // namespace tonvelo
