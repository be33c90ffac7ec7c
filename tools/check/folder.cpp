#include "check/folder.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace check {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) {
    return name;
  }
  const char last = folder.back();
  if (last == kSeparator || last == '/') {
    return folder + name;
  }
  return folder + kSeparator + name;
}

#ifdef _WIN32

std::wstring WideOf(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  }
  return wide;
}

std::string Utf8Of(const wchar_t* wide, size_t length) {
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string text(n > 0 ? n : 0, '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text.data(), n, nullptr,
                        nullptr);
  }
  return text;
}

namespace {

// The full path with the prefix that lifts the 260-character limit.
std::wstring LongPath(const std::string& path) {
  const std::wstring given = WideOf(path);
  if (given.rfind(L"\\\\?\\", 0) == 0) {
    return given;
  }
  DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (need == 0) {
    return given;
  }
  std::wstring full(need, L'\0');
  DWORD n = GetFullPathNameW(given.c_str(), need, full.data(), nullptr);
  if (n == 0 || n >= need) {
    return given;
  }
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n != 0 ? Utf8Of(text, n) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((LongPath(path) + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    *error = SystemMessage(GetLastError());
    return false;
  }
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
      entries->push_back({Utf8Of(found.cFileName, wcslen(found.cFileName)),
                          (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    }
  } while (FindNextFileW(find, &found));
  const DWORD code = GetLastError();
  FindClose(find);
  if (code != ERROR_NO_MORE_FILES) {
    *error = SystemMessage(code);
    return false;
  }
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

FILE* OpenForReading(const std::string& path) { return _wfopen(LongPath(path).c_str(), L"rb"); }

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

#else

bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    *error = strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      entries->push_back({name, IsFolder(JoinPath(path, name))});
    }
  }
  const int code = errno;
  closedir(dir);
  if (code != 0) {
    *error = strerror(code);
    return false;
  }
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return true;
}

FILE* OpenForReading(const std::string& path) { return fopen(path.c_str(), "rb"); }

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

#endif

}  // namespace check
