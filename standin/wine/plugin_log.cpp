// The plug-in's log, read as the plug-in writes it (opened shared for reading
// and writing); a line counts once its CR LF is there.
#include "standin/wine/game.h"

namespace game {
namespace {

// How much of the log has been reported, and how many lines.
uint32_t gLogOffset = 0;
uint32_t gLogLines = 0;

// The log from byte `offset` on; false when there is no log to read.
bool ReadLog(uint32_t offset, std::string* text) {
  HANDLE file = CreateFileA(kLogName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) {
    CloseHandle(file);
    return false;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text->append(buffer, got);
  }
  CloseHandle(file);
  return true;
}

}  // namespace

void ReportLog() {
  std::string text;
  if (!ReadLog(gLogOffset, &text)) {
    return;
  }
  size_t begin = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", begin)) {
    Json line = Event("log");
    line["n"] = gLogLines;
    line["frame"] = FramesRun();
    line["line"] = Text(text.data() + begin, end - begin);
    Emit(line);
    ++gLogLines;
    begin = end + 2;
  }
  gLogOffset += static_cast<uint32_t>(begin);
}

bool LogHasHookLine(size_t skip) {
  std::string text;
  ReadLog(0, &text);
  const std::string hook = "[HOOK] installed; original=";
  size_t seen = 0;
  for (size_t at = text.find(hook); at != std::string::npos; at = text.find(hook, at + 1)) {
    if (text.find("\r\n", at) != std::string::npos && ++seen > skip) {
      return true;
    }
  }
  return false;
}

}  // namespace game
