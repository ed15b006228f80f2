#pragma once
// CPath: takes a path apart into folder, title and extension, puts the parts
// back together and expresses a path relative to a folder. The conversion
// thread derives output, accompaniment and tag paths from it; the folder
// search derives the sub-folders that a custom output folder mirrors.
// Paths are UTF-8 text with "/" as the separator, of any length.

#include <string>
#include <string_view>

namespace tonvelo {

constexpr char kPathSeparator = '/';

class CPath {
 public:
  // Enclosing quotation marks are removed before the path is split.
  explicit CPath(std::string_view path);
  virtual ~CPath() = default;

  const std::string& GetTitle() const { return title_; }
  const std::string& GetExtension() const { return extension_; }  // without its dot
  // The folder, ending in the separator when there is one.
  const std::string& GetLocation() const { return directory_; }
  std::string GetFileName() const;
  std::string GetFullPath() const;
  // Route from `baseFolder` to this path ("Rolls/Sub/" for a folder two levels
  // down, "../x.mid" for a sibling's file); empty for a relative path or when
  // the two share no root.
  std::string GetRelativeTo(std::string_view baseFolder) const;
  bool IsRelative() const { return relative_; }

  // Appends the separator unless `text` is empty or already ends in one.
  static std::string AddBackslash(std::string_view text);

 private:
  std::string path_;
  std::string directory_;
  std::string title_;
  std::string extension_;
  bool relative_ = false;
};

}  // namespace tonvelo
