#include "standin/wine/kernel32_export.h"

#include <string.h>

namespace standin {
namespace {

template <typename T>
T* At(uintptr_t base, uint32_t rva) {
  return reinterpret_cast<T*>(base + rva);
}

}  // namespace

FARPROC PointKernel32Export(const char* name, uintptr_t wrapper) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) {
    return nullptr;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(kernel32);
  const auto* nt =
      At<const IMAGE_NT_HEADERS32>(base, At<const IMAGE_DOS_HEADER>(base, 0)->e_lfanew);
  const IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) {
    return nullptr;
  }
  const auto* exports = At<const IMAGE_EXPORT_DIRECTORY>(base, dir.VirtualAddress);
  const auto* names = At<const DWORD>(base, exports->AddressOfNames);
  const auto* ordinals = At<const WORD>(base, exports->AddressOfNameOrdinals);
  auto* functions = At<DWORD>(base, exports->AddressOfFunctions);
  DWORD* entry = nullptr;
  for (DWORD i = 0; i < exports->NumberOfNames && entry == nullptr; ++i) {
    if (strcmp(At<const char>(base, names[i]), name) == 0) {
      entry = &functions[ordinals[i]];
    }
  }
  // The real function before the entry changes.
  FARPROC real = GetProcAddress(kernel32, name);
  if (entry == nullptr || real == nullptr) {
    return nullptr;
  }
  // The plug-in takes an entry outside the export directory as an offset
  // from kernel32's base, added in 32 bits; the wrapper lies in this
  // executable, below kernel32, so the offset wraps.
  const DWORD rva = static_cast<DWORD>(wrapper - base);
  if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size) {
    return nullptr;
  }
  DWORD old = 0;
  if (!VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &old)) {
    return nullptr;
  }
  *entry = rva;
  VirtualProtect(entry, sizeof(*entry), old, &old);
  if (static_cast<uintptr_t>(static_cast<DWORD>(base + *entry)) != wrapper) {
    return nullptr;
  }
  return real;
}

}  // namespace standin
