#include "platform/code_store.h"

#include <stddef.h>

namespace {

// EXCEPTION_RECORD and the i386 CONTEXT, the fields read or written.
struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uintptr_t nested;
  uintptr_t address;
  uint32_t parameterCount;
  uintptr_t information[15];
};
static_assert(offsetof(ExceptionRecord, address) == 0x0C);

struct ThreadContext {
  uint32_t before[0xB8 / 4];  // flags, debug registers, x87 state, segments,
                              // EDI ... EAX, EBP
  uint32_t eip;
  uint32_t segCs;
  uint32_t eflags;
  uint32_t esp;
};
static_assert(offsetof(ThreadContext, eip) == 0xB8);
static_assert(offsetof(ThreadContext, esp) == 0xC4);

constexpr uint32_t kStatusAccessViolation = 0xC0000005u;
constexpr uint32_t kStatusGuardPageViolation = 0x80000001u;
constexpr uint32_t kStatusInPageError = 0xC0000006u;
// EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND: the handler is called to
// unwind, not to handle.
constexpr uint32_t kUnwinding = 0x2 | 0x4;
constexpr uint32_t kContinueExecution = 0;
constexpr uint32_t kContinueSearch = 1;

uintptr_t Address(const uint8_t* label) { return reinterpret_cast<uintptr_t>(label); }

}  // namespace

namespace {

// The faults of a store that leave its bytes unwritten: an access violation
// (another party put the protection back since our VirtualProtect), a guard
// page violation (it armed a guard on the page meanwhile) and an in-page
// error (the page's contents could not be brought in). Taking a guard page
// violation uses up the other party's one-shot signal: Windows takes the
// guard off before it raises the exception, and the restore after the store
// puts back the protection our VirtualProtect saved, from before the guard
// was armed, so the guard stays gone. Traps (0x80000003, 0x80000004) are not
// taken: a data breakpoint fires after the store has been made.
bool StoreFault(uint32_t code) {
  return code == kStatusAccessViolation || code == kStatusGuardPageViolation ||
         code == kStatusInPageError;
}

}  // namespace

// Only such a fault raised by one of the two stores is taken: the store is
// left as not made, and the routine resumes at its recovery point with its
// stack at the record, as the store found it. Everything else goes on to
// the next handler.
uint32_t StoreFaultHandler(const void* exceptionRecord, void* registration, void* context,
                           void* dispatcherContext) {
  (void)dispatcherContext;
  const auto* record = static_cast<const ExceptionRecord*>(exceptionRecord);
  if ((record->flags & kUnwinding) != 0 || !StoreFault(record->code) ||
      (record->address != Address(GuardedStore4) && record->address != Address(GuardedStore8))) {
    return kContinueSearch;
  }
  auto* thread = static_cast<ThreadContext*>(context);
  thread->eip = static_cast<uint32_t>(Address(GuardedStoreRecovery));
  thread->esp = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(registration));
  return kContinueExecution;
}
