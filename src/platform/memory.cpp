#include "platform/code_store.h"
#include "platform/platform.h"
#include "platform/region_answers.h"
#include "platform/teb.h"
#include "state/plugin_state.h"

namespace {

// GetCurrentProcess()'s pseudo-handle.
constexpr Handle kCurrentProcess = QI_INVALID_HANDLE;

}  // namespace

bool IsRangeReadable(const void* address, uint32_t length) {
  if (address == nullptr) {
    return false;
  }
  VirtualQueryFn query = gState.api.virtualQuery;
  if (query == nullptr) {
    return true;
  }
  MemoryBasicInformation info;  // filled by VirtualQuery when it succeeds
  if (query(address, &info, sizeof(info)) == 0) {
    return false;
  }
  if (!PagesReadable(info.state, info.protect)) {
    return false;
  }
  uint32_t end = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address)) + length;
  uint32_t regionEnd = static_cast<uint32_t>(info.baseAddress) + info.regionSize;
  return end <= regionEnd;
}

PatchOutcome PatchCode(uintptr_t site, uint32_t length, const CodeWrite& write) {
  uint32_t oldProtect = 0;
  void* range = reinterpret_cast<void*>(site);
  if (gState.api.virtualProtect(range, length, kPageExecuteReadWrite, &oldProtect) == 0) {
    return PatchOutcome::Refused;
  }
  // One locked instruction (lock cmpxchg / lock cmpxchg8b), atomic wherever
  // its bytes lie inside a cache line. Another party may have put the
  // protection back since our VirtualProtect: the store then faults, the
  // frame around it takes the fault, and the patch counts as refused.
  uintptr_t at = site + write.offset;
  auto* exceptionList = reinterpret_cast<uintptr_t*>(ReadTebPointer() + kTebExceptionList);
  uint32_t result = GuardedCompareExchange(
      exceptionList, at, write.size, static_cast<uint32_t>(write.expected),
      static_cast<uint32_t>(write.expected >> 32), static_cast<uint32_t>(write.value),
      static_cast<uint32_t>(write.value >> 32));
  bool stored = result == kStoreWritten;
  // Code that changes code tells the processor so, for the bytes stored. x86
  // keeps its instruction cache coherent by itself; an emulator translating
  // x86 code may not.
  if (stored && gState.api.flushInstructionCache != nullptr) {
    gState.api.flushInstructionCache(kCurrentProcess, reinterpret_cast<const void*>(at),
                                     write.size);
  }
  uint32_t ignored = 0;
  gState.api.virtualProtect(range, length, oldProtect, &ignored);
  if (result == kStoreFaulted) {
    return PatchOutcome::Refused;
  }
  return stored ? PatchOutcome::Written : PatchOutcome::Changed;
}
