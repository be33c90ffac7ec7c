// The install check's own helpers, shared by its two source files.
#pragma once

#include <string>
#include <vector>

#include "check/folder.h"
#include "check/install.h"

namespace check {

std::string Lower(std::string text);

// FOLDER/VHud/icons, its names matched in any case. False with an empty
// *error when it does not exist, with a one-line reason when a folder on the
// way cannot be read.
bool FindIconFolder(const std::string& folder, FoundFile* icons, std::string* error);

// The files in `entries` named `stem` with any extension (or none).
std::vector<FoundFile> IconFiles(const FoundFile& icons, const std::vector<FolderEntry>& entries,
                                 const char* stem);

}  // namespace check
