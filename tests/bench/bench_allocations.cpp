// Heap allocations while frames run: the binary interposes the allocator and
// counts every malloc, calloc and realloc (operator new goes through malloc)
// while counting is switched on.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "bench.h"
#include "standin/game_image.h"

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

void CountAllocations(bool on) { gCounting = on; }
uint64_t Allocations() { return gAllocations.load(); }

int CheckAllocations() {
  World& w = TheWorld();
  int failures = 0;
  for (const FrameKind& kind : kFrameKinds) {
    w.Configure(kind.name);
    uint64_t before = gAllocations.load();
    gCounting = true;
    for (int i = 0; i < 2000; ++i) w.Frame();
    gCounting = false;
    uint64_t n = gAllocations.load() - before;
    printf("%-18s 2000 frames, %llu heap allocations\n", kind.name,
           static_cast<unsigned long long>(n));
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

}  // namespace bench
