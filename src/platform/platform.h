// Module and export look-up, the memory guard and code patching.
#pragma once

#include <stdint.h>

// Loaded-module and export look-up through the loader list and PE32 images.
uintptr_t FindLoadedModule(const char* name);
uintptr_t ResolveExport(uintptr_t imageBase, const char* name, int32_t depth);

constexpr uint32_t kMemCommit = 0x1000;
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageGuard = 0x100;
constexpr uint32_t kPageExecuteReadWrite = 0x40;

bool IsRangeReadable(const void* address, uint32_t length);
inline bool IsRangeReadable(uintptr_t address, uint32_t length) {
  return IsRangeReadable(reinterpret_cast<const void*>(address), length);
}

// One store of a patch: `size` is 1, 4 or 8 bytes, written as one store. A
// 4-byte store with `compare` set is made only while the four bytes still
// hold `expected` (one locked compare-and-exchange).
struct CodeWrite {
  uint32_t offset;
  uint32_t size;
  uint64_t value;
  bool compare = false;
  uint32_t expected = 0;
};

// Lifts the protection of [site, site + length), performs the stores in
// order, and puts the protection back. False when lifting failed (nothing
// written). A compared store that finds other bytes ends the writing there
// and sets *changed (when given); the protection is put back all the same.
bool PatchCode(uintptr_t site, uint32_t length, const CodeWrite* writes, uint32_t count,
               bool* changed = nullptr);

// x86 relative CALL/JMP: target of the 5-byte instruction at `site`, and the
// displacement that makes it reach `target` (both modulo 2^32).
inline uint32_t RelativeTarget(uintptr_t site, uint32_t displacement) {
  return static_cast<uint32_t>(site) + 5u + displacement;
}
inline uint32_t RelativeDisplacement(uintptr_t site, uintptr_t target) {
  return static_cast<uint32_t>(target) - (static_cast<uint32_t>(site) + 5u);
}
