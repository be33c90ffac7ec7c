// The loader's module list in its 32-bit Windows layout.
#include <string.h>

#include <mutex>
#include <vector>

#include "sim/internal.h"
#include "sim/sim.h"

namespace sim {
namespace {

struct ListEntry {
  uintptr_t flink;
  uintptr_t blink;
};

struct Peb {  // only the fields read; Ldr at 0x0C
  uint8_t reserved[0x0C];
  uintptr_t ldr;
  uint8_t rest[0x1F0];
};
static_assert(__builtin_offsetof(Peb, ldr) == 0x0C);

struct LdrData {  // InMemoryOrderModuleList at 0x14
  uint8_t reserved[0x14];
  ListEntry inMemoryOrder;
  uint8_t rest[0x20];
};
static_assert(__builtin_offsetof(LdrData, inMemoryOrder) == 0x14);

struct LdrEntry {
  ListEntry inLoadOrder;         // 0x00
  ListEntry inMemoryOrder;       // 0x08
  ListEntry inInitOrder;         // 0x10
  uintptr_t dllBase;             // 0x18
  uintptr_t entryPoint;          // 0x1C
  uint32_t sizeOfImage;          // 0x20
  uint16_t fullLength, fullMax;  // 0x24
  uintptr_t fullBuffer;          // 0x28
  uint16_t baseLength, baseMax;  // 0x2C
  uintptr_t baseBuffer;          // 0x30
  uint32_t flags;                // 0x34
  uint8_t rest[0x1C];
};
static_assert(__builtin_offsetof(LdrEntry, dllBase) == 0x18);
static_assert(__builtin_offsetof(LdrEntry, baseLength) == 0x2C);
static_assert(__builtin_offsetof(LdrEntry, baseBuffer) == 0x30);
static_assert(__builtin_offsetof(LdrEntry, flags) == 0x34);

// The loader's lock: held while the list changes, and by LdrLockLoaderLock.
std::recursive_mutex gMutex;
Peb* gPeb = nullptr;
LdrData* gLdr = nullptr;
LoaderShape gShape = LoaderShape::Normal;
// Load addresses of modules whose entry point failed.
std::vector<uintptr_t> gFailed;

uintptr_t Head() { return reinterpret_cast<uintptr_t>(&gLdr->inMemoryOrder); }

void Publish(uintptr_t* field, uintptr_t value) {
  __atomic_store_n(field, value, __ATOMIC_RELEASE);
}

uintptr_t Append(uintptr_t dllBase, const uint16_t* buffer, uint16_t lengthBytes) {
  auto* e = static_cast<LdrEntry*>(Allocate(sizeof(LdrEntry), 8));
  e->dllBase = dllBase;
  e->baseLength = lengthBytes;
  e->baseMax = lengthBytes;
  e->baseBuffer = reinterpret_cast<uintptr_t>(buffer);
  e->flags = kEntryPointCalled;
  uintptr_t node = reinterpret_cast<uintptr_t>(&e->inMemoryOrder);
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  uintptr_t head = Head();
  auto* last = reinterpret_cast<ListEntry*>(gLdr->inMemoryOrder.blink);
  e->inMemoryOrder.flink = head;
  e->inMemoryOrder.blink = reinterpret_cast<uintptr_t>(last);
  Publish(&last->flink, node);
  gLdr->inMemoryOrder.blink = node;
  return reinterpret_cast<uintptr_t>(e);
}

}  // namespace

uintptr_t AddModule(const std::string& baseName, uintptr_t dllBase) {
  auto* name = static_cast<uint16_t*>(Allocate(static_cast<uint32_t>(baseName.size() + 1) * 2, 2));
  for (size_t i = 0; i < baseName.size(); ++i) name[i] = static_cast<uint8_t>(baseName[i]);
  return Append(dllBase, name, static_cast<uint16_t>(baseName.size() * 2));
}

uintptr_t AddModuleRaw(uintptr_t dllBase, const uint16_t* nameBuffer, uint16_t lengthBytes) {
  return Append(dllBase, nameBuffer, lengthBytes);
}

void RemoveModule(uintptr_t dllBase) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  uintptr_t head = Head();
  for (uintptr_t node = gLdr->inMemoryOrder.flink; node != head;) {
    auto* links = reinterpret_cast<ListEntry*>(node);
    auto* e = reinterpret_cast<LdrEntry*>(node - 0x08);
    uintptr_t next = links->flink;
    if (e->dllBase == dllBase) {
      auto* prev = reinterpret_cast<ListEntry*>(links->blink);
      auto* after = reinterpret_cast<ListEntry*>(next);
      Publish(&prev->flink, next);
      after->blink = links->blink;
    }
    node = next;
  }
}

void SetModuleFlags(uintptr_t entry, uint32_t flags) {
  __atomic_store_n(&reinterpret_cast<LdrEntry*>(entry)->flags, flags, __ATOMIC_RELEASE);
}

void FailEntryPoint(uintptr_t entry) {
  auto* e = reinterpret_cast<LdrEntry*>(entry);
  {
    std::lock_guard<std::recursive_mutex> lock(gMutex);
    gFailed.push_back(e->dllBase);
  }
  __atomic_or_fetch(&e->flags, kEntryPointCalled, __ATOMIC_RELEASE);
}

ListedAs ModuleAt(uintptr_t dllBase) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  for (uintptr_t failed : gFailed) {
    if (failed == dllBase) return ListedAs::EntryPointFailed;
  }
  uintptr_t head = Head();
  for (uintptr_t node = gLdr->inMemoryOrder.flink; node != head && node != 0;
       node = reinterpret_cast<ListEntry*>(node)->flink) {
    if (reinterpret_cast<LdrEntry*>(node - 0x08)->dllBase == dllBase) return ListedAs::Loaded;
  }
  return ListedAs::None;
}

void LockLoader() { gMutex.lock(); }
void UnlockLoader() { gMutex.unlock(); }

void SetLoaderShape(LoaderShape shape) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  gShape = shape;
  gPeb->ldr = shape == LoaderShape::NullLdr ? 0 : reinterpret_cast<uintptr_t>(gLdr);
  if (shape == LoaderShape::EmptyHead) {
    gLdr->inMemoryOrder.flink = Head();
    gLdr->inMemoryOrder.blink = Head();
  } else if (shape == LoaderShape::EmptyNull) {
    gLdr->inMemoryOrder.flink = 0;
    gLdr->inMemoryOrder.blink = Head();
  }
}

void ResetLoader() {
  gPeb = static_cast<Peb*>(Allocate(sizeof(Peb), 16));
  gLdr = static_cast<LdrData*>(Allocate(sizeof(LdrData), 16));
  gPeb->ldr = reinterpret_cast<uintptr_t>(gLdr);
  gLdr->inMemoryOrder.flink = Head();
  gLdr->inMemoryOrder.blink = Head();
  gShape = LoaderShape::Normal;
  gFailed.clear();
}

}  // namespace sim

// The one read the plug-in makes of the thread's environment block.
extern "C" uintptr_t ReadPebPointer() {
  return sim::gShape == sim::LoaderShape::NullPeb ? 0 : reinterpret_cast<uintptr_t>(sim::gPeb);
}

// The plug-in's own image: here it is linked into the test program, whose
// image (code, data and zeroed data, from the linker's symbols) stands for it.
extern "C" const char __executable_start[];
extern "C" const char _end[];
extern "C" uintptr_t OwnImageBase() { return reinterpret_cast<uintptr_t>(__executable_start); }
extern "C" uint32_t OwnImageSize() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(_end) -
                               reinterpret_cast<uintptr_t>(__executable_start));
}
