// kernel32 stand-ins (stdcall, POSIX-backed), faults, records, threads,
// files and the process reset.
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "sim/internal.h"
#include "sim/sim.h"
#include "state/plugin_state.h"

namespace sim {

void RebuildImage(uintptr_t base, const std::vector<Export>& exports);
uint32_t ImageCapacity(uintptr_t base);

namespace {

// The plug-in's state as the loader maps it, before anything ran.
const PluginState kPristine = gState;

std::mutex gRecordMutex;
std::condition_variable gSleepSignal;
Records gRecords;
Faults gFaults;
double gTimeFactor = 0.001;
uint32_t gLiftingCalls = 0;
void (*gSleepHook)(uint32_t, uint32_t) = nullptr;

struct Started {
  pthread_t thread;
  ThreadStartFn start;
  void* parameter;
};
std::mutex gThreadMutex;
std::vector<Started*> gThreads;
uint32_t gThreadsStarted = 0;

constexpr uintptr_t kFileHandleBase = 0x00F00000;
constexpr uintptr_t kThreadHandleBase = 0x00E00000;
std::vector<int> gOpenFds;

std::string gWorkDir;
uintptr_t gKernel32 = 0;
uintptr_t gNtdll = 0;

bool IsFileHandle(Handle h, int* fd) {
  uintptr_t v = h;
  if (v < kFileHandleBase || v >= kFileHandleBase + 0x40000) return false;
  *fd = static_cast<int>((v - kFileHandleBase) / 4);
  return true;
}

void* ThreadMain(void* arg) {
  auto* s = static_cast<Started*>(arg);
  s->start(s->parameter);
  return nullptr;
}

Handle QI_STDCALL StandInCreateThread(void* security, uint32_t stackSize, ThreadStartFn start,
                                      void* parameter, uint32_t flags, uint32_t* threadId) {
  (void)security;
  (void)stackSize;
  (void)flags;
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.createThread;
  }
  if (gFaults.createThreadFail) return 0;
  auto* s = new Started{pthread_t(), start, parameter};
  std::lock_guard<std::mutex> lock(gThreadMutex);
  if (pthread_create(&s->thread, nullptr, ThreadMain, s) != 0) {
    delete s;
    return 0;
  }
  gThreads.push_back(s);
  ++gThreadsStarted;
  if (threadId != nullptr) *threadId = gThreadsStarted;
  return kThreadHandleBase + gThreadsStarted * 4;
}

void QI_STDCALL StandInSleep(uint32_t milliseconds) {
  uint32_t count;
  void (*hook)(uint32_t, uint32_t);
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.sleep;
    gRecords.sleeps.push_back(milliseconds);
    count = gRecords.sleep;
    hook = gSleepHook;
  }
  gSleepSignal.notify_all();
  if (hook != nullptr) hook(count, milliseconds);
  double us = milliseconds * 1000.0 * gTimeFactor;
  if (us >= 1.0) usleep(static_cast<useconds_t>(us));
}

int32_t QI_STDCALL StandInVirtualProtect(void* address, uint32_t size, uint32_t newProtect,
                                         uint32_t* oldProtect) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  bool fail = false;
  bool undo = false;
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.virtualProtect;
    if (newProtect == kPageExecuteReadWrite) {
      ++gLiftingCalls;
      fail = gFaults.virtualProtectFailAll ||
             (gFaults.virtualProtectFailAt != 0 &&
              gLiftingCalls == static_cast<uint32_t>(gFaults.virtualProtectFailAt));
      undo = gFaults.virtualProtectUndoneAt != 0 &&
             gLiftingCalls == static_cast<uint32_t>(gFaults.virtualProtectUndoneAt);
    }
  }
  bool ok = !fail && ChangeProtect(at, size, newProtect, oldProtect);
  if (ok && undo) {
    uint32_t granted = 0;
    if (gFaults.undoneBy == Faults::Undo::Guard) {
      ChangeProtect(at, size, newProtect | kPageGuard, &granted);
    } else if (gFaults.undoneBy == Faults::Undo::PageIn) {
      FailNextPageIn(at);
    } else {
      ChangeProtect(at, size, *oldProtect, &granted);
    }
  }
  std::lock_guard<std::mutex> lock(gRecordMutex);
  gRecords.protects.push_back(ProtectCall{at, size, newProtect, ok});
  return ok ? 1 : 0;
}

uint32_t QI_STDCALL StandInVirtualQuery(const void* address, MemoryBasicInformation* info,
                                        uint32_t length) {
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.virtualQuery;
  }
  if (gFaults.virtualQueryFail || info == nullptr || length < sizeof(MemoryBasicInformation)) {
    return 0;
  }
  MemoryBasicInfo region;
  QueryRegion(reinterpret_cast<uintptr_t>(address), &region);
  static_assert(sizeof(region) == sizeof(*info));
  memcpy(info, &region, sizeof(region));
  return sizeof(MemoryBasicInformation);
}

Handle QI_STDCALL StandInCreateFileA(const char* name, uint32_t access, uint32_t share,
                                     void* security, uint32_t disposition, uint32_t flags,
                                     Handle templateFile) {
  (void)security;
  (void)templateFile;
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.createFileA;
    gRecords.createFiles.push_back(
        CreateFileCall{name ? name : "", access, share, disposition, flags});
  }
  if (gFaults.createFileFail || name == nullptr) return QI_INVALID_HANDLE;
  int oflags = O_WRONLY | O_CREAT;
  if (disposition == 2) oflags |= O_TRUNC;  // CREATE_ALWAYS
  int fd = open(name, oflags | O_CLOEXEC, 0644);
  if (fd < 0) return QI_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(gRecordMutex);
  gOpenFds.push_back(fd);
  return kFileHandleBase + static_cast<uintptr_t>(fd) * 4;
}

int32_t QI_STDCALL StandInWriteFile(Handle file, const void* data, uint32_t count,
                                    uint32_t* written, void* overlapped) {
  (void)overlapped;
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.writeFile;
  }
  int fd;
  if (gFaults.writeFileFail || !IsFileHandle(file, &fd)) return 0;
  uint32_t n = count;
  if (gFaults.writeFileShortBy > 0) {
    n = count > static_cast<uint32_t>(gFaults.writeFileShortBy) ? count - gFaults.writeFileShortBy
                                                                : 0;
  }
  ssize_t done = n == 0 ? 0 : write(fd, data, n);
  if (written != nullptr) *written = done > 0 ? static_cast<uint32_t>(done) : 0;
  return done >= 0 ? 1 : 0;
}

int32_t QI_STDCALL StandInFlushFileBuffers(Handle file) {
  uint32_t wait;
  {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    ++gRecords.flushFileBuffers;
    gRecords.flushThreads.push_back(std::this_thread::get_id());
    wait = gFaults.flushFileBuffersMicroseconds;
  }
  if (wait != 0) usleep(wait);
  int fd;
  return IsFileHandle(file, &fd) ? 1 : 0;
}

int32_t QI_STDCALL StandInCloseHandle(Handle handle) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  ++gRecords.closeHandle;
  gRecords.closedHandles.push_back(handle);
  int fd;
  if (IsFileHandle(handle, &fd)) {
    for (size_t i = 0; i < gOpenFds.size(); ++i) {
      if (gOpenFds[i] == fd) {
        close(fd);
        gOpenFds.erase(gOpenFds.begin() + static_cast<long>(i));
        return 1;
      }
    }
    return 0;
  }
  return 1;
}

// Decoys whose names share prefixes with the eight; calling one is a fault.
uint32_t QI_STDCALL Decoy() {
  fprintf(stderr, "sim: a decoy kernel32 export was called\n");
  abort();
}

struct Named {
  const char* name;
  uintptr_t address;
};

const Named kStandIns[] = {
    {"CreateThread", reinterpret_cast<uintptr_t>(&StandInCreateThread)},
    {"Sleep", reinterpret_cast<uintptr_t>(&StandInSleep)},
    {"VirtualProtect", reinterpret_cast<uintptr_t>(&StandInVirtualProtect)},
    {"VirtualQuery", reinterpret_cast<uintptr_t>(&StandInVirtualQuery)},
    {"CreateFileA", reinterpret_cast<uintptr_t>(&StandInCreateFileA)},
    {"WriteFile", reinterpret_cast<uintptr_t>(&StandInWriteFile)},
    {"FlushFileBuffers", reinterpret_cast<uintptr_t>(&StandInFlushFileBuffers)},
    {"CloseHandle", reinterpret_cast<uintptr_t>(&StandInCloseHandle)},
};

}  // namespace

std::mutex& RecordMutex() { return gRecordMutex; }

uintptr_t StandIn(const std::string& name) {
  for (const Named& n : kStandIns) {
    if (name == n.name) return n.address;
  }
  return LoaderCallStandIn(name);
}

std::vector<Export> DefaultKernel32Exports() {
  // Sorted by name, as a real export table is, with decoys around the eight.
  const char* decoys[] = {"CreateFileW",      "CreateThreadpool",  "SleepEx",
                          "VirtualProtectEx", "VirtualQueryEx",    "WriteFileEx",
                          "CloseHandleEx",    "GetModuleHandleExA"};
  std::vector<Export> all;
  for (const Named& n : kStandIns) {
    Export e;
    e.name = n.name;
    e.address = n.address;
    all.push_back(e);
  }
  AddLoaderCallExports(false, &all);
  for (const char* d : decoys) {
    Export e;
    e.name = d;
    e.address = reinterpret_cast<uintptr_t>(&Decoy);
    all.push_back(e);
  }
  std::sort(all.begin(), all.end(),
            [](const Export& a, const Export& b) { return a.name < b.name; });
  return all;
}

uintptr_t Kernel32Base() { return gKernel32; }
uintptr_t NtdllBase() { return gNtdll; }

std::vector<Export> DefaultNtdllExports() {
  std::vector<Export> all;
  AddLoaderCallExports(true, &all);
  return all;
}

void RebuildNtdll(const std::vector<Export>& exports) { RebuildImage(gNtdll, exports); }

void RebuildKernel32(const std::vector<Export>& exports) { RebuildImage(gKernel32, exports); }

void RemoveKernel32Exports(const std::vector<std::string>& names) {
  std::vector<Export> kept;
  for (const Export& e : DefaultKernel32Exports()) {
    bool drop = false;
    for (const std::string& n : names) drop = drop || e.name == n;
    if (!drop) kept.push_back(e);
  }
  RebuildKernel32(kept);
}

Faults& Fault() { return gFaults; }
Records& Record() { return gRecords; }

void SetTimeFactor(double factor) { gTimeFactor = factor; }

void SetSleepHook(void (*hook)(uint32_t, uint32_t)) {
  std::lock_guard<std::mutex> lock(gRecordMutex);
  gSleepHook = hook;
}

uint32_t ThreadsStarted() {
  std::lock_guard<std::mutex> lock(gThreadMutex);
  return gThreadsStarted;
}

void StopWorker() {
  __atomic_store_n(&gState.stopRequested, 1, __ATOMIC_RELEASE);
  std::vector<Started*> threads;
  {
    std::lock_guard<std::mutex> lock(gThreadMutex);
    threads.swap(gThreads);
  }
  for (Started* s : threads) {
    pthread_join(s->thread, nullptr);
    delete s;
  }
}

bool WaitForSleeps(uint32_t count, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(gRecordMutex);
  return gSleepSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return gRecords.sleep >= count; });
}

void UseStandIns() {
  gState.api.createThread = &StandInCreateThread;
  gState.api.sleep = &StandInSleep;
  gState.api.virtualProtect = &StandInVirtualProtect;
  gState.api.virtualQuery = &StandInVirtualQuery;
  gState.api.createFileA = &StandInCreateFileA;
  gState.api.writeFile = &StandInWriteFile;
  gState.api.flushFileBuffers = &StandInFlushFileBuffers;
  gState.api.closeHandle = &StandInCloseHandle;
  UseLoaderCallStandIns();
}

bool OpenLogOnly() {
  UseStandIns();
  gState.logFile = StandInCreateFileA("Quorvel_Icons.log", 0x40000000, 3, nullptr, 2, 0x80, 0);
  std::lock_guard<std::mutex> lock(gRecordMutex);
  gRecords = Records();
  return gState.logFile != QI_INVALID_HANDLE;
}

void ResetFilesAndThreads() {
  StopWorker();
  std::lock_guard<std::mutex> lock(gRecordMutex);
  for (int fd : gOpenFds) close(fd);
  gOpenFds.clear();
  gRecords = Records();
  gFaults = Faults();
  gLiftingCalls = 0;
  gThreadsStarted = 0;
  gTimeFactor = 0.001;
  gSleepHook = nullptr;
}

void RemoveWorkDir() {
  if (!gWorkDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(gWorkDir, ignored);
    gWorkDir.clear();
  }
}

void Reset() {
  static bool cleanupRegistered = false;
  if (!cleanupRegistered) {
    cleanupRegistered = true;
    atexit(RemoveWorkDir);
  }
  InstallExceptionDispatch();
  ResetFilesAndThreads();
  __builtin_memcpy(&gState, &kPristine, sizeof(PluginState));
  ResetMemory();
  ResetLoader();
  if (gKernel32 == 0) {
    gKernel32 = BuildImage(DefaultKernel32Exports(), 0x10000);
    gNtdll = BuildImage(DefaultNtdllExports(), 0x10000);
  } else {
    RebuildKernel32(DefaultKernel32Exports());
    RebuildNtdll(DefaultNtdllExports());
  }
  AddModule("ntdll.dll", gNtdll);
  AddModule("KERNEL32.DLL", gKernel32);

  RemoveWorkDir();
  // The process's folder, where the plug-in writes its log: a new one in the
  // user's temporary folder.
  const char* tmp = getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qi-sim-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) abort();
  gWorkDir = path;
  if (chdir(path.c_str()) != 0) abort();
}

std::string WorkDir() { return gWorkDir; }

}  // namespace sim
