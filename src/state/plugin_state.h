// The plug-in's one static record and the kernel32 entry points it calls.
#pragma once

#include <stdint.h>

#include "state/state_offsets.h"

#define QI_STDCALL __attribute__((stdcall))
#define QI_CDECL __attribute__((cdecl))
#define QI_THISCALL __attribute__((thiscall))

static_assert(sizeof(void*) == 4, "the plug-in is 32-bit code");

#ifdef __cplusplus
extern "C" {
#endif

// A kernel32 handle: a 32-bit value; -1 is INVALID_HANDLE_VALUE.
typedef uintptr_t Handle;
#define QI_INVALID_HANDLE ((Handle)0xFFFFFFFFu)

struct MemoryBasicInformation {  // MEMORY_BASIC_INFORMATION, 28 bytes
  uintptr_t baseAddress;
  uintptr_t allocationBase;
  uint32_t allocationProtect;
  uint32_t regionSize;
  uint32_t state;
  uint32_t protect;
  uint32_t type;
};
static_assert(sizeof(MemoryBasicInformation) == 28, "28-byte record");

typedef uint32_t(QI_STDCALL* ThreadStartFn)(void* parameter);
typedef Handle(QI_STDCALL* CreateThreadFn)(void* security, uint32_t stackSize, ThreadStartFn start,
                                           void* parameter, uint32_t flags, uint32_t* threadId);
typedef void(QI_STDCALL* SleepFn)(uint32_t milliseconds);
typedef int32_t(QI_STDCALL* VirtualProtectFn)(void* address, uint32_t size, uint32_t newProtect,
                                              uint32_t* oldProtect);
typedef uint32_t(QI_STDCALL* VirtualQueryFn)(const void* address, MemoryBasicInformation* info,
                                             uint32_t length);
typedef Handle(QI_STDCALL* CreateFileAFn)(const char* name, uint32_t access, uint32_t share,
                                          void* security, uint32_t disposition, uint32_t flags,
                                          Handle templateFile);
typedef int32_t(QI_STDCALL* WriteFileFn)(Handle file, const void* data, uint32_t count,
                                         uint32_t* written, void* overlapped);
typedef int32_t(QI_STDCALL* FlushFileBuffersFn)(Handle file);
typedef int32_t(QI_STDCALL* CloseHandleFn)(Handle handle);
typedef int32_t(QI_STDCALL* GetModuleHandleExWFn)(uint32_t flags, const void* moduleNameOrAddress,
                                                  uintptr_t* module);
typedef int32_t(QI_STDCALL* FlushInstructionCacheFn)(Handle process, const void* address,
                                                     uint32_t size);
typedef int32_t(QI_STDCALL* LdrLockLoaderLockFn)(uint32_t flags, uint32_t* disposition,
                                                 uintptr_t* cookie);
typedef int32_t(QI_STDCALL* LdrUnlockLoaderLockFn)(uint32_t flags, uintptr_t cookie);

// Resolved by name at attach, in this order; null when missing. The first
// eight and the next two come from kernel32, the last two from ntdll. The
// last four are optional everywhere: without them neither the plug-in nor
// VHud is pinned, code stores are not followed by an instruction-cache
// flush, and the worker's look-up walks the loader list without the loader's
// lock.
struct PlatformApi {
  CreateThreadFn createThread;
  SleepFn sleep;
  VirtualProtectFn virtualProtect;
  VirtualQueryFn virtualQuery;
  CreateFileAFn createFileA;
  WriteFileFn writeFile;
  FlushFileBuffersFn flushFileBuffers;
  CloseHandleFn closeHandle;
  GetModuleHandleExWFn getModuleHandleExW;
  FlushInstructionCacheFn flushInstructionCache;
  LdrLockLoaderLockFn ldrLockLoaderLock;
  LdrUnlockLoaderLockFn ldrUnlockLoaderLock;
};

// One cached icon: a one-word sprite record holding a texture pointer.
struct IconSlot {
  uint32_t texture;
};

enum VisibilityState : int32_t {
  DrawingAllowed = 0,
  HiddenMenuActive = 1,
  HiddenGameFrozen = 2,
  HiddenHudNotWanted = 3,
  HiddenWidescreen = 4,
  HiddenCutscene = 5,
  HiddenNoPlayerPed = 6,
  HiddenPlayerDead = 7,
};

struct PluginState {
  // Entry and shutdown.
  uint8_t stopRequested;
  Handle logFile;
  PlatformApi api;
  // Worker.
  uintptr_t vhudBase;
  uint32_t vhudSize;
  // Static-slot patch.
  uint8_t staticSlotReported;
  uintptr_t savedRotateVertices;
  float slotXOffsets[8];
  // Slot-spacing patch.
  uint8_t spacingReported;
  uintptr_t spacingReturn;
  float ammoFineTune[8];
  // Centre-text patch.
  float nameY;
  float countY;
  float arrowY;
  float centreTextX;
  uint8_t centreTextReported;
  // HUD hook.
  uintptr_t savedHudTarget;
  uint8_t hookWarned;
  // Frame wrapper.
  uint8_t radarReported;
  uintptr_t lastPlayerPed;
  int32_t lastLoggedState;
  // Icons.
  IconSlot healthIcon;
  IconSlot armourIcon;
  int32_t iconRetryCountdown;
  uint8_t iconsHiddenReported;
  uint8_t firstDrawReported;
  // Other copies of the plug-in named in the log, by load address (0: a free
  // slot).
  uintptr_t copiesNamed[8];
};

extern PluginState gState;

#ifdef __cplusplus
}
#endif
