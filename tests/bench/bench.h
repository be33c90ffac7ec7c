// The per-frame benchmark's parts: the heap allocation counter
// (bench_allocations.cpp), the bench's world and its kinds of frame
// (bench_world.cpp), and the benchmarks and the modes of qi_bench
// (bench_frame.cpp).
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "state/plugin_state.h"

namespace bench {

// ---- Heap allocations, counted while a measurement runs (bench_allocations.cpp) --------
void CountAllocations(bool on);
uint64_t Allocations();
// qi_bench --check: every kind of frame, with the heap allocations of its frames counted.
int CheckAllocations();
// qi_bench --calls: every kind of frame, its VirtualQuery calls against kFrameKinds.
int CheckCalls();
// qi_bench --retry-frames [US]: a missing icon's retry frames against a slow
// flush (bench_retry.cpp); fails when the render thread flushed.
int RetryFrames(uint32_t flushMicroseconds);

// ---- The bench's world (bench_world.cpp) -------------------------------------------------
using Bytes = std::vector<uint8_t>;

struct Site {
  uintptr_t at;
  Bytes original, patched;
};

class World {
 public:
  void Build();
  // Sets up one kind of frame and runs a frame, so that a change of state
  // is logged before the measurement.
  bool Configure(const std::string& kind);
  void Frame();
  void Pass();

  uintptr_t base_ = 0;

 private:
  uintptr_t alive_ = 0, dead_ = 0;
  uint32_t health_ = 0, armour_ = 0;
  std::vector<Site> sites_;
  VirtualQueryFn query_ = nullptr;
};

World& TheWorld();
// The next TheWorld() builds the world again (after something reset the process).
void ForgetWorld();

// VirtualQuery calls so far: the simulation's and the instant stand-in's.
uint32_t QueriesSoFar();

// A kind of frame, the VirtualQuery calls one such frame made at commit
// ce078c6, before a frame kept its answers, and those it makes now: one for
// each distinct region it reads from. More means a region asked about twice,
// fewer a read without its answer.
struct FrameKind {
  const char* name;
  uint32_t queriesBefore;
  uint32_t queries;
};
constexpr uint32_t kFrameKindCount = 12;
extern const FrameKind kFrameKinds[kFrameKindCount];

}  // namespace bench
