// What a HUD frame costs with the plug-in, measured in the simulated process
// against the same frame going straight to VHud's routine, and what one
// installer pass and the attach cost.
//
//   qi_bench [benchmark flags]     Google Benchmark, then the table of
//                                  ratios from the same run; fails when a
//                                  benchmark did not run to its end or a
//                                  pass over patched sites lifted a page's
//                                  protection (a test: bench.short_run)
//   qi_bench --check               runs every kind of frame and fails when
//                                  one allocated heap memory (a test)
//   qi_bench --calls               the VirtualQuery calls of every kind of
//                                  frame against those of commit ce078c6;
//                                  fails when a kind makes more than its
//                                  limit (a test)
//   qi_bench --retry-frames [US]   a missing icon's retry frames against a
//                                  FlushFileBuffers taking US microseconds:
//                                  the steady and the worst frame; fails when
//                                  the render thread flushed (a test)
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

#include "bench.h"
#include "entry/entry.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "state/plugin_state.h"
#include "worker/worker.h"

namespace bench {
namespace {

// ---- Google Benchmark ------------------------------------------------------------------
void BM_Frame(benchmark::State& state, std::string kind) {
  World& w = TheWorld();
  w.Configure(kind);
  uint32_t queries = QueriesSoFar();
  uint64_t allocations = Allocations();
  CountAllocations(true);
  for (auto _ : state) w.Frame();
  CountAllocations(false);
  state.counters["VirtualQuery/frame"] =
      static_cast<double>(QueriesSoFar() - queries) / state.iterations();
  state.counters["allocations"] = static_cast<double>(Allocations() - allocations);
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
  ForgetWorld();
}

// Keeps each run's time per iteration for the table of ratios.
class Keeper : public benchmark::ConsoleReporter {
 public:
  Keeper() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.error_occurred) {
        errors.push_back(r.benchmark_name() + ": " + r.error_message);
      }
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        double ns = r.GetAdjustedRealTime();
        if (r.time_unit == benchmark::kMicrosecond) ns *= 1e3;
        if (r.time_unit == benchmark::kMillisecond) ns *= 1e6;
        times[r.benchmark_name()] = ns;
        auto q = r.counters.find("VirtualQuery/frame");
        if (q != r.counters.end()) queries[r.benchmark_name()] = q->second.value;
        auto p = r.counters.find("VirtualProtect");
        if (p != r.counters.end()) protects[r.benchmark_name()] = p->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> queries;
  std::map<std::string, double> protects;
  std::vector<std::string> errors;
};

// What a run of every benchmark must show, however fast the machine: each
// one ran to its end without an error, and an installer pass over sites that
// hold the plug-in's bytes changed no page's protection.
int CheckRuns(const Keeper& k, const std::vector<std::string>& names) {
  int failures = 0;
  for (const std::string& e : k.errors) {
    printf("FAILED: %s\n", e.c_str());
    ++failures;
  }
  for (const std::string& name : names) {
    if (k.times.count(name) == 0) {
      printf("FAILED: %s did not run to its end\n", name.c_str());
      ++failures;
    }
  }
  auto pass = k.protects.find("installer_pass");
  if (pass != k.protects.end() && pass->second != 0) {
    printf("FAILED: an installer pass over patched sites called VirtualProtect %g times\n",
           pass->second);
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

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
  printf("  %-18s %10s %10s %8s %14s %9s\n", "frame", "ns", "overhead", "ratio", "VirtualQuery",
         "ce078c6");
  auto row = [&](const std::string& kind, double against) {
    double ns = t(kind);
    if (ns <= 0) return;
    uint32_t before = 0;
    for (const FrameKind& k : kFrameKinds) {
      if (kind == k.name) before = k.queriesBefore;
    }
    printf("  %-18s %10.1f %+10.1f %8.2f %14.1f %9u\n", kind.c_str(), ns, ns - against,
           ns / against, q(kind), before);
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

}  // namespace

// ---- Modes of their own ------------------------------------------------------------------
// Every kind of frame: its VirtualQuery calls against those of commit ce078c6.
int CheckCalls() {
  World& w = TheWorld();
  constexpr int kFrames = 100;
  int failures = 0;
  printf("%-18s %8s %8s %8s %8s\n", "frame", "calls", "ce078c6", "ratio", "expected");
  for (const FrameKind& kind : kFrameKinds) {
    w.Configure(kind.name);
    uint32_t before = QueriesSoFar();
    for (int i = 0; i < kFrames; ++i) w.Frame();
    uint32_t calls = QueriesSoFar() - before;
    bool ok = calls == kind.queries * kFrames;
    double perFrame = static_cast<double>(calls) / kFrames;
    char ratio[16] = "-";
    if (kind.queriesBefore != 0)
      snprintf(ratio, sizeof(ratio), "%.2f", perFrame / kind.queriesBefore);
    printf("%-18s %8.2f %8u %8s %8u%s\n", kind.name, perFrame, kind.queriesBefore, ratio,
           kind.queries, ok ? "" : "  FAILED");
    if (!ok) ++failures;
  }
  printf("%s\n", failures == 0 ? "every kind as expected" : "FAILED");
  return failures == 0 ? 0 : 1;
}

namespace {

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
  uint32_t queries = QueriesSoFar();
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < frames; ++i) standin::RunHudFrame();
  CALLGRIND_TOGGLE_COLLECT;
  printf("%s %d VirtualQuery/frame %.2f\n", kind.c_str(), frames,
         static_cast<double>(QueriesSoFar() - queries) / frames);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--check") == 0) return bench::CheckAllocations();
  if (argc >= 2 && strcmp(argv[1], "--calls") == 0) return bench::CheckCalls();
  if (argc >= 2 && strcmp(argv[1], "--retry-frames") == 0) {
    return bench::RetryFrames(argc >= 3 ? static_cast<uint32_t>(atoi(argv[2])) : 8000u);
  }
  if (argc >= 4 && strcmp(argv[1], "--count") == 0) {
    // On a thread of its own, whose whole stack is mapped from the start:
    // VHud's layout code touches its frame below the stack pointer, which
    // Valgrind does not allow on the main thread's growing stack.
    int result = 0;
    std::thread counting([&] { result = bench::Count(argv[2], atoi(argv[3])); });
    counting.join();
    return result;
  }
  std::vector<std::string> names;
  for (const bench::FrameKind& kind : bench::kFrameKinds) {
    names.push_back(std::string("frame/") + kind.name);
    benchmark::RegisterBenchmark(names.back().c_str(), bench::BM_Frame, std::string(kind.name));
  }
  benchmark::RegisterBenchmark("installer_pass", bench::BM_InstallerPass);
  benchmark::RegisterBenchmark("attach", bench::BM_Attach)->Iterations(300);
  names.push_back("installer_pass");
  names.push_back("attach/iterations:300");
  bool filtered = false;
  for (int i = 1; i < argc; ++i) filtered |= strncmp(argv[i], "--benchmark_filter", 18) == 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::Keeper keeper;
  benchmark::RunSpecifiedBenchmarks(&keeper);
  bench::PrintRatios(keeper);
  benchmark::Shutdown();
  return bench::CheckRuns(keeper, filtered ? std::vector<std::string>{} : names);
}
