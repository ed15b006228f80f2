#include "pipeline/path.h"

#include <gtest/gtest.h>

namespace tonvelo {
namespace {

// Plain names, "name." and custom folders are covered by the conversion
// thread's output naming, routes down from a chosen folder by the folder search.
TEST(PathTest, SplitsIntoFolderTitleAndExtensionAndFindsRoutes) {
  // clang-format off
  for (auto [path, location, title, extension, fileName] : {
           std::tuple{"\"/music/rolls/song.mid\"", "/music/rolls/", "song", "mid", "song.mid"},
           {"song.mid", "", "song", "mid", "song.mid"},
           {"/music.v2/a.tar.gz", "/music.v2/", "a.tar", "gz", "a.tar.gz"},
           {"/music/README", "/music/", "README", "", "README"},
           {"/music/.profile", "/music/", "", "", ""},
           {"\"", "", "", "", ""}}) {
    // clang-format on
    const CPath p(path);
    EXPECT_EQ(std::tuple(p.GetLocation(), p.GetTitle(), p.GetExtension(), p.GetFullPath()),
              std::tuple(location, title, extension, std::string(location) + fileName))
        << path;
  }
  // No fixed length limit.
  const std::string deep = "/" + std::string(300, 'd') + "/" + std::string(300, 't') + ".mid";
  EXPECT_EQ(std::tuple(CPath(deep).GetFullPath(), CPath(deep).GetTitle()),
            std::tuple(deep, std::string(300, 't')));
  for (const char* folder : {"", "/", "out/"}) EXPECT_EQ(CPath::AddBackslash(folder), folder);
  EXPECT_EQ(CPath::AddBackslash("out"), "out/");
  // clang-format off
  for (auto [path, base, route] : {std::tuple{"/music/", "/music", ""},
           {"/music/x.mid", "/music/Rolls/Sub", "../../x.mid"},
           {"/music//Rolls/", "/music", "Rolls/"},
           {"/musicals/", "/music", "../musicals/"},  // components, not characters
           {"Rolls/", "/music", ""},                  // a relative path has no route
           {"/music/Rolls/", "music", ""}}) {         // no common root
    // clang-format on
    EXPECT_EQ(CPath(path).GetRelativeTo(base), route) << path << " from " << base;
  }
  EXPECT_TRUE(CPath("Rolls/x.mid").IsRelative());
  EXPECT_FALSE(CPath("x.mid").IsRelative());
}

}  // namespace
}  // namespace tonvelo
