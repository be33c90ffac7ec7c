#include "entry/entry.h"

#include "entry/other_copies.h"
#include "log/log.h"
#include "platform/platform.h"
#include "worker/worker.h"

namespace {

constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kShareReadWrite = 3;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kAttributeNormal = 0x80;

template <typename Fn>
void Resolve(Fn& entry, uintptr_t kernel32, const char* name) {
  entry = reinterpret_cast<Fn>(ResolveExport(kernel32, name, 0));
}

void Attach() {
  uintptr_t kernel32 = FindLoadedModule("kernel32.dll");
  if (kernel32 == 0) {
    return;
  }
  PlatformApi& api = gState.api;
  Resolve(api.createThread, kernel32, "CreateThread");
  Resolve(api.sleep, kernel32, "Sleep");
  Resolve(api.virtualProtect, kernel32, "VirtualProtect");
  Resolve(api.virtualQuery, kernel32, "VirtualQuery");
  Resolve(api.createFileA, kernel32, "CreateFileA");
  Resolve(api.writeFile, kernel32, "WriteFile");
  Resolve(api.flushFileBuffers, kernel32, "FlushFileBuffers");
  Resolve(api.closeHandle, kernel32, "CloseHandle");
  Resolve(api.getModuleHandleExW, kernel32, "GetModuleHandleExW");
  Resolve(api.flushInstructionCache, kernel32, "FlushInstructionCache");
  uintptr_t ntdll = FindLoadedModule("ntdll.dll");
  if (ntdll != 0) {
    Resolve(api.ldrLockLoaderLock, ntdll, "LdrLockLoaderLock");
    Resolve(api.ldrUnlockLoaderLock, ntdll, "LdrUnlockLoaderLock");
  }
  if (api.createThread == nullptr || api.sleep == nullptr || api.virtualProtect == nullptr) {
    return;
  }
  // Of several copies of the plug-in the first attached runs: a later one
  // leaves no trace (no pin, no file, no thread, no change to any memory
  // but its own).
  if (AnotherCopyRuns()) {
    return;
  }
  // The patches lead into this image and the worker runs in it until the
  // process ends: a FreeLibrary by anyone must not unmap it.
  if (api.getModuleHandleExW != nullptr) {
    uintptr_t self = 0;
    api.getModuleHandleExW(kModuleHandlePin | kModuleHandleFromAddress,
                           reinterpret_cast<const void*>(&gState), &self);
  }
  if (api.createFileA != nullptr) {
    gState.logFile = api.createFileA("Quorvel_Icons.log", kGenericWrite, kShareReadWrite, nullptr,
                                     kCreateAlways, kAttributeNormal, 0);
    if (gState.logFile != QI_INVALID_HANDLE) {
      LogLine(
          "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR "
          "started");
      LogLine(
          "[INFO] External ASI only; VHud.asi / hud.dat are not modified on "
          "disk");
      LogLine(
          "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE "
          "temporary radar hide + hide custom health/armour icons while wheel "
          "open");
    }
  }
  uint32_t threadId = 0;
  Handle thread = api.createThread(nullptr, 0, WorkerThread, nullptr, 0, &threadId);
  if (api.closeHandle != nullptr && thread != 0 && thread != QI_INVALID_HANDLE) {
    api.closeHandle(thread);
  }
}

void Detach() {
  __atomic_store_n(&gState.stopRequested, 1, __ATOMIC_RELEASE);
  LogLine("[STOP] DLL detach");
  Handle file = gState.logFile;
  if (file != QI_INVALID_HANDLE && gState.api.closeHandle != nullptr) {
    // The handle is withdrawn before it is closed, so that a line another
    // thread starts from now on is dropped rather than written through a
    // handle value the process may already have handed out again.
    __atomic_store_n(&gState.logFile, QI_INVALID_HANDLE, __ATOMIC_RELEASE);
    gState.api.closeHandle(file);
  }
}

}  // namespace

extern "C" int32_t QI_STDCALL DllMain(void* module, uint32_t reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == kDllProcessAttach) {
    Attach();
  } else if (reason == kDllProcessDetach) {
    Detach();
  }
  return 1;
}
