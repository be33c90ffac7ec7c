// The loader's list of the process's modules, in its 32-bit Windows layout.
#pragma once

#include <stdint.h>

#include "platform/peb.h"

namespace loader {

constexpr uint32_t kPebLdr = 0x0C;
constexpr uint32_t kLdrInMemoryOrderList = 0x14;
// Fields by their offset from an in-memory-order node (entry + 0x08).
constexpr uint32_t kNodeDllBase = 0x10;
constexpr uint32_t kNodeNameLength = 0x24;  // BaseDllName: length in bytes
constexpr uint32_t kNodeNameBuffer = 0x28;
constexpr uint32_t kNodeFlags = 0x2C;  // Flags, at 0x34 of the entry
// Set in Flags once the loader has called the module's entry point.
constexpr uint32_t kEntryPointCalled = 0x00080000;
// No process has this many modules: a walk that gets this far has left the
// list (a freed or half-linked entry) and stops.
constexpr uint32_t kMaxListEntries = 4096;

template <typename T>
T Load(uintptr_t address) {
  return *reinterpret_cast<const T*>(address);
}

// The first in-memory-order node, in list order, of a module with a load
// address that `take(node)` takes, or 0.
template <typename Take>
uintptr_t FindNode(Take take) {
  uintptr_t peb = ReadPebPointer();
  if (peb == 0) {
    return 0;
  }
  uintptr_t ldr = Load<uintptr_t>(peb + kPebLdr);
  if (ldr == 0) {
    return 0;
  }
  uintptr_t head = ldr + kLdrInMemoryOrderList;
  uintptr_t node = Load<uintptr_t>(head);
  for (uint32_t seen = 0; node != 0 && node != head && seen < kMaxListEntries; ++seen) {
    if (Load<uintptr_t>(node + kNodeDllBase) != 0 && take(node)) {
      return node;
    }
    node = Load<uintptr_t>(node);
  }
  return 0;
}

// The loader's lock, through ntdll's LdrLockLoaderLock when the plug-in
// found it. `held` only when the disposition says it was taken: before the
// process has finished starting, Windows 10 and 11 return success without
// taking it. While it is held no entry is unlinked or freed under a walk and
// none changes its flags.
struct Lock {
  bool held;
  uintptr_t cookie;
};
Lock TakeLock();
void GiveBack(const Lock& lock);

}  // namespace loader
