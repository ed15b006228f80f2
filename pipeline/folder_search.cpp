#include "pipeline/folder_search.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "pipeline/path.h"

namespace tonvelo {

namespace fs = std::filesystem;

namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

struct FolderListing {
  std::vector<std::string> names;    // every entry, sorted
  std::vector<std::string> folders;  // the entries that are folders, sorted
};

// directory_iterator order is whatever the file system gives; sorting keeps
// batches and their outputs reproducible. False when the listing failed or
// stopped early (`ec` tells why).
bool ListFolder(const std::string& folder, FolderListing& listing, std::error_code& ec) {
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    std::error_code typeEc;
    if (it->is_directory(typeEc)) listing.folders.push_back(name);
    listing.names.push_back(std::move(name));
  }
  std::sort(listing.names.begin(), listing.names.end());
  std::sort(listing.folders.begin(), listing.folders.end());
  return !ec;
}

// The real names of the folders under `folder`: those reached without passing
// through a link (and not hidden, as the search skips those).
void CollectRealFolders(const std::string& folder, std::set<std::string>& real) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(folder, ec);
  if (ec || !real.insert(canonical.string()).second) return;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkEc, typeEc;
    const std::string name = it->path().filename().string();
    if (it->is_symlink(linkEc) || !it->is_directory(typeEc) || name.front() == '.') continue;
    CollectRealFolders(CPath::AddBackslash(folder) + name, real);
  }
}

size_t Search(const std::string& folder, std::vector<std::string>& list, std::string_view pattern,
              const std::set<std::string>& realFolders, std::set<std::string>& visited,
              std::vector<UnreadableFolder>* unreadable) {
  // Links can make a tree a cycle; each real folder is searched once.
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec) {
    // Past the system's path length, for one: listed, yet out of reach.
    if (unreadable != nullptr) unreadable->push_back({folder, ec});
    return 0;
  }
  if (!visited.insert(real.string()).second) return 0;

  FolderListing listing;
  // What was listed before a failure is still searched.
  if (!ListFolder(folder, listing, ec) && unreadable != nullptr) {
    unreadable->push_back({folder, ec});
  }

  const std::string prefix = CPath::AddBackslash(folder);
  size_t count = 0;
  for (const std::string& name : listing.names) {
    if (!MatchesPattern(name, pattern)) continue;
    list.push_back(prefix + name);
    ++count;
  }
  for (const std::string& name : listing.folders) {
    if (name.front() == '.') continue;
    // A link to a folder that the tree also holds under its real name is left
    // out, wherever it sorts: the folder is searched under that name.
    const std::string sub = prefix + name;
    std::error_code linkEc, realEc;
    if (fs::is_symlink(sub, linkEc) &&
        realFolders.count(fs::canonical(sub, realEc).string()) != 0) {
      continue;
    }
    count += Search(sub, list, pattern, realFolders, visited, unreadable);
  }
  return count;
}

}  // namespace

std::string DescribeUnreadableFolder(const UnreadableFolder& folder) {
  return "Folder \"" + folder.path + "\" could not be searched (" + folder.error.message() +
         "); its files are left out.";
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  // Iterative match with one backtrack point: linear in practice, no recursion.
  size_t n = 0, p = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool HasSupportedExtension(std::string_view path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension = path.substr(dot);
  return std::any_of(kSupportedPatterns.begin(), kSupportedPatterns.end(),
                     [&](std::string_view p) { return MatchesPattern(extension, p.substr(1)); });
}

size_t FindFilesRecursive(const std::string& folder, std::vector<std::string>& list,
                          std::string_view pattern, std::vector<UnreadableFolder>* unreadable) {
  std::set<std::string> realFolders, visited;
  CollectRealFolders(folder, realFolders);
  return Search(folder, list, pattern, realFolders, visited, unreadable);
}

size_t AddFolderEntries(const std::string& folder, std::vector<FileEntry>& entries,
                        std::vector<UnreadableFolder>* unreadable) {
  // Sub-folders are routes between absolute paths, so relative input ("." or
  // "../Rolls") is resolved first; normalising also gives "." its real name.
  std::error_code ec;
  fs::path chosen = fs::absolute(folder, ec);
  if (ec) return 0;
  chosen = chosen.lexically_normal();
  std::string chosenText = chosen.string();
  while (chosenText.size() > 1 && chosenText.back() == kPathSeparator) chosenText.pop_back();

  std::vector<std::string> found;
  for (std::string_view pattern : kSupportedPatterns) {
    // Every pattern walks the same folders; one account of those it missed.
    FindFilesRecursive(chosenText, found, pattern,
                       pattern == kSupportedPatterns.front() ? unreadable : nullptr);
  }
  if (found.empty()) return 0;

  // Routes start at the chosen folder's parent so that they begin with its
  // name; a root, and a folder directly beneath one, are their own base.
  const fs::path chosenPath(chosenText);
  std::string base = chosenText;
  if (chosenPath.relative_path().has_parent_path()) base = chosenPath.parent_path().string();

  for (std::string& path : found) {
    const CPath file(path);
    std::string subFolder = CPath(file.GetLocation()).GetRelativeTo(base);
    subFolder.erase(0, subFolder.find_first_not_of('.'));
    entries.push_back({std::move(path), std::move(subFolder)});
  }
  return found.size();
}

}  // namespace tonvelo
