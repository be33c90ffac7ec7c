// The process environment block of the running process.
#pragma once

#include <stdint.h>

#ifdef _WIN32
inline uintptr_t ReadPebPointer() {
  uintptr_t peb;
  __asm__ volatile("movl %%fs:0x30, %0" : "=r"(peb));
  return peb;
}
#else
// Off Windows the loader structures come from the process that hosts the code.
extern "C" uintptr_t ReadPebPointer();
#endif
