// Module and export look-up, the memory guard and code patching.
#pragma once

#include <stdint.h>

// Loaded-module and export look-up through the loader list and PE32 images.
uintptr_t FindLoadedModule(const char* name);
// The load address of the first listed module of that name whose entry
// point the loader has called and that it pinned (when GetModuleHandleExW is
// there), or 0: not listed, still being loaded (relocated, bound, its entry
// point running), or refused the pin. Entries of that name that are not
// initialised are walked past. The walk holds the loader's lock when ntdll
// offers it and its disposition says it was taken: then no entry is unlinked
// or freed under the walk, and none changes its flags between the check and
// the pin. Windows 8 and later link new entries in under another lock; they
// go in at the tail with their forward link set first, so a forward walk
// stays on the list. Entries whose load address is one of the `passedCount`
// in `passed` are walked past too, without being pinned again.
uintptr_t PinInitialisedModule(const char* name, const uintptr_t* passed = nullptr,
                               uint32_t passedCount = 0);
uintptr_t ResolveExport(uintptr_t imageBase, const char* name, int32_t depth);

// GetModuleHandleExW: take a reference that FreeLibrary never gives back,
// for the module that holds the given address.
constexpr uint32_t kModuleHandlePin = 0x1;
constexpr uint32_t kModuleHandleFromAddress = 0x4;

constexpr uint32_t kMemCommit = 0x1000;
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageGuard = 0x100;
constexpr uint32_t kPageExecuteReadWrite = 0x40;

bool IsRangeReadable(const void* address, uint32_t length);
inline bool IsRangeReadable(uintptr_t address, uint32_t length) {
  return IsRangeReadable(reinterpret_cast<const void*>(address), length);
}

// The one store of a patch: `size` bytes (4 or 8) at site + offset, made by
// one locked compare-and-exchange (lock cmpxchg, lock cmpxchg8b) that stores
// `value` only while the bytes still hold `expected`, inside one cache line
// (see InOneCacheLine). What holds, and on what:
// - The architecture guarantees that a locked operation inside one cache
//   line is atomic for data: any other thread's read of those bytes finds
//   them all as before or all as after.
// - A thread *executing* those bytes is another matter. For code that
//   another thread changes, the architecture asks the executing thread to
//   run a serialising instruction before it runs the new bytes; the game's
//   threads run none for us. That such a thread fetches the bytes whole as
//   before or whole as after (also where the spacing store, 8 bytes at
//   +0x6BBDC, crosses the 16-byte fetch block boundary at +0x6BBE0) rests on
//   how processors handle cross-modified code: a store to a line that is
//   being fetched or decoded makes them throw away what they fetched and
//   fetch the line again, and the locked store changes the line in one
//   step. It is how processors behave, not an architectural guarantee.
struct CodeWrite {
  uint32_t offset;
  uint32_t size;
  uint64_t expected;
  uint64_t value;
};

enum class PatchOutcome : uint8_t {
  Refused,  // lifting the protection failed, or the store faulted because
            // another party put the protection back or armed a guard
            // meanwhile, or the page could not be brought in: nothing written
  Changed,  // the bytes no longer held `expected`: nothing written
  Written,
};

// Lifts the protection of [site, site + length), makes the store inside a
// structured exception frame (code_store.h), and puts the protection back
// (also when the compare found other bytes or the store faulted).
PatchOutcome PatchCode(uintptr_t site, uint32_t length, const CodeWrite& write);

// Whether `size` bytes at `at` lie inside one 64-byte cache line. VHud's base
// is 64 KiB aligned, so for its sites the offset decides.
constexpr bool InOneCacheLine(uint32_t at, uint32_t size) { return at % 64 + size <= 64; }

// x86 relative CALL/JMP: target of the 5-byte instruction at `site`, and the
// displacement that makes it reach `target` (both modulo 2^32).
inline uint32_t RelativeTarget(uintptr_t site, uint32_t displacement) {
  return static_cast<uint32_t>(site) + 5u + displacement;
}
inline uint32_t RelativeDisplacement(uintptr_t site, uintptr_t target) {
  return static_cast<uint32_t>(target) - (static_cast<uint32_t>(site) + 5u);
}
