// The running thread's environment block.
#pragma once

#include <stdint.h>

#ifdef _WIN32
// NT_TIB.Self: the block's own address, so that its fields can be reached
// as ordinary memory.
inline uintptr_t ReadTebPointer() {
  uintptr_t teb;
  __asm__ volatile("movl %%fs:0x18, %0" : "=r"(teb));
  return teb;
}
#else
// Off Windows the thread's block comes from the process that hosts the code.
extern "C" uintptr_t ReadTebPointer();
#endif

// NT_TIB.ExceptionList: the thread's innermost structured exception
// registration record; the chain ends at 0xFFFFFFFF.
constexpr uint32_t kTebExceptionList = 0x00;
