// Fuzz target: AppendText, AppendHex and LogWrite of the plug-in's log.
//
// The input chooses a buffer capacity (0 to 299 bytes, allocated exactly so
// that AddressSanitizer sees any access beyond it), its first content
// (terminated anywhere within the capacity, or not terminated at all) and a
// sequence of appends of texts (allocated exactly, terminator included, or
// null) and hexadecimal values. After each step the whole buffer must equal
// a model of the rules: the text cut to the room left, "0x" and eight
// upper-case digits cut the same way, the terminator right after, every
// other byte untouched, and an unterminated buffer left alone entirely.
// LogWrite of each text must hand exactly its bytes to WriteFile, once,
// followed by one flush.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "state/plugin_state.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool Empty() const { return at >= size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
};

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "fuzz_append: %s\n", what);
  abort();
}

std::string gWritten;
uint32_t gWrites = 0;
uint32_t gFlushes = 0;

int32_t QI_STDCALL CaptureWrite(Handle file, const void* data, uint32_t count, uint32_t* written,
                                void* overlapped) {
  if (file != reinterpret_cast<Handle>(uintptr_t{0x40}) || overlapped != nullptr ||
      written == nullptr || *written != 0) {
    Fail("WriteFile called with unexpected arguments");
  }
  gWritten.append(static_cast<const char*>(data), count);
  ++gWrites;
  return 1;
}

int32_t QI_STDCALL CountFlush(Handle file) {
  if (file != reinterpret_cast<Handle>(uintptr_t{0x40})) Fail("flush of another handle");
  ++gFlushes;
  return 1;
}

std::string HexText(uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += kDigits[(value >> shift) & 0xF];
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  gState.logFile = reinterpret_cast<Handle>(uintptr_t{0x40});
  gState.api.writeFile = &CaptureWrite;
  gState.api.flushFileBuffers = &CountFlush;

  const uint32_t capacity = (in.Byte() | (static_cast<uint32_t>(in.Byte()) << 8)) % 300;
  const bool terminated = (in.Byte() & 1) != 0;
  const uint32_t firstLength = capacity == 0 ? 0 : in.Byte() % capacity;
  char* buffer = static_cast<char*>(malloc(capacity));
  // The model: the whole buffer as it must be, and the string's length
  // (-1 while no terminator lies within the capacity).
  std::vector<char> model(capacity);
  for (uint32_t i = 0; i < capacity; ++i) model[i] = static_cast<char>('a' + i % 26);
  int64_t length = -1;
  if (terminated && capacity > 0) {
    model[firstLength] = '\0';
    length = firstLength;
  }
  if (capacity > 0) memcpy(buffer, model.data(), capacity);

  while (!in.Empty()) {
    uint8_t op = in.Byte();
    std::string piece;  // what the model appends before cutting
    if ((op & 3) == 3) {
      uint32_t value = in.Word();
      AppendHex(buffer, value, capacity);
      piece = HexText(value);
    } else {
      // A text of up to 255 bytes, ending at its first NUL if it has one.
      uint32_t n = in.Byte();
      char* text = nullptr;
      if ((op & 3) != 2) {
        text = static_cast<char*>(malloc(n + 1));
        for (uint32_t i = 0; i < n; ++i) text[i] = static_cast<char>(in.Byte());
        text[n] = '\0';
      }
      if ((op & 3) == 1 && text != nullptr) {
        uint32_t writes = gWrites;
        uint32_t flushes = gFlushes;
        gWritten.clear();
        LogWrite(text);
        if (gWritten != std::string(text) || gWrites != writes + 1 || gFlushes != flushes + 1) {
          Fail("LogWrite did not write exactly the text once, then flush once");
        }
      }
      AppendText(buffer, text, capacity);
      if (text != nullptr) piece = text;
      free(text);
      if (text == nullptr) piece.clear();
    }
    if (length >= 0) {
      uint32_t room = capacity - static_cast<uint32_t>(length) - 1;
      uint32_t take =
          static_cast<uint32_t>(piece.size()) < room ? static_cast<uint32_t>(piece.size()) : room;
      memcpy(model.data() + length, piece.data(), take);
      length += take;
      model[length] = '\0';
    }
    if (capacity > 0 && memcmp(buffer, model.data(), capacity) != 0) {
      Fail("the buffer differs from the model");
    }
  }
  // A null buffer is left alone and never written through.
  AppendText(nullptr, "x", capacity);
  AppendHex(nullptr, 1, capacity);
  free(buffer);
  return 0;
}
