#include "pipeline/path.h"

#include <gtest/gtest.h>

namespace tonvelo {
namespace {

// Plain names, "name." and names relative to a custom folder are covered by
// the conversion thread's output naming.
TEST(PathTest, SplitsIntoFolderTitleAndExtension) {
  struct Case {
    const char *path, *location, *title, *extension, *fileName;
  };
  for (const Case& c : {
           Case{"\"/music/rolls/song.mid\"", "/music/rolls/", "song", "mid", "song.mid"},
           Case{"song.mid", "", "song", "mid", "song.mid"},
           Case{"/music/a.tar.gz", "/music/", "a.tar", "gz", "a.tar.gz"},
           Case{"/music.v2/README", "/music.v2/", "README", "", "README"},
           Case{"/music/.profile", "/music/", "", "", ""},
           Case{"/music/rolls/", "/music/rolls/", "", "", ""},
           Case{"\"", "", "", "", ""},
           Case{"", "", "", "", ""},
       }) {
    const CPath p(c.path);
    EXPECT_EQ(p.GetLocation(), c.location) << c.path;
    EXPECT_EQ(p.GetTitle(), c.title) << c.path;
    EXPECT_EQ(p.GetExtension(), c.extension) << c.path;
    EXPECT_EQ(p.GetFullPath(), std::string(c.location) + c.fileName) << c.path;
  }
  // No fixed length limit.
  const std::string deep = "/" + std::string(300, 'd') + "/" + std::string(300, 't') + ".mid";
  EXPECT_EQ(CPath(deep).GetFullPath(), deep);
  EXPECT_EQ(CPath(deep).GetTitle(), std::string(300, 't'));
  for (const char* folder : {"", "/", "out/"}) EXPECT_EQ(CPath::AddBackslash(folder), folder);
  EXPECT_EQ(CPath::AddBackslash("out"), "out/");
}

// Routes down from a chosen folder are covered by the folder search.
TEST(PathTest, RelativeToABaseFolder) {
  struct Case {
    const char *path, *base, *route;
  };
  for (const Case& c : {
           Case{"/music/Rolls/song.mid", "/music/", "Rolls/song.mid"},
           Case{"/music/", "/music", ""}, Case{"/music/Other/", "/music/Rolls", "../Other/"},
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

}  // namespace
}  // namespace tonvelo
