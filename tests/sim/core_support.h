// Helpers shared by the start-up, look-up, memory, log and worker tests:
// the fixture, the boot lines, and kernel32 exports that wrap a stand-in to
// observe or steer the plug-in (captured writes, a Sleep that runs an action
// on a given call, a CreateThread with a chosen result).
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "sim/sim.h"
#include "test_values.h"

namespace core {

inline constexpr const char* kBoot1 =
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started";
inline constexpr const char* kBoot2 =
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk";
inline constexpr const char* kBoot3 =
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + "
    "hide custom health/armour icons while wheel open";
inline constexpr const char* kWorkerStarted = "[THREAD] worker started";
inline constexpr const char* kVhudNotFound = "[ERR] VHud.asi not found";
inline constexpr const char* kStopLine = "[STOP] DLL detach";
inline constexpr const char* kLogName = "Quorvel_Icons.log";

inline int32_t Attach() { return DllMain(nullptr, kDllProcessAttach, nullptr); }
inline int32_t Detach() { return DllMain(nullptr, kDllProcessDetach, nullptr); }

inline std::string LogPath() { return sim::WorkDir() + "/" + kLogName; }
inline bool LogExists() {
  struct stat st;
  return stat(LogPath().c_str(), &st) == 0;
}

inline std::vector<std::string> BootLines() { return {kBoot1, kBoot2, kBoot3}; }
inline std::vector<std::string> Concat(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline bool IsInvalid(Handle h) { return h == QI_INVALID_HANDLE; }

inline void UseStandIns() { sim::UseStandIns(); }

// Opens the log through the stand-in as attach does, without the boot lines.
inline Handle OpenLogDirectly() {
  auto create = reinterpret_cast<CreateFileAFn>(sim::StandIn("CreateFileA"));
  gState.logFile = create(kLogName, 0x40000000, 3, nullptr, 2, 0x80, 0);
  return gState.logFile;
}

// The kernel32 exports as the test has changed them so far; each change
// rebuilds kernel32 from this list, so changes add up.
inline std::vector<sim::Export> gKernel32Exports;

// Rebuilds kernel32 with one export pointing elsewhere (added when absent).
inline void ReplaceKernel32Export(const std::string& name, uintptr_t address) {
  bool found = false;
  for (sim::Export& e : gKernel32Exports) {
    if (e.name == name) {
      e.address = address;
      e.forwarder.clear();
      e.useRva = false;
      found = true;
    }
  }
  if (!found) {
    gKernel32Exports.push_back(sim::DirectExport(name, address));
  }
  sim::RebuildKernel32(gKernel32Exports);
}

// Rebuilds kernel32 without the named exports.
inline void RemoveKernel32Exports(const std::vector<std::string>& names) {
  std::vector<sim::Export> kept;
  for (const sim::Export& e : gKernel32Exports) {
    bool drop = false;
    for (const std::string& n : names) drop = drop || e.name == n;
    if (!drop) kept.push_back(e);
  }
  gKernel32Exports = kept;
  sim::RebuildKernel32(gKernel32Exports);
}

// A one-shot signal between threads.
class Latch {
 public:
  void Signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  // The timeout only ends a hung run.
  bool Wait(uint32_t timeoutMs = 30000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// ---- Sleep that runs an action on chosen calls -------------------------------
// The action runs on the sleeping thread with the 1-based call number and the
// milliseconds asked for, before the stand-in sleeps and records the call.
inline std::function<void(uint32_t, uint32_t)> gSleepAction;
inline std::atomic<uint32_t> gSleepCalls{0};

inline void QI_STDCALL SteeredSleep(uint32_t ms) {
  uint32_t n = gSleepCalls.fetch_add(1) + 1;
  if (gSleepAction) gSleepAction(n, ms);
  reinterpret_cast<SleepFn>(sim::StandIn("Sleep"))(ms);
}

inline void SteerSleep(std::function<void(uint32_t, uint32_t)> action) {
  gSleepCalls = 0;
  gSleepAction = std::move(action);
  ReplaceKernel32Export("Sleep", reinterpret_cast<uintptr_t>(&SteeredSleep));
}

// Holds the worker inside its first Sleep call: `paused` is signalled there,
// and the worker goes on once `resume` is signalled.
inline void HoldWorkerInFirstSleep(Latch& paused, Latch& resume) {
  SteerSleep([&paused, &resume](uint32_t n, uint32_t) {
    if (n == 1) {
      paused.Signal();
      resume.Wait();
    }
  });
}

// Sets the plug-in's stop flag from inside the given Sleep call.
inline void RequestStop() { __atomic_store_n(&gState.stopRequested, 1, __ATOMIC_RELEASE); }

// ---- WriteFile that keeps every chunk ------------------------------------------
inline std::mutex gChunkMutex;
inline std::vector<std::string> gChunks;

inline int32_t QI_STDCALL CapturingWriteFile(Handle file, const void* data, uint32_t count,
                                             uint32_t* written, void* overlapped) {
  {
    std::lock_guard<std::mutex> lock(gChunkMutex);
    gChunks.emplace_back(static_cast<const char*>(data), count);
  }
  return reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"))(file, data, count, written,
                                                                  overlapped);
}

inline std::vector<std::string> Chunks() {
  std::lock_guard<std::mutex> lock(gChunkMutex);
  return gChunks;
}

// ---- CreateThread with a chosen result --------------------------------------------
inline std::atomic<uintptr_t> gCreatedThread{0};
inline std::atomic<uint32_t> gFakeCreateCalls{0};
inline uintptr_t gFakeThreadResult = 0;

// Passes the call on to the stand-in and keeps the handle it returned.
inline Handle QI_STDCALL ObservedCreateThread(void* security, uint32_t stackSize,
                                              ThreadStartFn start, void* parameter, uint32_t flags,
                                              uint32_t* threadId) {
  Handle h = reinterpret_cast<CreateThreadFn>(sim::StandIn("CreateThread"))(
      security, stackSize, start, parameter, flags, threadId);
  gCreatedThread = reinterpret_cast<uintptr_t>(h);
  return h;
}

// Starts nothing and returns gFakeThreadResult.
inline Handle QI_STDCALL FakeCreateThread(void*, uint32_t, ThreadStartFn, void*, uint32_t,
                                          uint32_t*) {
  ++gFakeCreateCalls;
  return reinterpret_cast<Handle>(gFakeThreadResult);
}

// ---- Fixture ------------------------------------------------------------------------
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    gKernel32Exports = sim::DefaultKernel32Exports();
    gSleepAction = nullptr;
    gSleepCalls = 0;
    {
      std::lock_guard<std::mutex> lock(gChunkMutex);
      gChunks.clear();
    }
    gCreatedThread = 0;
    gFakeCreateCalls = 0;
    gFakeThreadResult = 0;
  }
  void TearDown() override {
    sim::StopWorker();
    gSleepAction = nullptr;
  }
};

using testvalues::Hex;

}  // namespace core
