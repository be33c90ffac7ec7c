// The stand-ins for the optional platform calls: kernel32's
// GetModuleHandleExW and FlushInstructionCache, ntdll's LdrLockLoaderLock
// and LdrUnlockLoaderLock. Each is recorded; the loader lock is the loader
// list's own lock. Also the kernelbase image that API-set forwarders lead to.
#include <algorithm>
#include <mutex>

#include "sim/internal.h"
#include "sim/sim.h"
#include "state/plugin_state.h"

namespace sim {
namespace {

// What GetModuleHandleExW hands back for an address outside every listed
// module: the plug-in's own image, which the simulated list does not hold.
constexpr uintptr_t kPluginModule = 0x0DD00000;
constexpr int32_t kInvalidParameter2 = static_cast<int32_t>(0xC00000F0);

// Cookies of the locks taken and not yet given back.
std::vector<uintptr_t> gCookies;
uint32_t gCookieCount = 0;

int32_t QI_STDCALL StandInGetModuleHandleExW(uint32_t flags, const void* nameOrAddress,
                                             uintptr_t* module) {
  uintptr_t address = reinterpret_cast<uintptr_t>(nameOrAddress);
  uintptr_t found = 0;
  switch (ModuleAt(address)) {
    case ListedAs::Loaded:
      found = address;
      break;
    case ListedAs::None:
      found = kPluginModule;
      break;
    case ListedAs::EntryPointFailed:
      break;
  }
  std::lock_guard<std::mutex> lock(RecordMutex());
  if (Fault().moduleHandleFail) found = 0;
  Record().moduleHandles.push_back(ModuleHandleCall{flags, address, found});
  if (module != nullptr) *module = found;
  return found != 0 ? 1 : 0;
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
  if (Fault().loaderLockNotTaken) {
    if (disposition != nullptr) *disposition = 0;
    if (cookie != nullptr) *cookie = 0;
    return 0;
  }
  LockLoader();
  std::lock_guard<std::mutex> lock(RecordMutex());
  ++Record().loaderLocks;
  if (disposition != nullptr) *disposition = 1;  // acquired
  uintptr_t issued = 0xC0C0u + ++gCookieCount;
  gCookies.push_back(issued);
  if (cookie != nullptr) *cookie = issued;
  return 0;
}

int32_t QI_STDCALL StandInLdrUnlockLoaderLock(uint32_t flags, uintptr_t cookie) {
  (void)flags;
  {
    std::lock_guard<std::mutex> lock(RecordMutex());
    auto it = std::find(gCookies.begin(), gCookies.end(), cookie);
    if (it == gCookies.end()) {
      ++Record().badUnlocks;
      return kInvalidParameter2;
    }
    gCookies.erase(it);
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

uintptr_t AddKernelbase() {
  std::vector<Export> all = DefaultKernel32Exports();
  AddLoaderCallExports(true, &all);
  uintptr_t base = BuildImage(all);
  AddModule("KERNELBASE.dll", base);
  return base;
}

std::vector<Export> Forwarded(std::vector<Export> exports, const std::vector<std::string>& names,
                              const std::string& module) {
  for (Export& e : exports) {
    for (const std::string& n : names) {
      if (e.name == n) {
        e.forwarder = module + "." + n;
        e.address = 0;
      }
    }
  }
  return exports;
}

void UseLoaderCallStandIns() {
  gState.api.getModuleHandleExW = &StandInGetModuleHandleExW;
  gState.api.flushInstructionCache = &StandInFlushInstructionCache;
  gState.api.ldrLockLoaderLock = &StandInLdrLockLoaderLock;
  gState.api.ldrUnlockLoaderLock = &StandInLdrUnlockLoaderLock;
}

}  // namespace sim
