// The stand-ins for the optional platform calls: kernel32's
// GetModuleHandleExW and FlushInstructionCache, ntdll's LdrLockLoaderLock
// and LdrUnlockLoaderLock. Each is recorded; the loader lock is the loader
// list's own lock.
#include <mutex>

#include "sim/internal.h"
#include "sim/sim.h"
#include "state/plugin_state.h"

namespace sim {
namespace {

// What GetModuleHandleExW hands back for any address: a module handle that
// nothing else uses.
constexpr uintptr_t kPinnedModule = 0x0DD00000;

int32_t QI_STDCALL StandInGetModuleHandleExW(uint32_t flags, const void* nameOrAddress,
                                             uintptr_t* module) {
  std::lock_guard<std::mutex> lock(RecordMutex());
  Record().moduleHandles.push_back(
      ModuleHandleCall{flags, reinterpret_cast<uintptr_t>(nameOrAddress)});
  if (module != nullptr) *module = kPinnedModule;
  return 1;
}

int32_t QI_STDCALL StandInFlushInstructionCache(Handle process, const void* address,
                                                uint32_t size) {
  std::lock_guard<std::mutex> lock(RecordMutex());
  Record().codeFlushes.push_back(CodeFlush{process, reinterpret_cast<uintptr_t>(address), size});
  return 1;
}

int32_t QI_STDCALL StandInLdrLockLoaderLock(uint32_t flags, uint32_t* disposition,
                                            uintptr_t* cookie) {
  (void)flags;
  LockLoader();
  std::lock_guard<std::mutex> lock(RecordMutex());
  ++Record().loaderLocks;
  if (disposition != nullptr) *disposition = 1;  // acquired
  if (cookie != nullptr) *cookie = 0xC0C0u + Record().loaderLocks;
  return 0;
}

int32_t QI_STDCALL StandInLdrUnlockLoaderLock(uint32_t flags, uintptr_t cookie) {
  (void)flags;
  (void)cookie;
  {
    std::lock_guard<std::mutex> lock(RecordMutex());
    ++Record().loaderUnlocks;
  }
  UnlockLoader();
  return 0;
}

struct Named {
  const char* name;
  uintptr_t address;
  bool ntdll;
};

const Named kLoaderCalls[] = {
    {"GetModuleHandleExW", reinterpret_cast<uintptr_t>(&StandInGetModuleHandleExW), false},
    {"FlushInstructionCache", reinterpret_cast<uintptr_t>(&StandInFlushInstructionCache), false},
    {"LdrLockLoaderLock", reinterpret_cast<uintptr_t>(&StandInLdrLockLoaderLock), true},
    {"LdrUnlockLoaderLock", reinterpret_cast<uintptr_t>(&StandInLdrUnlockLoaderLock), true},
};

}  // namespace

uintptr_t LoaderCallStandIn(const std::string& name) {
  for (const Named& n : kLoaderCalls) {
    if (name == n.name) return n.address;
  }
  return 0;
}

void AddLoaderCallExports(bool ntdll, std::vector<Export>* exports) {
  for (const Named& n : kLoaderCalls) {
    if (n.ntdll == ntdll) exports->push_back(DirectExport(n.name, n.address));
  }
}

void UseLoaderCallStandIns() {
  gState.api.getModuleHandleExW = &StandInGetModuleHandleExW;
  gState.api.flushInstructionCache = &StandInFlushInstructionCache;
  gState.api.ldrLockLoaderLock = &StandInLdrLockLoaderLock;
  gState.api.ldrUnlockLoaderLock = &StandInLdrUnlockLoaderLock;
}

}  // namespace sim
