// Code bytes as the end-to-end tests read and expect them: what lies at an
// address, and the E8/E9 rel32 instruction that leads from a site to a target.
#pragma once

#include <stdint.h>

#include <vector>

namespace codebytes {

// Read one byte at a time through volatile loads, so that a copy taken while
// another thread writes the bytes is still a plain read of each.
inline std::vector<uint8_t> BytesAt(uintptr_t at, uint32_t n) {
  std::vector<uint8_t> out(n);
  for (uint32_t i = 0; i < n; ++i) out[i] = *reinterpret_cast<volatile const uint8_t*>(at + i);
  return out;
}

inline std::vector<uint8_t> Rel(uint8_t opcode, uintptr_t site, uintptr_t target) {
  uint32_t d = static_cast<uint32_t>(target) - static_cast<uint32_t>(site + 5);
  return {opcode, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
          static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
}

}  // namespace codebytes
