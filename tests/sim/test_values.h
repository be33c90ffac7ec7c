// How the simulation tests write the values they compare: addresses as the
// log writes them, floats as their exact bit patterns.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace testvalues {

// "0x" and eight upper-case hexadecimal digits, as the log writes values.
inline std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

inline uint32_t Bits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

inline float FloatOf(uint32_t bits) {
  float value;
  memcpy(&value, &bits, 4);
  return value;
}

}  // namespace testvalues
