#include "pipeline/path.h"

#include <gtest/gtest.h>

namespace tonvelo {
namespace {

// Plain names and "name." are left to the conversion thread tests.
TEST(PathTest, SplitsIntoFolderTitleAndExtensionAndFindsRoutes) {
  // clang-format off
  for (auto [path, location, title, extension, fileName] : {
           std::tuple{"\"song.mid\"", "", "song", "mid", "song.mid"},
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
  for (const char* folder : {"", "/", "out/"}) EXPECT_EQ(CPath::AddBackslash(folder), folder);
  EXPECT_EQ(CPath::AddBackslash("out"), "out/");
  // Routes go by components: "/musicals/" is not below "/music".
  for (auto [path, base, route] : {std::tuple{"/music/", "/music", ""}, {"Rolls/", "/music", ""},
           {"/music//Rolls/x.mid", "/music", "Rolls/x.mid"}, {"/music/", "music", ""},
           {"/musicals/", "/music", "../musicals/"}}) {
    EXPECT_EQ(CPath(path).GetRelativeTo(base), route) << path << " from " << base;
  }
}

}  // namespace
}  // namespace tonvelo
