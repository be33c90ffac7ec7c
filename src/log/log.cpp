#include "log/log.h"

#include "state/plugin_state.h"

void LogWrite(const char* text) {
  Handle file = gState.logFile;
  if (text == nullptr || file == QI_INVALID_HANDLE || gState.api.writeFile == nullptr) {
    return;
  }
  uint32_t count = 0;
  while (text[count] != '\0') {
    ++count;
  }
  uint32_t written = 0;
  gState.api.writeFile(file, text, count, &written, nullptr);
  if (gState.api.flushFileBuffers != nullptr) {
    gState.api.flushFileBuffers(gState.logFile);
  }
}

void LogLine(const char* text) {
  LogWrite(text);
  LogWrite("\r\n");
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

void ReportOnce(uint8_t* reported, const char* first, const char* second) {
  if (*reported != 0) {
    return;
  }
  LogLine(first);
  if (second != nullptr) {
    LogLine(second);
  }
  *reported = 1;
}
