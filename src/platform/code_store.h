// The one store of a code patch, guarded by a structured exception frame:
// another party may put a page's protection back, or arm a guard on it,
// between our VirtualProtect and the store, or the page's contents may fail
// to come in, and the store then faults. Windows' exception dispatch calls
// StoreFaultHandler, which resumes the routine at its recovery point.
#pragma once

#include <stdint.h>

#include "state/plugin_state.h"

// What GuardedCompareExchange found.
enum GuardedStoreResult : uint32_t {
  kStoreWritten = 0,
  kStoreChanged = 1,  // the bytes no longer held `expected`
  kStoreFaulted = 2,  // the store faulted (see StoreFaultHandler): nothing written
};

extern "C" {

// One `lock cmpxchg` (size 4) or `lock cmpxchg8b` (size 8) at `at`, while a
// registration record on this routine's stack, linked first into the chain
// at `exceptionList` (the thread's NT_TIB.ExceptionList), leads to
// StoreFaultHandler. The record is unlinked again in every outcome.
uint32_t QI_CDECL GuardedCompareExchange(uintptr_t* exceptionList, uintptr_t at, uint32_t size,
                                         uint32_t expectedLow, uint32_t expectedHigh,
                                         uint32_t valueLow, uint32_t valueHigh);

// The routine's two store instructions and its recovery point.
extern const uint8_t GuardedStore4[];
extern const uint8_t GuardedStore8[];
extern const uint8_t GuardedStoreRecovery[];

// The frame's handler, called by the exception dispatcher with the
// exception record, the registration record, the thread's context and the
// dispatcher's own context (EXCEPTION_ROUTINE, cdecl).
uint32_t QI_CDECL StoreFaultHandler(const void* exceptionRecord, void* registration, void* context,
                                    void* dispatcherContext);
}
