// A second copy of the plug-in in the game, and which module made the
// plug-in's kernel32 calls. Before a copy loads, the game points kernel32's
// exports of CreateThread, VirtualProtect and CreateFileA at wrappers that
// count each call by the module image its return address lies in: the
// copies resolve those entries through the export table at their attach.
#include <string.h>
#include <windows.h>

#include "standin/wine/game.h"
#include "standin/wine/kernel32_export.h"
#include "standin/wine/worker_sleeps.h"

namespace game {
namespace {

constexpr uint32_t kMaxModules = 8;

struct Calls {
  uintptr_t module;
  uint32_t createThread, virtualProtect, createFile;
};
Calls gCalls[kMaxModules];
SRWLOCK gCallsLock = SRWLOCK_INIT;

typedef HANDLE(WINAPI* CreateThreadFn)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                       LPVOID, DWORD, LPDWORD);
typedef BOOL(WINAPI* VirtualProtectFn)(LPVOID, SIZE_T, DWORD, PDWORD);
typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
CreateThreadFn gCreateThread = nullptr;
VirtualProtectFn gVirtualProtect = nullptr;
CreateFileAFn gCreateFileA = nullptr;

// The calls of the module holding `caller`.
void Count(void* caller, uint32_t Calls::*counter) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCSTR>(caller), &module);
  AcquireSRWLockExclusive(&gCallsLock);
  for (Calls& c : gCalls) {
    if (c.module == 0 || c.module == reinterpret_cast<uintptr_t>(module)) {
      c.module = reinterpret_cast<uintptr_t>(module);
      ++(c.*counter);
      break;
    }
  }
  ReleaseSRWLockExclusive(&gCallsLock);
}

HANDLE WINAPI CountingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                   LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                   LPDWORD id) {
  Count(__builtin_return_address(0), &Calls::createThread);
  return gCreateThread(security, stack, start, parameter, flags, id);
}

BOOL WINAPI CountingVirtualProtect(LPVOID address, SIZE_T size, DWORD protect, PDWORD old) {
  Count(__builtin_return_address(0), &Calls::virtualProtect);
  return gVirtualProtect(address, size, protect, old);
}

HANDLE WINAPI CountingCreateFileA(LPCSTR name, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE model) {
  Count(__builtin_return_address(0), &Calls::createFile);
  return gCreateFileA(name, access, share, security, disposition, flags, model);
}

template <typename Fn, typename Wrapper>
void Point(Fn* real, const char* name, Wrapper wrapper) {
  if (*real == nullptr) {
    *real = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        standin::PointKernel32Export(name, reinterpret_cast<uintptr_t>(wrapper))));
  }
  if (*real == nullptr) {
    Fail(kExitImage, "kernel32's export table cannot be pointed at the counting wrappers");
  }
}

}  // namespace

void CountCallsByModule() {
  Point(&gCreateThread, "CreateThread", &CountingCreateThread);
  Point(&gVirtualProtect, "VirtualProtect", &CountingVirtualProtect);
  Point(&gCreateFileA, "CreateFileA", &CountingCreateFileA);
}

void LoadPluginCopy(const char* name, bool marked) {
  if (!standin::CountWorkerSleeps()) {
    Fail(kExitImage, "kernel32's export of Sleep cannot be pointed at the counting wrapper");
  }
  CountCallsByModule();
  ReservePreferredRange();
  char source[MAX_PATH];
  PathBesideGame("Quorvel_Icons.asi", "plugin-copy", source);
  char path[MAX_PATH];
  if (!CopyFileA(source, name, FALSE) || GetFullPathNameA(name, sizeof(path), path, nullptr) == 0) {
    Fail(kExitLoad, "plugin-copy: the copy could not be made");
  }
  if (!marked) {
    // As 1.0.0 was: the section renamed and its mark's first byte cleared.
    HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    static uint8_t bytes[1 << 20];
    DWORD got = 0;
    ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
    bool cleared = false;
    for (DWORD at = 0; at + 40 <= got && at < 0x400 && !cleared; ++at) {
      if (memcmp(bytes + at, ".qimark\0", 8) == 0) {
        DWORD raw = 0;
        memcpy(&raw, bytes + at + 20, 4);  // PointerToRawData
        bytes[at + 1] = 'x';
        bytes[raw] = 0;
        cleared = raw < got;
      }
    }
    DWORD put = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    if (!cleared || !WriteFile(file, bytes, got, &put, nullptr) || put != got) {
      Fail(kExitLoad, "plugin-copy: the copy's mark could not be removed");
    }
    CloseHandle(file);
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(LoadLibraryA(path));
  if (base == 0) {
    Fail(kExitLoad, "plugin-copy: LoadLibraryA failed");
  }
  Json line = Event("plugin_copy");
  line["base"] = Hex(base);
  line["size"] = Hex(SizeOfImage(base));
  line["marked"] = marked ? 1 : 0;
  Emit(line);
}

void ReportCalls() {
  Json line = Event("calls");
  Json modules = Json::array();
  AcquireSRWLockExclusive(&gCallsLock);
  for (const Calls& c : gCalls) {
    if (c.module != 0) {
      modules.push_back({{"module", Hex(c.module)},
                         {"create_thread", c.createThread},
                         {"virtual_protect", c.virtualProtect},
                         {"create_file", c.createFile}});
    }
  }
  ReleaseSRWLockExclusive(&gCallsLock);
  line["modules"] = modules;
  Emit(line);
}

}  // namespace game
