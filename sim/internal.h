// Shared between the simulation's own files.
#pragma once

#include <stdint.h>

#include <mutex>

namespace sim {

struct MemoryBasicInfo {
  uintptr_t baseAddress;
  uintptr_t allocationBase;
  uint32_t allocationProtect;
  uint32_t regionSize;
  uint32_t state;
  uint32_t protect;
  uint32_t type;
};

// Page table queries and changes used by the kernel32 stand-ins.
bool QueryRegion(uintptr_t address, MemoryBasicInfo* info);
// Changes the protection of committed pages; false when any page of the
// range is not committed. `oldProtect` receives the first page's protection.
bool ChangeProtect(uintptr_t address, uint32_t size, uint32_t protect, uint32_t* oldProtect);

void ResetMemory();
void ResetLoader();
void ResetKernel32();
void ResetFilesAndThreads();

std::mutex& RecordMutex();

}  // namespace sim
