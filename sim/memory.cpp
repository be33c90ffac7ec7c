// The page table behind VirtualQuery and VirtualProtect, over real mappings.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "sim/internal.h"
#include "sim/sim.h"

namespace sim {
namespace {

struct Range {
  uintptr_t end;  // exclusive; 0 means 2^32
  uint32_t state;
  uint32_t protect;
  uintptr_t allocationBase;
};

std::mutex gMutex;
std::map<uintptr_t, Range> gRanges;  // registered, non-overlapping
// Pages whose next access fails to bring their contents in: kept
// inaccessible, whatever their protection, until that access.
std::set<uintptr_t> gPageInFails;
// Mappings made here: base -> size (never unmapped).
std::map<uintptr_t, uint32_t> gMappings;

constexpr uint64_t kTop = 0x100000000ull;

uint64_t EndOf(const Range& r) { return r.end == 0 ? kTop : r.end; }

// The mapping's protection for a Windows one. Windows on x86 has no
// execute-only page: whatever may run may be read. Linux on a processor with
// protection keys makes PROT_EXEC alone execute-only, so every protection
// that allows execution asks for reading too. A copy-on-write page is
// private here already, so it is plainly writable.
int PosixProtect(uint32_t state, uint32_t protect) {
  if (state != kMemCommit) return PROT_NONE;
  if (protect & (kPageGuard | kPageNoAccess)) return PROT_NONE;
  switch (protect & 0xFF) {
    case kPageReadOnly:
      return PROT_READ;
    case kPageReadWrite:
    case kPageWriteCopy:
      return PROT_READ | PROT_WRITE;
    case kPageExecute:
    case kPageExecuteRead:
      return PROT_READ | PROT_EXEC;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
      return PROT_READ | PROT_WRITE | PROT_EXEC;
    default:
      return PROT_NONE;
  }
}

void Fail(const char* what, uintptr_t base) {
  fprintf(stderr, "sim: %s at 0x%08X: %s\n", what, static_cast<unsigned>(base), strerror(errno));
  abort();
}

// Splits the range that contains `at` so that a range begins at `at`.
void SplitAt(uintptr_t at) {
  auto it = gRanges.upper_bound(at);
  if (it == gRanges.begin()) return;
  --it;
  if (it->first == at || EndOf(it->second) <= at) return;
  Range tail = it->second;
  it->second.end = at;
  gRanges[at] = tail;
}

void MergeAround(uintptr_t from, uint64_t to) {
  auto it = gRanges.lower_bound(from);
  if (it != gRanges.begin()) --it;
  while (it != gRanges.end()) {
    auto next = std::next(it);
    if (next == gRanges.end() || next->first > to) break;
    if (EndOf(it->second) == next->first && it->second.state == next->second.state &&
        it->second.protect == next->second.protect &&
        it->second.allocationBase == next->second.allocationBase) {
      it->second.end = next->second.end;
      gRanges.erase(next);
    } else {
      it = next;
    }
  }
}

// Registers [base, base+size) with the given attributes (replacing what was
// there) and applies the real protection.
void SetAttributes(uintptr_t base, uint32_t size, uint32_t state, uint32_t protect,
                   uintptr_t allocationBase, bool keepAllocationBase) {
  uint64_t end = static_cast<uint64_t>(base) + size;
  SplitAt(base);
  if (end < kTop) SplitAt(static_cast<uintptr_t>(end));
  auto it = gRanges.lower_bound(base);
  uintptr_t cursor = base;
  while (cursor < end) {
    if (it == gRanges.end() || it->first > cursor) {
      uint64_t gapEnd = (it == gRanges.end()) ? end : std::min<uint64_t>(end, it->first);
      gRanges[cursor] = Range{static_cast<uintptr_t>(gapEnd), state, protect, allocationBase};
      cursor = static_cast<uintptr_t>(gapEnd);
      if (gapEnd >= end) break;
      it = gRanges.lower_bound(cursor);
      continue;
    }
    it->second.state = state;
    it->second.protect = protect;
    if (!keepAllocationBase) it->second.allocationBase = allocationBase;
    uint64_t rEnd = EndOf(it->second);
    cursor = static_cast<uintptr_t>(rEnd);
    ++it;
    if (rEnd >= end) break;
  }
  MergeAround(base, end);
  if (mprotect(reinterpret_cast<void*>(base), size, PosixProtect(state, protect)) != 0) {
    Fail("mprotect", base);
  }
  for (auto it = gPageInFails.lower_bound(base); it != gPageInFails.end() && *it < end; ++it) {
    if (mprotect(reinterpret_cast<void*>(*it), kPageSize, PROT_NONE) != 0) Fail("mprotect", *it);
  }
}

// The range registered for a page, or null.
Range* RangeOf(uintptr_t page) {
  auto it = gRanges.upper_bound(page);
  if (it == gRanges.begin()) return nullptr;
  --it;
  return EndOf(it->second) > page ? &it->second : nullptr;
}

bool OurMapping(uintptr_t base, uint32_t size) {
  auto it = gMappings.upper_bound(base);
  if (it == gMappings.begin()) return false;
  --it;
  return base >= it->first &&
         static_cast<uint64_t>(base) + size <= static_cast<uint64_t>(it->first) + it->second;
}

struct Heap {
  uintptr_t base = 0;
  uint32_t size = 0;
  uint32_t used = 0;
};
Heap gHeap;
constexpr uint32_t kHeapSize = 64u << 20;

}  // namespace

void MapFixed(uintptr_t base, uint32_t size, uint32_t protect) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!OurMapping(base, size)) {
    void* p = mmap(reinterpret_cast<void*>(base), size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) != base) Fail("mmap fixed", base);
    gMappings[base] = size;
  } else {
    if (mprotect(reinterpret_cast<void*>(base), size, PROT_READ | PROT_WRITE) != 0) {
      Fail("mprotect", base);
    }
    memset(reinterpret_cast<void*>(base), 0, size);
  }
  SetAttributes(base, size, kMemCommit, protect, base, false);
}

uintptr_t MapAnywhere(uint32_t size, uint32_t alignment, uint32_t protect) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (alignment < kPageSize) alignment = kPageSize;
  size_t span = static_cast<size_t>(size) + alignment;
  void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) Fail("mmap", 0);
  uintptr_t raw = reinterpret_cast<uintptr_t>(p);
  uintptr_t base = (raw + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
  if (base > raw) munmap(p, base - raw);
  uintptr_t tail = base + size;
  if (raw + span > tail) munmap(reinterpret_cast<void*>(tail), raw + span - tail);
  gMappings[base] = size;
  SetAttributes(base, size, kMemCommit, protect, base, false);
  return base;
}

void SetProtect(uintptr_t base, uint32_t size, uint32_t protect) {
  std::lock_guard<std::mutex> lock(gMutex);
  SetAttributes(base, size, kMemCommit, protect, 0, true);
}

void SetState(uintptr_t base, uint32_t size, uint32_t state) {
  std::lock_guard<std::mutex> lock(gMutex);
  uint32_t protect = state == kMemCommit ? kPageReadWrite : 0;
  SetAttributes(base, size, state, protect, 0, true);
}

void* Allocate(uint32_t size, uint32_t alignment) {
  if (gHeap.base == 0) {
    gHeap.base = MapAnywhere(kHeapSize, 0x10000, kPageReadWrite);
    gHeap.size = kHeapSize;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  if (alignment == 0) alignment = 1;
  uint32_t at = (gHeap.used + alignment - 1) & ~(alignment - 1);
  if (at + size > gHeap.size) {
    fprintf(stderr, "sim: simulated heap exhausted\n");
    abort();
  }
  gHeap.used = at + size;
  return reinterpret_cast<void*>(gHeap.base + at);
}

uint32_t ProtectOf(uintptr_t address) {
  MemoryBasicInfo info;
  QueryRegion(address, &info);
  return info.protect;
}

uint32_t StateOf(uintptr_t address) {
  MemoryBasicInfo info;
  QueryRegion(address, &info);
  return info.state;
}

bool QueryRegion(uintptr_t address, MemoryBasicInfo* info) {
  std::lock_guard<std::mutex> lock(gMutex);
  uintptr_t page = address & ~static_cast<uintptr_t>(kPageSize - 1);
  memset(info, 0, sizeof(*info));
  info->baseAddress = page;
  auto it = gRanges.upper_bound(page);
  if (it == gRanges.begin() || EndOf(std::prev(it)->second) <= page) {
    // Free memory up to the next registered range.
    uint64_t next = (it == gRanges.end()) ? kTop : it->first;
    info->regionSize = static_cast<uint32_t>(next - page);
    info->state = kMemFree;
    info->protect = kPageNoAccess;
    return true;
  }
  --it;
  const Range& r = it->second;
  uint64_t end = EndOf(r);
  // Neighbouring ranges of one allocation with the same attributes form one
  // region, as they do on Windows.
  for (auto next = std::next(it);
       next != gRanges.end() && next->first == end && next->second.state == r.state &&
       next->second.protect == r.protect && next->second.allocationBase == r.allocationBase;
       ++next) {
    end = EndOf(next->second);
  }
  uint64_t size = end - page;
  info->regionSize = size >= kTop ? 0xFFFFF000u : static_cast<uint32_t>(size);
  info->state = r.state;
  info->protect = r.state == kMemCommit ? r.protect : 0;
  info->allocationBase = r.allocationBase;
  info->allocationProtect = kPageReadWrite;
  info->type = r.state == kMemFree ? 0 : 0x20000;  // MEM_PRIVATE
  return true;
}

bool ChangeProtect(uintptr_t address, uint32_t size, uint32_t protect, uint32_t* oldProtect) {
  std::lock_guard<std::mutex> lock(gMutex);
  uintptr_t first = address & ~static_cast<uintptr_t>(kPageSize - 1);
  uint64_t last = (static_cast<uint64_t>(address) + (size == 0 ? 1 : size) + kPageSize - 1) &
                  ~static_cast<uint64_t>(kPageSize - 1);
  uint32_t old = 0;
  for (uint64_t page = first; page < last;) {
    auto it = gRanges.upper_bound(static_cast<uintptr_t>(page));
    if (it == gRanges.begin()) return false;
    --it;
    if (EndOf(it->second) <= page || it->second.state != kMemCommit) return false;
    if (page == first) old = it->second.protect;
    page = EndOf(it->second);
  }
  SetAttributes(first, static_cast<uint32_t>(last - first), kMemCommit, protect, 0, true);
  *oldProtect = old;
  return true;
}

void FailNextPageIn(uintptr_t address) {
  std::lock_guard<std::mutex> lock(gMutex);
  uintptr_t page = address & ~static_cast<uintptr_t>(kPageSize - 1);
  gPageInFails.insert(page);
  if (mprotect(reinterpret_cast<void*>(page), kPageSize, PROT_NONE) != 0) Fail("mprotect", page);
}

// As Windows' memory manager does before it raises the exception: a guard
// page loses its guard (its other protection stays), a page whose contents
// could not be brought in is tried afresh at its next access.
uint32_t TakePageFault(uintptr_t address) {
  std::lock_guard<std::mutex> lock(gMutex);
  uintptr_t page = address & ~static_cast<uintptr_t>(kPageSize - 1);
  Range* range = RangeOf(page);
  if (gPageInFails.erase(page) != 0) {
    int protect = range != nullptr ? PosixProtect(range->state, range->protect) : PROT_NONE;
    if (mprotect(reinterpret_cast<void*>(page), kPageSize, protect) != 0) Fail("mprotect", page);
    return kInPageError;
  }
  if (range != nullptr && range->state == kMemCommit && (range->protect & kPageGuard) != 0) {
    SetAttributes(page, kPageSize, kMemCommit, range->protect & ~kPageGuard, 0, true);
    return kGuardPageViolation;
  }
  return kAccessViolation;
}

void ResetMemory() {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    for (uintptr_t page : gPageInFails) {
      Range* range = RangeOf(page);
      int protect = range != nullptr ? PosixProtect(range->state, range->protect) : PROT_NONE;
      mprotect(reinterpret_cast<void*>(page), kPageSize, protect);
    }
    gPageInFails.clear();
  }
  if (gHeap.base != 0) {
    std::lock_guard<std::mutex> lock(gMutex);
    SetAttributes(gHeap.base, gHeap.size, kMemCommit, kPageReadWrite, gHeap.base, false);
    memset(reinterpret_cast<void*>(gHeap.base), 0, gHeap.used);
    gHeap.used = 0;
  }
}

}  // namespace sim
