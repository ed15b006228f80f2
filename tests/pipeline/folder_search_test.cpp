#include "pipeline/folder_search.h"

#include <fstream>

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

class FolderSearchTest : public AudioTest {
 protected:
  std::string At(const std::string& relative) const { return Path(relative).string(); }
  std::string Touch(const std::string& relative) {
    fs::create_directories(Path(relative).parent_path());
    std::ofstream(Path(relative)) << "x";
    return At(relative);
  }
};

// Windows wildcards without case; dropped files by the text from the last "." on.
TEST(FolderSearchPatternTest, MatchesLikeWindowsWildcards) {
  for (auto [name, pattern, matches] : {std::tuple{"a.b.MID", "*.mid", true},
           {".mid", "*.mid", true}, {"a.mid.bak", "*.mid", false}, {"a1.pc", "a?.pc", true},
           {"a.pc", "a?.pc", false}}) {
    EXPECT_EQ(MatchesPattern(name, pattern), matches) << name << " " << pattern;
  }
  EXPECT_EQ(std::tuple(HasSupportedExtension("/x/tune.pc"), HasSupportedExtension("/x.mid/README"),
                       HasSupportedExtension("/x/song.mid2")), std::tuple(true, false, false));
}

// Own files, then sub-folders, by name; no dot folders; links to folders searched once.
TEST_F(FolderSearchTest, OwnFilesBeforeSubFoldersInNameOrderSkippingDotFolders) {
  for (const char* name :
       {"b.mid", "A.MID", ".hidden.mid", "notes.txt", "z/deep/c.mid", "m/d.mid", ".git/e.mid"}) {
    Touch(name);
  }
  fs::create_directory_symlink(dir_, Path("m/loop"));
  fs::create_directory_symlink(Path("z"), Path("a_z"));
  std::vector<std::string> found{"kept"};
  EXPECT_EQ(FindFilesRecursive(dir_.string(), found, "*.mid"), 5u);
  EXPECT_EQ(found, (std::vector<std::string>{"kept", At(".hidden.mid"), At("A.MID"), At("b.mid"),
                                             At("m/d.mid"), At("z/deep/c.mid")}));
  EXPECT_EQ(FindFilesRecursive(At("missing"), found, "*.mid"), 0u);  // the command tests tell
}

// "*.mid" before "*.fil", with routes from the chosen folder's parent; "." by its real name.
TEST_F(FolderSearchTest, AddFolderMirrorsTheChosenFolderByName) {
  const std::string fil = Touch("Music/Rolls/a.fil"), mid = Touch("Music/Rolls/Sub/b.mid"),
                    pc = Touch("Music/Rolls/c.pc");
  Touch("Music/outside.mid");
  const fs::path cwd = fs::current_path();
  fs::current_path(At("Music/Rolls"));
  for (const std::string& chosen :
       {At("Music/Rolls"), At("Music/Rolls/"), At("Music/./Rolls"), std::string(".")}) {
    std::vector<FileEntry> entries;
    EXPECT_EQ(AddFolderEntries(chosen, entries), 3u) << chosen;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(std::tie(entries[0].sourcePath, entries[0].subFolder), std::tie(mid, "Rolls/Sub/"));
    EXPECT_EQ(std::tie(entries[1].sourcePath, entries[1].subFolder), std::tie(fil, "Rolls/"));
    EXPECT_EQ(entries[2].sourcePath, pc);
  }
  fs::current_path(cwd);
}

}  // namespace
}  // namespace tonvelo::test
