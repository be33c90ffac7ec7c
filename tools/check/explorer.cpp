#include "check/explorer.h"

#include <stdio.h>
#include <windows.h>
// windows.h first
#include <shellapi.h>

#include "check/folder.h"
#include "check/install.h"

namespace check {
namespace {

// The folder part of a path, without the last separator.
std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) {
    return std::string();
  }
  // A drive's root keeps its separator: "C:" alone is that drive's current folder.
  return path.substr(0, slash > 0 && path[slash - 1] == ':' ? slash + 1 : slash);
}

// The path of this program; empty when it does not fit the longest path.
std::string OwnPath() {
  std::wstring buffer(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return n == 0 || n >= buffer.size() ? std::string() : Utf8Of(buffer.data(), n);
}

std::string CurrentFolder() {
  DWORD need = GetCurrentDirectoryW(0, nullptr);
  if (need == 0) {
    return std::string();
  }
  std::wstring buffer(need, L'\0');
  DWORD n = GetCurrentDirectoryW(need, buffer.data());
  return n == 0 || n >= need ? std::string() : Utf8Of(buffer.data(), n);
}

bool HoldsVHud(const std::string& folder) {
  return !folder.empty() && !SearchGameFolder(folder).vhud.empty();
}

}  // namespace

std::vector<std::string> WideArguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; wide != nullptr && i < count; ++i) {
    args.push_back(Utf8Of(wide[i], wcslen(wide[i])));
  }
  LocalFree(wide);
  if (args.empty()) {
    args.push_back("quorvel-check");
  }
  return args;
}

std::string GameFolderNearby() {
  const std::string own = FolderOf(OwnPath());
  if (HoldsVHud(own)) {
    return own;
  }
  const std::string current = CurrentFolder();
  return HoldsVHud(current) || own.empty() ? current : own;
}

namespace {
UINT gConsoleCodePage = 0;
}  // namespace

void UseUtf8Console() {
  gConsoleCodePage = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
}

void RestoreConsole() {
  if (gConsoleCodePage != 0) {
    SetConsoleOutputCP(gConsoleCodePage);
  }
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
