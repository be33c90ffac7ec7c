// The process's 32-bit loader list, as the stand-ins under Wine read it: the
// in-memory-order entry of a loaded module, found by its load address.
#pragma once

#include <stdint.h>

namespace loader_list {

constexpr uint32_t kPebLdr = 0x0C;
constexpr uint32_t kLdrInMemoryOrderList = 0x14;
constexpr uint32_t kNodeDllBase = 0x10;
constexpr uint32_t kNodeFlags = 0x2C;  // Flags, at 0x34 of the entry

// The in-memory-order node of the module loaded at `base`, or 0.
inline uintptr_t NodeOf(uintptr_t base) {
  uintptr_t peb = 0;
  __asm__ volatile("movl %%fs:0x30, %0" : "=r"(peb));
  const uintptr_t head = *reinterpret_cast<uintptr_t*>(peb + kPebLdr) + kLdrInMemoryOrderList;
  for (uintptr_t node = *reinterpret_cast<uintptr_t*>(head); node != head;
       node = *reinterpret_cast<uintptr_t*>(node)) {
    if (*reinterpret_cast<uintptr_t*>(node + kNodeDllBase) == base) {
      return node;
    }
  }
  return 0;
}

}  // namespace loader_list
