#pragma once
// One file of a batch, as the front ends list it.

#include <string>

namespace tonvelo {

struct FileEntry {
  std::string sourcePath;
  // Where a folder search found the file, relative to the searched folder's
  // parent and ending in the separator ("Rolls/Sub/"); empty for files added
  // one by one. A custom output folder mirrors it.
  std::string subFolder;
};

}  // namespace tonvelo
