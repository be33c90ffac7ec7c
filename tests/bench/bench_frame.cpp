// What a HUD frame costs with the plug-in, measured in the simulated process
// against the same frame going straight to VHud's routine, and what one
// installer pass and the attach cost.
//
//   qi_bench [benchmark flags]     Google Benchmark, then the table of
//                                  ratios from the same run
//   qi_bench --check               runs every kind of frame and fails when
//                                  one allocated heap memory (a test)
//   qi_bench --count KIND FRAMES   runs FRAMES frames of one kind on a
//                                  second thread, with Callgrind's collection
//                                  switched on around them only
//                                  (tests/bench/callgrind.py)
//
// Frame kinds: direct (the jump leads to VHud's routine, the wheel sites hold
// VHud's bytes), steady (through the plug-in, both icons drawn, wheel
// closed), steady-stubquery (the same with a VirtualQuery that answers at
// once), wheel-direct and wheel (the wheel open, without and with the
// plug-in and its wheel patches), hidden1 .. hidden7 (through the plug-in in
// each hidden state); and pass (one second-phase installer pass on patched
// sites) and attach (the entry's attach, from its call to its return).
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_ZERO_STATS
#endif

#include "entry/entry.h"
#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

// ---- Heap allocations, counted while a measurement runs ---------------------------------
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gAllocations{0};
}  // namespace

extern "C" void* malloc(size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) ++gAllocations;
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) ++gAllocations;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) ++gAllocations;
  return __libc_realloc(p, size);
}
extern "C" void free(void* p) { __libc_free(p); }

namespace bench {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes BytesAt(uintptr_t at, uint32_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(at);
  return Bytes(p, p + n);
}

void Poke(uintptr_t at, const Bytes& bytes) {
  uintptr_t page = at & ~uintptr_t{0xFFF};
  uint32_t span = static_cast<uint32_t>(((at + bytes.size() + 0xFFF) & ~uintptr_t{0xFFF}) - page);
  uint32_t old = sim::ProtectOf(page);
  sim::SetProtect(page, span, sim::kPageExecuteReadWrite);
  memcpy(reinterpret_cast<void*>(at), bytes.data(), bytes.size());
  sim::SetProtect(page, span, old);
}

// A VirtualQuery that answers at once: every address lies in a committed,
// read-write region that ends at 0xFFFFF000.
uint32_t QI_STDCALL InstantQuery(const void* address, MemoryBasicInformation* info, uint32_t) {
  uintptr_t page = reinterpret_cast<uintptr_t>(address) & ~uintptr_t{0xFFF};
  info->baseAddress = page;
  info->allocationBase = page;
  info->allocationProtect = 0x04;
  info->regionSize = static_cast<uint32_t>(0xFFFFF000u - page);
  info->state = 0x1000;
  info->protect = 0x04;
  info->type = 0x20000;
  return sizeof(MemoryBasicInformation);
}

struct Site {
  uintptr_t at;
  Bytes original, patched;
};

class World {
 public:
  void Build() {
    sim::Reset();
    world_ = standin::BuildWorld(false);
    base_ = world_.vhudBase;
    if (!sim::OpenLogOnly()) abort();
    gState.vhudBase = base_;
    gState.vhudSize = world_.vhudSize;
    health_ = static_cast<uint32_t>(standin::MakeTexture(64, 64));
    armour_ = static_cast<uint32_t>(standin::MakeTexture(64, 64));
    standin::SetLoadResults(health_, armour_);
    alive_ = standin::MakePlayer(100.0f);
    dead_ = standin::MakePlayer(0.0f);
    standin::SetPlayer(alive_);
    // The sites as VHud has them, then as the plug-in leaves them.
    std::vector<std::pair<uintptr_t, uint32_t>> where = {{base_ + 0x6CDA8, 5},
                                                         {base_ + 0x6BBD9, 9}};
    for (uint32_t off : standin::kCentreTextSiteOffsets) where.push_back({base_ + off, 8});
    where.push_back({standin::kGameHudJump, 5});
    for (auto& w : where) sites_.push_back(Site{w.first, BytesAt(w.first, w.second), {}});
    InstallStaticSlotPatch();
    InstallSpacingPatch();
    InstallCentreTextPatch();
    if (InstallHudHook() != 1) abort();
    for (Site& s : sites_) s.patched = BytesAt(s.at, static_cast<uint32_t>(s.original.size()));
    query_ = gState.api.virtualQuery;
  }

  // Sets up one kind of frame and runs a frame, so that a change of state
  // is logged before the measurement.
  bool Configure(const std::string& kind) {
    bool plugin = kind != "direct" && kind != "wheel-direct";
    for (Site& s : sites_) Poke(s.at, plugin ? s.patched : s.original);
    gState.api.virtualQuery = kind == "steady-stubquery" ? &InstantQuery : query_;
    standin::SetMenuActive(0);
    standin::SetGameFrozen(0);
    standin::SetWantsToDrawHud(1);
    standin::SetWidescreen(0);
    standin::SetCutscene(0);
    standin::SetPlayer(alive_);
    standin::SetWheelOpen(base_, kind == "wheel" || kind == "wheel-direct" ? 1 : 0);
    standin::SetRadarEnabled(base_, 1);
    if (kind.rfind("hidden", 0) == 0) {
      int state = kind[6] - '0';
      if (state == 1) standin::SetMenuActive(1);
      if (state == 2) standin::SetGameFrozen(1);
      if (state == 3) standin::SetWantsToDrawHud(0);
      if (state == 4) standin::SetWidescreen(1);
      if (state == 5) standin::SetCutscene(1);
      if (state == 6) standin::SetPlayer(0);
      if (state == 7) standin::SetPlayer(dead_);
    } else if (kind != "direct" && kind != "steady" && kind != "steady-stubquery" &&
               kind != "wheel" && kind != "wheel-direct") {
      return false;
    }
    for (int i = 0; i < 3; ++i) Frame();
    // The frame does what this kind is meant to measure.
    uint32_t draws = standin::GameRecord()->drawCalls;
    uint32_t runs = standin::VhudRecord()->hudRuns;
    uint32_t wheels = standin::VhudWheelRecord()->runs;
    standin::RunHudFrame();
    bool steady = kind == "steady" || kind == "steady-stubquery";
    int32_t state = kind.rfind("hidden", 0) == 0 ? kind[6] - '0' : 0;
    bool ok =
        standin::GameRecord()->drawCalls - draws == (steady ? 2u : 0u) &&
        standin::VhudRecord()->hudRuns == runs + 1 &&
        standin::VhudWheelRecord()->runs - wheels == (kind.rfind("wheel", 0) == 0 ? 1u : 0u) &&
        (!plugin || gState.lastLoggedState == state);
    if (!ok) {
      fprintf(stderr, "qi_bench: a %s frame does not do what it should\n", kind.c_str());
      abort();
    }
    return true;
  }

  void Frame() {
    standin::RunHudFrame();
    // Keep the recorders from filling up; what they hold is not looked at.
    if (standin::GameRecord()->drawCalls >= 200) standin::ClearGameRecord();
    if (standin::VhudRecord()->hudRuns >= 200) standin::ClearVhudRecord();
  }

  void Pass() {
    InstallHudHook();
    InstallStaticSlotPatch();
    InstallSpacingPatch();
    InstallCentreTextPatch();
  }

  uintptr_t base_ = 0;

 private:
  standin::World world_{};
  uint32_t health_ = 0, armour_ = 0;
  uintptr_t alive_ = 0, dead_ = 0;
  std::vector<Site> sites_;
  VirtualQueryFn query_ = nullptr;
};

World gWorld;
bool gBuilt = false;

World& TheWorld() {
  if (!gBuilt) {
    gWorld.Build();
    gBuilt = true;
  }
  return gWorld;
}

const char* const kFrameKinds[] = {"direct",  "steady",  "steady-stubquery", "wheel-direct",
                                   "wheel",   "hidden1", "hidden2",          "hidden3",
                                   "hidden4", "hidden5", "hidden6",          "hidden7"};

// ---- Google Benchmark ------------------------------------------------------------------
void BM_Frame(benchmark::State& state, std::string kind) {
  World& w = TheWorld();
  w.Configure(kind);
  uint32_t queries = sim::Record().virtualQuery;
  uint64_t allocations = gAllocations.load();
  gCounting = true;
  for (auto _ : state) w.Frame();
  gCounting = false;
  state.counters["VirtualQuery/frame"] =
      static_cast<double>(sim::Record().virtualQuery - queries) / state.iterations();
  state.counters["allocations"] = static_cast<double>(gAllocations.load() - allocations);
}

void BM_InstallerPass(benchmark::State& state) {
  World& w = TheWorld();
  w.Configure("steady");
  uint32_t queries = sim::Record().virtualQuery;
  uint32_t protects = sim::Record().virtualProtect;
  for (auto _ : state) w.Pass();
  state.counters["VirtualQuery/pass"] =
      static_cast<double>(sim::Record().virtualQuery - queries) / state.iterations();
  state.counters["VirtualProtect"] = static_cast<double>(sim::Record().virtualProtect - protects);
}

// Attach: from the entry's call to its return. Between iterations the
// worker that attach started is stopped and the process set back.
void BM_Attach(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    sim::StopWorker();
    sim::Reset();
    state.ResumeTiming();
    DllMain(nullptr, kDllProcessAttach, nullptr);
  }
  sim::StopWorker();
  gBuilt = false;
}

// Keeps each run's time per iteration for the table of ratios.
class Keeper : public benchmark::ConsoleReporter {
 public:
  Keeper() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        double ns = r.GetAdjustedRealTime();
        if (r.time_unit == benchmark::kMicrosecond) ns *= 1e3;
        if (r.time_unit == benchmark::kMillisecond) ns *= 1e6;
        times[r.benchmark_name()] = ns;
        auto q = r.counters.find("VirtualQuery/frame");
        if (q != r.counters.end()) queries[r.benchmark_name()] = q->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> queries;
};

void PrintRatios(const Keeper& k) {
  auto t = [&](const std::string& kind) {
    auto it = k.times.find("frame/" + kind);
    return it == k.times.end() ? 0.0 : it->second;
  };
  auto q = [&](const std::string& kind) {
    auto it = k.queries.find("frame/" + kind);
    return it == k.queries.end() ? 0.0 : it->second;
  };
  double direct = t("direct");
  double wheelDirect = t("wheel-direct");
  if (direct <= 0) return;
  printf("\nPer frame, against the same frame straight to VHud's routine (one run):\n");
  printf("  %-18s %10s %10s %8s %14s\n", "frame", "ns", "overhead", "ratio", "VirtualQuery");
  auto row = [&](const std::string& kind, double against) {
    double ns = t(kind);
    if (ns <= 0) return;
    printf("  %-18s %10.1f %+10.1f %8.2f %14.1f\n", kind.c_str(), ns, ns - against, ns / against,
           q(kind));
  };
  row("direct", direct);
  row("steady", direct);
  row("steady-stubquery", direct);
  for (int s = 1; s <= 7; ++s) row("hidden" + std::to_string(s), direct);
  if (wheelDirect > 0) {
    row("wheel-direct", wheelDirect);
    row("wheel", wheelDirect);
  }
  auto pass = k.times.find("installer_pass");
  if (pass != k.times.end()) printf("  one installer pass: %.1f ns\n", pass->second);
  auto attach = k.times.find("attach/iterations:300");
  if (attach != k.times.end()) printf("  attach: %.1f ns\n", attach->second);
}

// ---- Modes of their own ------------------------------------------------------------------
// Every kind of frame, with the heap allocations of its frames counted.
int CheckAllocations() {
  World& w = TheWorld();
  int failures = 0;
  for (const char* kind : kFrameKinds) {
    w.Configure(kind);
    uint64_t before = gAllocations.load();
    gCounting = true;
    for (int i = 0; i < 2000; ++i) w.Frame();
    gCounting = false;
    uint64_t n = gAllocations.load() - before;
    printf("%-18s 2000 frames, %llu heap allocations\n", kind, static_cast<unsigned long long>(n));
    if (n != 0) ++failures;
  }
  // A change of state on every frame: the logging path too.
  w.Configure("steady");
  uint64_t before = gAllocations.load();
  gCounting = true;
  for (int i = 0; i < 200; ++i) {
    standin::SetMenuActive(i & 1);
    w.Frame();
  }
  gCounting = false;
  uint64_t n = gAllocations.load() - before;
  printf("%-18s 200 frames, %llu heap allocations\n", "state-changes",
         static_cast<unsigned long long>(n));
  if (n != 0) ++failures;
  // The allocation counter itself works.
  before = gAllocations.load();
  gCounting = true;
  static void* volatile kept;
  kept = malloc(16);
  gCounting = false;
  free(kept);
  if (gAllocations.load() != before + 1) {
    printf("the allocation counter does not count\n");
    ++failures;
  }
  printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
  return failures == 0 ? 0 : 1;
}

// Collection around the measured work only; the numbers are read from
// Callgrind's output by callgrind.py.
int Count(const std::string& kind, int frames) {
  if (kind == "attach") {
    sim::Reset();
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    DllMain(nullptr, kDllProcessAttach, nullptr);
    CALLGRIND_TOGGLE_COLLECT;
    sim::StopWorker();
    printf("attach\n");
    return 0;
  }
  World& w = TheWorld();
  if (kind == "pass") {
    w.Configure("steady");
    uint32_t queries = sim::Record().virtualQuery;
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < frames; ++i) w.Pass();
    CALLGRIND_TOGGLE_COLLECT;
    printf("pass %d VirtualQuery/pass %.2f\n", frames,
           static_cast<double>(sim::Record().virtualQuery - queries) / frames);
    return 0;
  }
  if (!w.Configure(kind)) {
    fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }
  uint32_t queries = sim::Record().virtualQuery;
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < frames; ++i) standin::RunHudFrame();
  CALLGRIND_TOGGLE_COLLECT;
  printf("%s %d VirtualQuery/frame %.2f\n", kind.c_str(), frames,
         static_cast<double>(sim::Record().virtualQuery - queries) / frames);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--check") == 0) return bench::CheckAllocations();
  if (argc >= 4 && strcmp(argv[1], "--count") == 0) {
    // On a thread of its own, whose whole stack is mapped from the start:
    // VHud's layout code touches its frame below the stack pointer, which
    // Valgrind does not allow on the main thread's growing stack.
    int result = 0;
    std::thread counting([&] { result = bench::Count(argv[2], atoi(argv[3])); });
    counting.join();
    return result;
  }
  for (const char* kind : bench::kFrameKinds) {
    benchmark::RegisterBenchmark((std::string("frame/") + kind).c_str(), bench::BM_Frame,
                                 std::string(kind));
  }
  benchmark::RegisterBenchmark("installer_pass", bench::BM_InstallerPass);
  benchmark::RegisterBenchmark("attach", bench::BM_Attach)->Iterations(300);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::Keeper keeper;
  benchmark::RunSpecifiedBenchmarks(&keeper);
  bench::PrintRatios(keeper);
  benchmark::Shutdown();
  return 0;
}
