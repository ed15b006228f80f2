#include "pipeline/path.h"

#include <gtest/gtest.h>

namespace tonvelo {
namespace {

TEST(PathTest, SplitsIntoFolderTitleAndExtension) {
  struct Case {
    const char* path;
    const char* location;
    const char* title;
    const char* extension;
    const char* fileName;
  };
  for (const Case& c : {
           Case{"/music/rolls/song.mid", "/music/rolls/", "song", "mid", "song.mid"},
           Case{"\"/music/rolls/song.mid\"", "/music/rolls/", "song", "mid", "song.mid"},
           Case{"song.mid", "", "song", "mid", "song.mid"},
           Case{"/music/a.tar.gz", "/music/", "a.tar", "gz", "a.tar.gz"},
           Case{"/music.v2/README", "/music.v2/", "README", "", "README"},
           Case{"/music/song.", "/music/", "song", "", "song"},
           Case{"/music/.profile", "/music/", "", "", ""},
           Case{"/music/rolls/", "/music/rolls/", "", "", ""},
           Case{"\"", "", "", "", ""},
           Case{"", "", "", "", ""},
       }) {
    const CPath p(c.path);
    EXPECT_EQ(p.GetLocation(), c.location) << c.path;
    EXPECT_EQ(p.GetTitle(), c.title) << c.path;
    EXPECT_EQ(p.GetExtension(), c.extension) << c.path;
    EXPECT_EQ(p.GetFileName(), c.fileName) << c.path;
    EXPECT_EQ(p.GetFullPath(), std::string(c.location) + c.fileName) << c.path;
  }
  // No fixed length limit.
  const std::string deep = "/" + std::string(300, 'd') + "/" + std::string(300, 't') + ".mid";
  EXPECT_EQ(CPath(deep).GetFullPath(), deep);
  EXPECT_EQ(CPath(deep).GetTitle(), std::string(300, 't'));
}

TEST(PathTest, RelativeToABaseFolder) {
  struct Case {
    const char* path;
    const char* base;
    const char* route;
  };
  for (const Case& c : {
           Case{"/music/Rolls/", "/music", "Rolls/"}, Case{"/music/Rolls/", "/music/", "Rolls/"},
           Case{"/music/Rolls/Sub/", "/music", "Rolls/Sub/"},
           Case{"/music/Rolls/song.mid", "/music", "Rolls/song.mid"}, Case{"/music/", "/music", ""},
           Case{"/music/Other/", "/music/Rolls", "../Other/"},
           Case{"/music/x.mid", "/music/Rolls/Sub", "../../x.mid"},
           Case{"/music//Rolls/", "/music", "Rolls/"}, Case{"/music/", "/", "music/"},
           Case{"/musicals/", "/music", "../musicals/"},  // components, not characters
           Case{"Rolls/", "/music", ""},                  // a relative path has no route
           Case{"/music/Rolls/", "music", ""},            // no common root
       }) {
    EXPECT_EQ(CPath(c.path).GetRelativeTo(c.base), c.route) << c.path << " from " << c.base;
  }
  EXPECT_TRUE(CPath("Rolls/x.mid").IsRelative());
  EXPECT_FALSE(CPath("x.mid").IsRelative());
}

TEST(PathTest, AddBackslashAppendsTheSeparatorOnce) {
  EXPECT_EQ(CPath::AddBackslash(""), "");
  EXPECT_EQ(CPath::AddBackslash("out"), "out/");
  EXPECT_EQ(CPath::AddBackslash("out/"), "out/");
  EXPECT_EQ(CPath::AddBackslash("/"), "/");
}

}  // namespace
}  // namespace tonvelo
