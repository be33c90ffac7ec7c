#include "standin/wine/worker_sleeps.h"

#include <string.h>
#include <windows.h>

#include <atomic>

#include "standin/wine/kernel32_export.h"

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

}  // namespace

bool CountWorkerSleeps() {
  if (gSleep != nullptr) {
    return true;
  }
  gGameThread = GetCurrentThreadId();
  gSleep = reinterpret_cast<SleepFn>(reinterpret_cast<void*>(
      PointKernel32Export("Sleep", reinterpret_cast<uintptr_t>(&CountingSleep))));
  return gSleep != nullptr;
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
