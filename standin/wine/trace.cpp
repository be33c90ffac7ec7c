#include "standin/wine/trace.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

namespace game {
namespace {

FILE* gOut = stdout;
LARGE_INTEGER gClockStart;
LARGE_INTEGER gClockRate;

}  // namespace

void StartClock() {
  QueryPerformanceFrequency(&gClockRate);
  QueryPerformanceCounter(&gClockStart);
}

double Milliseconds() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - gClockStart.QuadPart) * 1000.0 /
         static_cast<double>(gClockRate.QuadPart);
}

bool OpenTrace(const char* path) {
  FILE* file = fopen(path, "wb");
  if (file == nullptr) {
    return false;
  }
  gOut = file;
  return true;
}

void CloseTrace() {
  if (gOut != nullptr && gOut != stdout) {
    fclose(gOut);
  }
  gOut = nullptr;
}

Json Event(const char* name) {
  Json record;
  record["event"] = name;
  record["t_ms"] = Fixed(Milliseconds(), 1);
  return record;
}

void Emit(const Json& record) {
  if (gOut == nullptr) {
    return;
  }
  fputs(record.dump(-1, ' ', true).c_str(), gOut);
  fputc('\n', gOut);
  fflush(gOut);
}

void Fail(int code, const char* what) {
  fprintf(stderr, "standin_game: %s\n", what);
  Json record;
  record["event"] = "error";
  record["what"] = Text(what);
  Emit(record);
  ExitProcess(code);
}

Json Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

Json HexArray(const uint32_t* values, uint32_t count) {
  Json array = Json::array();
  for (uint32_t i = 0; i < count; ++i) {
    array.push_back(Hex(values[i]));
  }
  return array;
}

Json Decimal(float value) {
  if (!isfinite(value)) {
    return nullptr;
  }
  char text[32];
  snprintf(text, sizeof(text), "%.9g", static_cast<double>(value));
  if (strpbrk(text, ".e") == nullptr) {
    return strtoll(text, nullptr, 10);
  }
  return strtod(text, nullptr);
}

Json DecimalArray(const float* values, uint32_t count) {
  Json array = Json::array();
  for (uint32_t i = 0; i < count; ++i) {
    array.push_back(Decimal(values[i]));
  }
  return array;
}

// Printed with that many decimals and read back: the JSON writer gives the
// same digits again, less trailing zeros after the first decimal.
Json Fixed(double value, int digits) {
  char text[64];
  snprintf(text, sizeof(text), "%.*f", digits, value);
  return strtod(text, nullptr);
}

Json Text(const char* bytes, size_t length) {
  std::string utf8;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

Json Text(const char* text) { return Text(text, strlen(text)); }

uint32_t Bits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

float FromBits(uint32_t bits) {
  float value;
  memcpy(&value, &bits, 4);
  return value;
}

}  // namespace game
