// Files and folders by name, for the install check. Names are UTF-8; the
// Windows build turns them into UTF-16 and uses the wide calls with the
// long-path prefix, so that any name Windows allows, and paths past 260
// characters, can be read.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

namespace check {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

struct FolderEntry {
  std::string name;
  bool folder;
};

// The entries of `path`, without "." and "..", sorted by name. False with a
// one-line reason when the folder cannot be read.
bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error);

// fopen(path, "rb") for a UTF-8 path.
FILE* OpenForReading(const std::string& path);

// True when `path` names a folder.
bool IsFolder(const std::string& path);

// `name` inside `folder`.
std::string JoinPath(const std::string& folder, const std::string& name);

#ifdef _WIN32
std::wstring WideOf(const std::string& utf8);
std::string Utf8Of(const wchar_t* wide, size_t length);
#endif

}  // namespace check
