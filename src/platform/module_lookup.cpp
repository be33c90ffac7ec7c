#include "log/log.h"
#include "platform/loader_list.h"
#include "platform/platform.h"
#include "state/plugin_state.h"

namespace {

using loader::kEntryPointCalled;
using loader::kNodeDllBase;
using loader::kNodeFlags;
using loader::kNodeNameBuffer;
using loader::kNodeNameLength;
using loader::Load;

// LdrLockLoaderLock's disposition when it took the lock.
constexpr uint32_t kLockAcquired = 1;

// PE32 image fields.
constexpr uint32_t kDosLfanew = 0x3C;
constexpr uint32_t kNtSignature = 0x4550;
constexpr uint32_t kNtExportRva = 0x78;
constexpr uint32_t kNtExportSize = 0x7C;
constexpr uint32_t kExportNumberOfNames = 0x18;
constexpr uint32_t kExportFunctions = 0x1C;
constexpr uint32_t kExportNames = 0x20;
constexpr uint32_t kExportOrdinals = 0x24;

constexpr int32_t kMaxForwardDepth = 5;
constexpr uint32_t kModulePartSize = 64;
constexpr uint32_t kFunctionPartSize = 96;
constexpr uint32_t kModulePartLimit = 59;

uint8_t FoldCase(uint8_t c) {
  return (c >= 0x41 && c <= 0x5A) ? static_cast<uint8_t>(c + 0x20) : c;
}

bool BaseNameMatches(const uint16_t* unitName, uint32_t units, const char* wanted) {
  for (uint32_t i = 0; i < units; ++i) {
    if (wanted[i] == '\0') {
      return false;
    }
    uint8_t a = FoldCase(static_cast<uint8_t>(wanted[i]));
    uint8_t b = FoldCase(static_cast<uint8_t>(unitName[i] & 0xFF));
    if (a != b) {
      return false;
    }
  }
  return wanted[units] == '\0';
}

bool StartsWithFolded(const char* text, const char* prefix) {
  for (uint32_t i = 0; prefix[i] != '\0'; ++i) {
    if (FoldCase(static_cast<uint8_t>(text[i])) != static_cast<uint8_t>(prefix[i])) {
      return false;
    }
  }
  return true;
}

// An API set ("api-ms-win-...", "ext-ms-...") is a contract name, never a
// listed module: the loader maps it to its host through the process's API
// set schema. The sets kernel32 forwards its entries to are hosted by
// kernelbase.dll; when that is not listed the entry is not found.
const char* ForwardTarget(const char* modulePart) {
  if (StartsWithFolded(modulePart, "api-ms-") || StartsWithFolded(modulePart, "ext-ms-")) {
    return "kernelbase.dll";
  }
  return modulePart;
}

bool ExportNameEquals(const char* exportName, const char* wanted) {
  uint32_t i = 0;
  while (exportName[i] == wanted[i]) {
    if (exportName[i] == '\0') {
      return true;
    }
    ++i;
  }
  return false;
}

// The in-memory-order node of the first listed module with that base name
// and a load address that `accept` takes, or 0.
template <typename Accept>
uintptr_t FindModuleNode(const char* name, Accept accept) {
  return loader::FindNode([name, accept](uintptr_t node) {
    const uint16_t* buffer = Load<const uint16_t*>(node + kNodeNameBuffer);
    uint32_t units = Load<uint16_t>(node + kNodeNameLength) / 2u;
    return buffer != nullptr && name != nullptr && BaseNameMatches(buffer, units, name) &&
           accept(node);
  });
}

// Whether the loader has called the module's entry point and, when
// GetModuleHandleExW is there, has given the pin: a reference FreeLibrary
// never gives back, so that nothing unmaps the module under the patches.
// The flag alone is not enough: Windows 8 and later also set it on a module
// whose entry point returned FALSE, just before unmapping it. The pin is the
// loader's own verdict: it is given only for a module the loader counts as
// loaded, and then keeps it mapped.
bool InitialisedAndPinned(uintptr_t node) {
  if ((Load<uint32_t>(node + kNodeFlags) & kEntryPointCalled) == 0) {
    return false;
  }
  GetModuleHandleExWFn pin = gState.api.getModuleHandleExW;
  if (pin == nullptr) {
    return true;
  }
  uintptr_t base = Load<uintptr_t>(node + kNodeDllBase);
  uintptr_t handle = 0;
  return pin(kModuleHandlePin | kModuleHandleFromAddress, reinterpret_cast<const void*>(base),
             &handle) != 0 &&
         handle == base;
}

}  // namespace

uintptr_t FindLoadedModule(const char* name) {
  uintptr_t node = FindModuleNode(name, [](uintptr_t) { return true; });
  return node != 0 ? Load<uintptr_t>(node + kNodeDllBase) : 0;
}

loader::Lock loader::TakeLock() {
  const PlatformApi& api = gState.api;
  Lock lock = {false, 0};
  if (api.ldrLockLoaderLock != nullptr && api.ldrUnlockLoaderLock != nullptr) {
    uint32_t disposition = 0;
    lock.held =
        api.ldrLockLoaderLock(0, &disposition, &lock.cookie) == 0 && disposition == kLockAcquired;
  }
  return lock;
}

void loader::GiveBack(const Lock& lock) {
  if (lock.held) {
    gState.api.ldrUnlockLoaderLock(0, lock.cookie);
  }
}

uintptr_t PinInitialisedModule(const char* name) {
  loader::Lock lock = loader::TakeLock();
  uintptr_t node = FindModuleNode(name, InitialisedAndPinned);
  uintptr_t base = node != 0 ? Load<uintptr_t>(node + kNodeDllBase) : 0;
  loader::GiveBack(lock);
  return base;
}

uintptr_t ResolveExport(uintptr_t imageBase, const char* name, int32_t depth) {
  if (name == nullptr || depth >= kMaxForwardDepth) {
    return 0;
  }
  uint32_t lfanew = Load<uint32_t>(imageBase + kDosLfanew);
  uintptr_t nt = imageBase + lfanew;
  if (Load<uint32_t>(nt) != kNtSignature) {
    return 0;
  }
  uint32_t dirRva = Load<uint32_t>(nt + kNtExportRva);
  if (dirRva == 0) {
    return 0;
  }
  uint32_t dirSize = Load<uint32_t>(nt + kNtExportSize);
  uintptr_t dir = imageBase + dirRva;
  uint32_t count = Load<uint32_t>(dir + kExportNumberOfNames);
  if (count == 0) {
    return 0;
  }
  uintptr_t functions = imageBase + Load<uint32_t>(dir + kExportFunctions);
  uintptr_t names = imageBase + Load<uint32_t>(dir + kExportNames);
  uintptr_t ordinals = imageBase + Load<uint32_t>(dir + kExportOrdinals);

  uint32_t index = 0;
  for (;; ++index) {
    if (index == count) {
      return 0;
    }
    const char* exportName =
        reinterpret_cast<const char*>(imageBase + Load<uint32_t>(names + index * 4u));
    if (ExportNameEquals(exportName, name)) {
      break;
    }
  }
  uint16_t slot = Load<uint16_t>(ordinals + index * 2u);
  uint32_t rva = Load<uint32_t>(functions + slot * 4u);
  if (rva < dirRva || rva >= dirRva + dirSize) {
    return imageBase + rva;
  }

  // A forwarder: "MODULE.Function".
  const char* text = reinterpret_cast<const char*>(imageBase + rva);
  char modulePart[kModulePartSize];
  char functionPart[kFunctionPartSize];
  uint32_t j = 0;
  for (;; ++j) {
    char c = text[j];
    if (c == '\0') {
      return 0;
    }
    if (c == '.') {
      break;
    }
    if (j >= kModulePartLimit) {
      return 0;
    }
    modulePart[j] = c;
  }
  modulePart[j] = '\0';
  AppendText(modulePart, ".dll", kModulePartSize);
  const char* rest = text + j + 1;
  uint32_t k = 0;
  while (k < kFunctionPartSize - 1 && rest[k] != '\0') {
    functionPart[k] = rest[k];
    ++k;
  }
  functionPart[k] = '\0';
  uintptr_t target = FindLoadedModule(ForwardTarget(modulePart));
  if (target == 0 || functionPart[0] == '#') {
    return 0;
  }
  return ResolveExport(target, functionPart, depth + 1);
}
