// Code bytes as the tests read, expect and write them: what lies at an
// address, the E8/E9 rel32 instruction that leads from a site to a target,
// and bytes written over code as another party would.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

#include "sim/sim.h"

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

// Writes bytes whatever the pages' protection, and puts the protection back.
inline void Poke(uintptr_t at, const std::vector<uint8_t>& bytes) {
  uintptr_t page = at & ~uintptr_t{0xFFF};
  uint32_t span = static_cast<uint32_t>(((at + bytes.size() + 0xFFF) & ~uintptr_t{0xFFF}) - page);
  uint32_t old = sim::ProtectOf(page);
  sim::SetProtect(page, span, sim::kPageExecuteReadWrite);
  memcpy(reinterpret_cast<void*>(at), bytes.data(), bytes.size());
  sim::SetProtect(page, span, old);
}

}  // namespace codebytes
