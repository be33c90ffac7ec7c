// quorvel-check --game FOLDER: the player's install in the game folder, in
// the order a player fixes things: VHud, the plug-in's copies, the copy's
// identity, the icons, the log. One verdict line per finding ("ok:",
// "act:" with advice, or "error:"); the exit code is the highest finding's.
// It reads only.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "check/command.h"
#include "platform/copy_mark.h"

namespace check {

// VHud.asi and the plug-in's copies are looked for in the game folder and in
// this many levels of folders below it.
constexpr int kSearchDepth = 2;

// The plug-in built with this checker: its version and the SHA-256 of its
// file (empty when the checker was built without it).
struct BuiltPlugin {
  CopyVersion version;
  std::string sha256;
};
BuiltPlugin ThisBuildsPlugin();

struct FoundFile {
  std::string relative;  // below the game folder
  std::string path;
};

struct FolderSearch {
  std::vector<FoundFile> vhud;      // files named VHud.asi (any case), shallowest first
  std::vector<FoundFile> asi;       // every .asi file, shallowest first
  std::vector<std::string> errors;  // one line per folder that could not be read
  std::string log;                  // the game folder's Quorvel_Icons.log, or empty
  bool readable = true;             // false: the game folder itself cannot be read
};

// The game folder and its folders to kSearchDepth levels.
FolderSearch SearchGameFolder(const std::string& folder);

// The install check of `folder`, its report appended to result->out.
void CheckInstall(const std::string& folder, const BuiltPlugin& plugin, CommandOutput* result);

}  // namespace check
