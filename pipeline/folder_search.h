#pragma once
// Recursive folder search and the "Add Folder" rule that turns a searched
// folder into batch entries whose sub-folders mirror the tree under a custom
// output folder. Used by the command line and the desktop front end alike.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "pipeline/file_entry.h"

namespace tonvelo {

// Searched in this order, so all MIDI files of a tree precede its ESEQ files.
constexpr std::array<std::string_view, 5> kSupportedPatterns{"*.mid", "*.fil", "*.esq", "*.evt",
                                                             "*.pc"};
constexpr const char* kNoSupportedFilesMessage = "No supported files found in that location";

// A folder whose entries could not be listed, and why; its files (and those
// of its sub-folders) are missing from the search.
struct UnreadableFolder {
  std::string path;
  std::error_code error;
};
// "Folder \"...\" could not be searched (reason); its files are left out."
std::string DescribeUnreadableFolder(const UnreadableFolder& folder);

// Windows-style wildcard match ('*' any run, '?' one character), ASCII letters
// compared without case.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// True when the text from the path's last "." on is one of the supported
// extensions, ignoring case: the rule for files dropped on the window.
bool HasSupportedExtension(std::string_view path);

// Appends every entry of `folder` and its sub-folders whose name matches
// `pattern` (whatever its type) and returns how many were appended. A folder's
// own matches come before its sub-folders' and entries are taken in name
// order; sub-folders whose names begin with "." are not searched, and a folder
// reached twice through links is searched once, under its real name when the
// tree holds it. A folder that cannot be read contributes nothing and is
// added to `unreadable` when given; the search goes on with the others.
size_t FindFilesRecursive(const std::string& folder, std::vector<std::string>& list,
                          std::string_view pattern,
                          std::vector<UnreadableFolder>* unreadable = nullptr);

// "Add Folder": searches `folder` for every supported pattern in turn and
// appends one entry per file found, its sub-folder starting with the searched
// folder's own name ("Rolls/", "Rolls/Sub/"). Entry paths are absolute.
// Returns the number of entries appended; 0 means nothing was found (the
// caller reports kNoSupportedFilesMessage). Folders that could not be read
// are added to `unreadable` once each, when given.
size_t AddFolderEntries(const std::string& folder, std::vector<FileEntry>& entries,
                        std::vector<UnreadableFolder>* unreadable = nullptr);

}  // namespace tonvelo
