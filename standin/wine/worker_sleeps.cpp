#include "standin/wine/worker_sleeps.h"

#include <string.h>
#include <windows.h>

#include <atomic>

namespace standin {
namespace {

constexpr uint32_t kMaxRanges = 16;

typedef VOID(WINAPI* SleepFn)(DWORD milliseconds);
SleepFn gSleep = nullptr;
DWORD gGameThread = 0;
std::atomic<uint32_t> gBegun{0};
std::atomic<uint32_t> gEnded{0};
std::atomic<SleepEndAction> gEndAction{nullptr};
std::atomic<uint32_t> gEndActionsRun{0};

// The watch: ranges, the sleep count when it began, the sleep number at
// whose start each range was found (0: not yet).
std::atomic<bool> gWatching{false};
WatchedRange gRanges[kMaxRanges];
uint32_t gRangeCount = 0;
uint32_t gWatchSleeps = 0;
bool gWatchInSleep = false;
std::atomic<uint32_t> gFoundAt[kMaxRanges];

void LookAtRanges(uint32_t number) {
  if (!gWatching.load(std::memory_order_acquire)) {
    return;
  }
  for (uint32_t i = 0; i < gRangeCount; ++i) {
    const WatchedRange& r = gRanges[i];
    if (gFoundAt[i].load() == 0 &&
        memcmp(reinterpret_cast<const void*>(r.address), r.bytes, r.length) == 0) {
      gFoundAt[i].store(number);
    }
  }
}

VOID WINAPI CountingSleep(DWORD milliseconds) {
  if (GetCurrentThreadId() == gGameThread) {
    gSleep(milliseconds);
    return;
  }
  LookAtRanges(gBegun.fetch_add(1) + 1);
  gSleep(milliseconds);
  gEnded.fetch_add(1);
  SleepEndAction action = gEndAction.load();
  if (action != nullptr) {
    action();
    gEndActionsRun.fetch_add(1);
  }
}

template <typename T>
T* At(uintptr_t base, uint32_t rva) {
  return reinterpret_cast<T*>(base + rva);
}

}  // namespace

bool CountWorkerSleeps() {
  if (gSleep != nullptr) {
    return true;
  }
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) {
    return false;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(kernel32);
  const auto* nt =
      At<const IMAGE_NT_HEADERS32>(base, At<const IMAGE_DOS_HEADER>(base, 0)->e_lfanew);
  const IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) {
    return false;
  }
  const auto* exports = At<const IMAGE_EXPORT_DIRECTORY>(base, dir.VirtualAddress);
  const auto* names = At<const DWORD>(base, exports->AddressOfNames);
  const auto* ordinals = At<const WORD>(base, exports->AddressOfNameOrdinals);
  auto* functions = At<DWORD>(base, exports->AddressOfFunctions);
  DWORD* entry = nullptr;
  for (DWORD i = 0; i < exports->NumberOfNames && entry == nullptr; ++i) {
    if (strcmp(At<const char>(base, names[i]), "Sleep") == 0) {
      entry = &functions[ordinals[i]];
    }
  }
  // The real Sleep (through a forwarder, if kernel32 has one) before the
  // entry changes.
  SleepFn real =
      reinterpret_cast<SleepFn>(reinterpret_cast<void*>(GetProcAddress(kernel32, "Sleep")));
  if (entry == nullptr || real == nullptr) {
    return false;
  }
  // The plug-in takes an entry outside the export directory as an offset
  // from kernel32's base, added in 32 bits; the wrapper lies in this
  // executable, below kernel32, so the offset wraps.
  const uintptr_t wrapper = reinterpret_cast<uintptr_t>(&CountingSleep);
  const DWORD rva = static_cast<DWORD>(wrapper - base);
  if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size) {
    return false;
  }
  gSleep = real;
  gGameThread = GetCurrentThreadId();
  DWORD old = 0;
  if (!VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &old)) {
    gSleep = nullptr;
    return false;
  }
  *entry = rva;
  VirtualProtect(entry, sizeof(*entry), old, &old);
  return static_cast<uintptr_t>(static_cast<DWORD>(base + *entry)) == wrapper;
}

uint32_t WorkerSleepsBegun() { return gBegun.load(); }

void SetSleepEndAction(SleepEndAction action) {
  gEndActionsRun.store(0);
  gEndAction.store(action);
}

uint32_t SleepEndActionsRun() { return gEndActionsRun.load(); }

void WatchWorkerPasses(const WatchedRange* ranges, uint32_t count) {
  gWatching.store(false, std::memory_order_release);
  gRangeCount = count < kMaxRanges ? count : kMaxRanges;
  for (uint32_t i = 0; i < gRangeCount; ++i) {
    gRanges[i] = ranges[i];
    gFoundAt[i].store(0);
  }
  // Ended before begun: with e sleeps ended and then s begun, a pass that
  // starts after sleep s ends starts after the ranges were undone. With
  // s > e the worker was (or went) asleep in sleep s; with s == e it was in
  // the pass that sleep s + 1 ends, which may have started before.
  const uint32_t ended = gEnded.load();
  gWatchSleeps = gBegun.load();
  gWatchInSleep = ended < gWatchSleeps;
  gWatching.store(true, std::memory_order_release);
}

bool WatchBeganInSleep() { return gWatchInSleep; }

int32_t PassFound(uint32_t index) {
  const uint32_t at = index < gRangeCount ? gFoundAt[index].load() : 0;
  if (at == 0) {
    return -1;
  }
  // The sleep after the whole pass that followed the watch's beginning:
  // the next one if the worker was asleep then, the one after otherwise.
  const uint32_t firstWhole = gWatchSleeps + (gWatchInSleep ? 1 : 2);
  return static_cast<int32_t>(at) - static_cast<int32_t>(firstWhole) + 1;
}

}  // namespace standin
