#include "check/explorer.h"

#include <stdio.h>
#include <windows.h>

namespace check {
namespace {

// The folder part of a path, without the last separator.
std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Join(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
    return folder + "\\" + name;
  }
  return folder + name;
}

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The path of this program; empty when it does not fit the longest path.
std::string OwnPath() {
  std::string buffer(32768, '\0');
  DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return n == 0 || n >= buffer.size() ? std::string() : buffer.substr(0, n);
}

std::string CurrentFolder() {
  DWORD need = GetCurrentDirectoryA(0, nullptr);
  if (need == 0) {
    return std::string();
  }
  std::string buffer(need, '\0');
  DWORD n = GetCurrentDirectoryA(need, buffer.data());
  return n == 0 || n >= need ? std::string() : buffer.substr(0, n);
}

}  // namespace

bool FindNearby(const char* name, std::string* path, std::string* error) {
  const std::string own = FolderOf(OwnPath());
  const std::string current = CurrentFolder();
  for (const std::string& folder : {own, current}) {
    if (!folder.empty() && IsFile(Join(folder, name))) {
      *path = Join(folder, name);
      return true;
    }
  }
  *error = std::string("no ") + name + " beside quorvel-check.exe (" + own + ")";
  if (current != own) {
    *error += " or in the current folder (" + current + ")";
  }
  return false;
}

bool OwnsConsole() {
  DWORD ids[2];
  return GetConsoleProcessList(ids, 2) == 1;
}

void WaitForEnter() {
  fputs("Press Enter to close", stdout);
  fflush(stdout);
  // One byte at a time, so that nothing past the line end is taken.
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char c = 0;
  DWORD got = 0;
  while (ReadFile(input, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
  }
}

}  // namespace check
