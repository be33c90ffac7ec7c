// The plug-in's own image: the address range its code and data lie in.
#pragma once

#include <stdint.h>

#ifdef _WIN32
// The linker's symbol for the image's first byte (its DOS header).
extern "C" const uint8_t __ImageBase[];
inline uintptr_t OwnImageBase() { return reinterpret_cast<uintptr_t>(__ImageBase); }
// SizeOfImage, from the image's own PE header.
inline uint32_t OwnImageSize() {
  const uintptr_t base = OwnImageBase();
  const uint32_t lfanew = *reinterpret_cast<const uint32_t*>(base + 0x3C);
  return *reinterpret_cast<const uint32_t*>(base + lfanew + 0x50);
}
#else
// Off Windows the range comes from the process that hosts the code.
extern "C" uintptr_t OwnImageBase();
extern "C" uint32_t OwnImageSize();
#endif
