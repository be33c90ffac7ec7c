// What the install check reads: the game folder's files to a fixed depth, and
// the icon files below VHud\icons.
#include <deque>

#include "check/folder.h"
#include "check/install.h"
#include "check/install_parts.h"

namespace check {

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return text;
}

FolderSearch SearchGameFolder(const std::string& folder) {
  struct Pending {
    std::string path;
    std::string relative;
    int depth;
  };
  FolderSearch search;
  std::deque<Pending> pending = {{folder, "", 0}};
  while (!pending.empty()) {
    const Pending at = pending.front();
    pending.pop_front();
    std::vector<FolderEntry> entries;
    std::string error;
    if (!ListFolder(at.path, &entries, &error)) {
      search.errors.push_back(at.path + ": " + error);
      search.readable = search.readable && at.depth != 0;
      continue;
    }
    for (const FolderEntry& e : entries) {
      const FoundFile found = {JoinPath(at.relative, e.name), JoinPath(at.path, e.name)};
      const std::string name = Lower(e.name);
      if (e.folder) {
        if (at.depth < kSearchDepth) {
          pending.push_back({found.path, found.relative, at.depth + 1});
        }
      } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".asi") == 0) {
        search.asi.push_back(found);
        if (name == "vhud.asi") {
          search.vhud.push_back(found);
        }
      } else if (at.depth == 0 && name == "quorvel_icons.log") {
        search.log = found.path;
      }
    }
  }
  return search;
}

bool FindIconFolder(const std::string& folder, FoundFile* icons, std::string* error) {
  FoundFile at = {"", folder};
  for (const char* part : {"VHud", "icons"}) {
    std::vector<FolderEntry> entries;
    if (!ListFolder(at.path, &entries, error)) {
      *error = (at.relative.empty() ? at.path : at.relative) + ": " + *error;
      return false;
    }
    bool found = false;
    for (const FolderEntry& e : entries) {
      if (e.folder && Lower(e.name) == Lower(part)) {
        at = {JoinPath(at.relative, e.name), JoinPath(at.path, e.name)};
        found = true;
        break;
      }
    }
    if (!found) {
      error->clear();
      return false;
    }
  }
  *icons = at;
  return true;
}

std::vector<FoundFile> IconFiles(const FoundFile& icons, const std::vector<FolderEntry>& entries,
                                 const char* stem) {
  std::vector<FoundFile> files;
  for (const FolderEntry& e : entries) {
    const std::string name = Lower(e.name);
    const size_t dot = name.rfind('.');
    if (!e.folder && name.substr(0, dot) == stem) {
      files.push_back({JoinPath(icons.relative, e.name), JoinPath(icons.path, e.name)});
    }
  }
  return files;
}

}  // namespace check
