#include "log/log.h"

#include "state/plugin_state.h"

namespace {

// The longest line any caller builds or writes is well below this.
constexpr uint32_t kLineCapacity = 256;

void Write(const char* bytes, uint32_t count, LogFrom from) {
  Handle file = gState.logFile;
  if (file == QI_INVALID_HANDLE || gState.api.writeFile == nullptr) {
    return;
  }
  uint32_t written = 0;
  gState.api.writeFile(file, bytes, count, &written, nullptr);
  // WriteFile has put the bytes in the system's file cache, which outlives
  // the game; the flush only guards against the system itself failing, and
  // costs a disk round trip the render thread must not wait for.
  if (from != LogFrom::HudFrame && gState.api.flushFileBuffers != nullptr) {
    gState.api.flushFileBuffers(gState.logFile);
  }
}

uint32_t TextLength(const char* text) {
  uint32_t count = 0;
  while (text[count] != '\0') {
    ++count;
  }
  return count;
}

void WriteText(const char* text, LogFrom from) {
  if (text == nullptr) {
    return;
  }
  Write(text, TextLength(text), from);
}

}  // namespace

void LogWrite(const char* text) { WriteText(text, LogFrom::OtherThread); }

void LogLine(const char* text, LogFrom from) {
  if (text == nullptr || gState.logFile == QI_INVALID_HANDLE || gState.api.writeFile == nullptr) {
    return;
  }
  // Text and line end in one write: a line from another thread can stand
  // before or after it, never inside it. A text too long for the buffer
  // (none is) goes out as the text and then its line end.
  char line[kLineCapacity];
  uint32_t count = 0;
  while (count < kLineCapacity - 2 && text[count] != '\0') {
    line[count] = text[count];
    ++count;
  }
  if (text[count] != '\0') {
    WriteText(text, from);
    WriteText("\r\n", from);
    return;
  }
  line[count] = '\r';
  line[count + 1] = '\n';
  Write(line, count + 2, from);
}

void AppendText(char* buffer, const char* text, uint32_t capacity) {
  if (buffer == nullptr || text == nullptr) {
    return;
  }
  // The scan stops at the capacity: an unterminated buffer is left alone
  // without reading past its end.
  uint32_t len = 0;
  while (len < capacity && buffer[len] != '\0') {
    ++len;
  }
  if (len >= capacity) {
    return;
  }
  uint32_t room = capacity - len - 1;
  uint32_t i = 0;
  while (i < room && text[i] != '\0') {
    buffer[len + i] = text[i];
    ++i;
  }
  buffer[len + i] = '\0';
}

void AppendHex(char* buffer, uint32_t value, uint32_t capacity) {
  static const char kDigits[] = "0123456789ABCDEF";
  AppendText(buffer, "0x", capacity);
  if (buffer == nullptr) {
    return;
  }
  uint32_t p = 0;
  while (p < capacity && buffer[p] != '\0') {
    ++p;
  }
  for (int shift = 28; shift >= 0; shift -= 4) {
    if (p + 1 >= capacity) {
      break;
    }
    buffer[p] = kDigits[(value >> shift) & 0xFu];
    ++p;
  }
  if (p < capacity) {
    buffer[p] = '\0';
  }
}

void ReportOnce(uint8_t* reported, const char* first, const char* second, LogFrom from) {
  if (*reported != 0) {
    return;
  }
  LogLine(first, from);
  if (second != nullptr) {
    LogLine(second, from);
  }
  *reported = 1;
}
