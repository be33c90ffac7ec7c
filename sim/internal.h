// Shared between the simulation's own files.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <vector>

#include "sim/sim.h"

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

// The exception a fault at `address` raises, decided from the page table
// as Windows' memory manager decides it, with the page changed as it
// changes it first (exception_dispatch.cpp asks).
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr uint32_t kGuardPageViolation = 0x80000001u;
constexpr uint32_t kInPageError = 0xC0000006u;
uint32_t TakePageFault(uintptr_t address);

// The SIGSEGV handler that dispatches a fault to the faulting thread's
// structured exception handlers (exception_dispatch.cpp); once per process.
void InstallExceptionDispatch();

// What the loader list says of a load address, for GetModuleHandleExW.
enum class ListedAs { None, Loaded, EntryPointFailed };
ListedAs ModuleAt(uintptr_t dllBase);

void ResetMemory();
void ResetLoader();
void ResetKernel32();
void ResetFilesAndThreads();

std::mutex& RecordMutex();

// The optional calls' stand-ins (loader_calls.cpp): one by name (0 when it is
// none of them), their exports for kernel32 (ntdll false) or ntdll, and
// the plug-in's entries pointed at them.
uintptr_t LoaderCallStandIn(const std::string& name);
void AddLoaderCallExports(bool ntdll, std::vector<Export>* exports);
void UseLoaderCallStandIns();

}  // namespace sim
