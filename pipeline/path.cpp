#include "pipeline/path.h"

#include <vector>

namespace tonvelo {

namespace {

// Components of a path, empty ones (from doubled separators) skipped.
std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(kPathSeparator, start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == kPathSeparator; }

}  // namespace

CPath::CPath(std::string_view path) {
  std::string text(path);
  // The shell's unquoting: a path both starting and ending with a quotation
  // mark loses the two (a lone mark counts as both).
  if (!text.empty() && text.front() == '"' && text.back() == '"') {
    text = text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string();
  }
  if (text.empty()) return;

  const size_t slash = text.rfind(kPathSeparator);
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  directory_ = text.substr(0, nameStart);
  relative_ = !directory_.empty() && directory_.front() != kPathSeparator;

  const std::string_view name = std::string_view(text).substr(nameStart);
  const size_t dot = name.rfind('.');
  title_ = std::string(name.substr(0, dot));
  // ".profile" is all extension and no title; such a name keeps neither.
  if (!title_.empty() && dot != std::string_view::npos) extension_ = name.substr(dot + 1);
}

std::string CPath::GetFileName() const {
  if (extension_.empty()) return title_;
  return title_ + "." + extension_;
}

std::string CPath::GetFullPath() const { return directory_ + GetFileName(); }

std::string CPath::GetRelativeTo(std::string_view baseFolder) const {
  if (relative_) return {};
  // Paths can only be related through a common root.
  if (!IsAbsolute(baseFolder) || !IsAbsolute(directory_)) return {};

  const std::vector<std::string_view> from = SplitComponents(baseFolder);
  const std::vector<std::string_view> to = SplitComponents(directory_);
  size_t common = 0;
  while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;

  std::string route;
  if (common == from.size()) {
    route = ".";
  } else {
    for (size_t i = common; i < from.size(); ++i) {
      if (i > common) route += kPathSeparator;
      route += "..";
    }
  }
  route += kPathSeparator;
  for (size_t i = common; i < to.size(); ++i) {
    route += to[i];
    route += kPathSeparator;
  }
  route += GetFileName();

  // A route that stays below the base reads "Rolls/", not "./Rolls/".
  if (route.size() > 1 && route[0] == '.' && route[1] == kPathSeparator) route.erase(0, 2);
  return route;
}

std::string CPath::AddBackslash(std::string_view text) {
  std::string out(text);
  if (!out.empty() && out.back() != kPathSeparator) out += kPathSeparator;
  return out;
}

}  // namespace tonvelo
