// What a real Windows loader and other plug-ins can do to the plug-in, shown
// under Wine: the plug-in freed while the game goes on, VHud listed while its
// entry point has not yet been called, a second "VHud.asi" never initialised
// ahead of it, the loader list changing under a walk, and two threads writing
// the log at once.
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "standin/game_image.h"
#include "standin/vhud_image.h"
#include "standin/wine/game.h"
#include "standin/wine/loader_list.h"
#include "standin/wine/worker_sleeps.h"

namespace game {
namespace {

// Set in a loader entry's Flags once the module's entry point was called.
constexpr uint32_t kEntryPointCalled = 0x00080000;
// The PEB's pointer to the loader's lock.
constexpr uint32_t kPebLoaderLock = 0xA0;

std::atomic<bool> gChurning{false};
std::atomic<uint32_t> gChurnCycles{0};
std::atomic<uint32_t> gChurnFailures{0};
HANDLE gChurnThread = nullptr;

uint32_t* EntryFlags(uintptr_t base) {
  const uintptr_t node = loader_list::NodeOf(base);
  return node != 0 ? reinterpret_cast<uint32_t*>(node + loader_list::kNodeFlags) : nullptr;
}

DWORD WINAPI Churn(void*) {
  while (gChurning.load()) {
    HMODULE module = LoadLibraryA("standin_churn.dll");
    if (module == nullptr || !FreeLibrary(module)) {
      gChurnFailures.fetch_add(1);
    }
    gChurnCycles.fetch_add(1);
  }
  return 0;
}

// At the end of a worker sleep: the game's HUD jump back at VHud's routine,
// in one 32-bit store, as another plug-in would put it back.
void PutBackHudJump() {
  DWORD old = 0;
  void* site = reinterpret_cast<void*>(standin::kGameHudJump);
  if (!VirtualProtect(site, 5, PAGE_EXECUTE_READWRITE, &old)) {
    return;
  }
  const uint32_t rel = static_cast<uint32_t>(gVhud.base + standin::kVhudHudRoutine) -
                       static_cast<uint32_t>(standin::kGameHudJumpEnd);
  __atomic_store_n(reinterpret_cast<uint32_t*>(standin::kGameHudJump + 1), rel, __ATOMIC_RELEASE);
  VirtualProtect(site, 5, old, &old);
}

}  // namespace

void FreePlugin() {
  const BOOL freed = FreeLibrary(gPlugin);
  Json line = Event("free");
  line["result"] = freed ? 1 : 0;
  line["still_loaded"] = GetModuleHandleA("Quorvel_Icons.asi") != nullptr ? 1 : 0;
  line["worker_sleeps"] = standin::WorkerSleepsBegun();
  Emit(line);
}

void WaitPasses(uint32_t passes, uint32_t timeoutMs) {
  const uint32_t begun = standin::WorkerSleepsBegun();
  const double start = Milliseconds();
  while (standin::WorkerSleepsBegun() < begun + passes && Milliseconds() - start < timeoutMs) {
    Sleep(5);
  }
  Json line = Event("passes");
  line["wanted"] = passes;
  line["seen"] = standin::WorkerSleepsBegun() - begun;
  line["worker_sleeps"] = standin::WorkerSleepsBegun();
  Emit(line);
}

void SetVhudAttached(uint32_t attached) {
  uint32_t* flags = gVhud.base != 0 ? EntryFlags(gVhud.base) : nullptr;
  if (flags == nullptr) {
    Fail(kExitUsage, "vhud-attached: VHud is not in the loader list");
  }
  if (attached != 0) {
    __atomic_fetch_or(flags, kEntryPointCalled, __ATOMIC_SEQ_CST);
  } else {
    __atomic_fetch_and(flags, ~kEntryPointCalled, __ATOMIC_SEQ_CST);
  }
  Json line = Event("vhud_attached");
  line["flags"] = Hex(__atomic_load_n(flags, __ATOMIC_SEQ_CST));
  line["worker_sleeps"] = standin::WorkerSleepsBegun();
  Emit(line);
}

void PathBesideGame(const char* file, const char* step, char* out) {
  const DWORD length = GetModuleFileNameA(nullptr, out, MAX_PATH);
  char* slash = length != 0 && length < MAX_PATH ? strrchr(out, '\\') : nullptr;
  if (slash == nullptr || slash + 1 + strlen(file) + 1 > out + MAX_PATH) {
    char what[96];
    snprintf(what, sizeof(what), "%s: the game's folder is not known", step);
    Fail(kExitLoad, what);
  }
  strcpy(slash + 1, file);
}

void LoadVhudCopy() {
  // standin_churn.dll lies beside the game's executable.
  char source[MAX_PATH];
  PathBesideGame("standin_churn.dll", "vhud-copy", source);
  CreateDirectoryA("copy", nullptr);
  char path[MAX_PATH];
  if (!CopyFileA(source, "copy\\VHud.asi", FALSE) ||
      GetFullPathNameA("copy\\VHud.asi", sizeof(path), path, nullptr) == 0) {
    Fail(kExitLoad, "vhud-copy: copy\\VHud.asi could not be made");
  }
  const uintptr_t base =
      reinterpret_cast<uintptr_t>(LoadLibraryExA(path, nullptr, DONT_RESOLVE_DLL_REFERENCES));
  const uintptr_t node = base != 0 ? loader_list::NodeOf(base) : 0;
  if (node == 0 || base == gVhud.base) {
    Fail(kExitLoad, "vhud-copy: the copy was not mapped as a module of its own");
  }
  // To the front of the in-memory-order list, under the loader's lock.
  uintptr_t peb = 0;
  __asm__ volatile("movl %%fs:0x30, %0" : "=r"(peb));
  auto* lock = *reinterpret_cast<CRITICAL_SECTION**>(peb + kPebLoaderLock);
  EnterCriticalSection(lock);
  auto* links = reinterpret_cast<uintptr_t*>(node);
  auto* head =
      reinterpret_cast<uintptr_t*>(*reinterpret_cast<uintptr_t*>(peb + loader_list::kPebLdr) +
                                   loader_list::kLdrInMemoryOrderList);
  reinterpret_cast<uintptr_t*>(links[1])[0] = links[0];
  reinterpret_cast<uintptr_t*>(links[0])[1] = links[1];
  links[0] = head[0];
  links[1] = reinterpret_cast<uintptr_t>(head);
  reinterpret_cast<uintptr_t*>(head[0])[1] = node;
  head[0] = node;
  LeaveCriticalSection(lock);
  Json line = Event("vhud_copy");
  line["base"] = Hex(base);
  line["flags"] = Hex(*EntryFlags(base));
  line["first"] = head[0] == node ? 1 : 0;
  Emit(line);
}

void SetChurn(uint32_t on) {
  if (on != 0 && gChurnThread == nullptr) {
    gChurning.store(true);
    gChurnThread = CreateThread(nullptr, 0, Churn, nullptr, 0, nullptr);
    if (gChurnThread == nullptr) {
      Fail(kExitLoad, "churn: CreateThread failed");
    }
  } else if (on == 0 && gChurnThread != nullptr) {
    gChurning.store(false);
    WaitForSingleObject(gChurnThread, INFINITE);
    CloseHandle(gChurnThread);
    gChurnThread = nullptr;
  }
  Json line = Event("churn");
  line["on"] = on;
  line["cycles"] = gChurnCycles.load();
  line["failures"] = gChurnFailures.load();
  Emit(line);
}

void WaitChurn(uint32_t cycles, uint32_t timeoutMs) {
  const double start = Milliseconds();
  while (gChurnCycles.load() < cycles && Milliseconds() - start < timeoutMs) {
    Sleep(5);
  }
  Json line = Event("churn_wait");
  line["wanted"] = cycles;
  line["cycles"] = gChurnCycles.load();
  line["worker_sleeps"] = standin::WorkerSleepsBegun();
  Emit(line);
}

void LogRace(uint32_t passes, uint32_t timeoutMs) {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "log-race: VHud is not loaded");
  }
  standin::SetSleepEndAction(&PutBackHudJump);
  const uint32_t begun = standin::WorkerSleepsBegun();
  const double start = Milliseconds();
  uint32_t frames = 0;
  uint32_t faults = 0;
  uint8_t menu = 0;
  while (standin::WorkerSleepsBegun() < begun + passes && Milliseconds() - start < timeoutMs) {
    menu ^= 1;
    standin::SetMenuActive(menu);
    standin::RunHudFrame();
    faults |= standin::GameRecord()->lastFrameFault;
    ++frames;
  }
  const uint32_t putBack = standin::SleepEndActionsRun();
  standin::SetSleepEndAction(nullptr);
  standin::SetMenuActive(0);
  Json line = Event("log_race");
  line["frames"] = frames;
  line["passes"] = standin::WorkerSleepsBegun() - begun;
  line["put_back"] = putBack;
  line["faults"] = faults;
  Emit(line);
}

}  // namespace game
