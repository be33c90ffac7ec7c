#include "platform/platform.h"
#include "state/plugin_state.h"

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
  if (info.state != kMemCommit) {
    return false;
  }
  if ((info.protect & 0xFFFFu & (kPageNoAccess | kPageGuard)) != 0) {
    return false;
  }
  uint32_t end = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address)) + length;
  uint32_t regionEnd = static_cast<uint32_t>(info.baseAddress) + info.regionSize;
  return end <= regionEnd;
}

bool PatchCode(uintptr_t site, uint32_t length, const CodeWrite* writes, uint32_t count,
               bool* changed) {
  uint32_t oldProtect = 0;
  void* range = reinterpret_cast<void*>(site);
  if (gState.api.virtualProtect(range, length, kPageExecuteReadWrite, &oldProtect) == 0) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uintptr_t at = site + writes[i].offset;
    if (writes[i].compare) {
      uint32_t expected = writes[i].expected;
      if (!__atomic_compare_exchange_n(reinterpret_cast<uint32_t*>(at), &expected,
                                       static_cast<uint32_t>(writes[i].value), false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        if (changed != nullptr) {
          *changed = true;
        }
        break;
      }
      continue;
    }
    switch (writes[i].size) {
      case 1:
        __atomic_store_n(reinterpret_cast<uint8_t*>(at), static_cast<uint8_t>(writes[i].value),
                         __ATOMIC_RELEASE);
        break;
      case 4:
        __atomic_store_n(reinterpret_cast<uint32_t*>(at), static_cast<uint32_t>(writes[i].value),
                         __ATOMIC_RELEASE);
        break;
      default:
        __atomic_store_n(reinterpret_cast<uint64_t*>(at), writes[i].value, __ATOMIC_RELEASE);
        break;
    }
  }
  uint32_t ignored = 0;
  gState.api.virtualProtect(range, length, oldProtect, &ignored);
  return true;
}
