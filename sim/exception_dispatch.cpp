// Windows' dispatch of a memory fault to a thread's structured exception
// handlers. Each thread that asks for its environment block gets one (an
// NT_TIB: its exception list, empty at first, and its stack's bounds); a
// SIGSEGV on that thread becomes the exception Windows raises for it, told
// from the page table (memory.cpp): an access violation, a guard page
// violation (the guard taken off the page first, as Windows does: a guard
// fires once) or an in-page error (a page whose contents could not be
// brought in; its record carries a third parameter, the I/O status). It is
// handed down the list as the Windows dispatcher does: each registration
// record is checked (4-byte aligned, inside the thread's stack), its handler
// is called with an EXCEPTION_RECORD, the record itself and a CONTEXT made
// from the signal's registers, and on ExceptionContinueExecution the
// CONTEXT's registers become the thread's. When no handler takes the fault
// the process ends, as an unhandled exception ends a Windows process: an
// access violation is raised again without this handler; the other two,
// whose page would no longer fault, end it at once.
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <ucontext.h>

#include "sim/internal.h"

namespace sim {
namespace {

constexpr uintptr_t kChainEnd = 0xFFFFFFFF;
// STATUS_DEVICE_DATA_ERROR: why the page could not be brought in.
constexpr uint32_t kDeviceDataError = 0xC000009Cu;
constexpr uint32_t kContextFull = 0x10007;  // CONTEXT_i386 | CONTROL | INTEGER | SEGMENTS
constexpr uint32_t kContinueExecution = 0;
constexpr uint32_t kContinueSearch = 1;

struct NtTib {
  uintptr_t exceptionList;  // 0x00
  uintptr_t stackBase;      // 0x04: one past the highest address
  uintptr_t stackLimit;     // 0x08
  uintptr_t subSystemTib;
  uintptr_t fiberData;
  uintptr_t arbitraryUserPointer;
  uintptr_t self;  // 0x18
};
static_assert(offsetof(NtTib, self) == 0x18);

struct Registration {
  uintptr_t next;
  uintptr_t handler;
};

struct ExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uintptr_t nested;
  uintptr_t address;
  uint32_t parameterCount;
  uintptr_t information[15];
};
static_assert(sizeof(ExceptionRecord) == 0x50);

struct Context {  // CONTEXT, i386
  uint32_t contextFlags;
  uint32_t debugRegisters[6];
  uint8_t floatSave[112];
  uint32_t segGs, segFs, segEs, segDs;
  uint32_t edi, esi, ebx, edx, ecx, eax;
  uint32_t ebp, eip, segCs, eflags, esp, segSs;
  uint8_t extendedRegisters[512];
};
static_assert(offsetof(Context, segGs) == 0x8C);
static_assert(offsetof(Context, edi) == 0x9C);
static_assert(offsetof(Context, eip) == 0xB8);
static_assert(offsetof(Context, esp) == 0xC4);
static_assert(sizeof(Context) == 0x2CC);

typedef uint32_t(__attribute__((cdecl)) * Handler)(ExceptionRecord* record, void* registration,
                                                   Context* context, void* dispatcherContext);

thread_local NtTib tTib = {kChainEnd, 0, 0, 0, 0, 0, 0};
struct sigaction gPrevious;

bool ValidRecord(const NtTib& tib, uintptr_t at) {
  return at % 4 == 0 && at >= tib.stackLimit && at + sizeof(Registration) <= tib.stackBase;
}

// The registers that Windows' CONTEXT and Linux's signal frame share.
struct RegisterPair {
  size_t context;
  int gregs;
};
const RegisterPair kRegisters[] = {
    {offsetof(Context, segGs), REG_GS}, {offsetof(Context, segFs), REG_FS},
    {offsetof(Context, segEs), REG_ES}, {offsetof(Context, segDs), REG_DS},
    {offsetof(Context, edi), REG_EDI},  {offsetof(Context, esi), REG_ESI},
    {offsetof(Context, ebx), REG_EBX},  {offsetof(Context, edx), REG_EDX},
    {offsetof(Context, ecx), REG_ECX},  {offsetof(Context, eax), REG_EAX},
    {offsetof(Context, ebp), REG_EBP},  {offsetof(Context, eip), REG_EIP},
    {offsetof(Context, segCs), REG_CS}, {offsetof(Context, eflags), REG_EFL},
    {offsetof(Context, esp), REG_UESP}, {offsetof(Context, segSs), REG_SS},
};

uint32_t& Field(Context* context, size_t offset) {
  return *reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(context) + offset);
}

void Dispatch(int, siginfo_t* info, void* raw) {
  greg_t* regs = static_cast<ucontext_t*>(raw)->uc_mcontext.gregs;
  NtTib& tib = tTib;
  ExceptionRecord record = {};
  record.code = TakePageFault(reinterpret_cast<uintptr_t>(info->si_addr));
  record.address = static_cast<uintptr_t>(regs[REG_EIP]);
  record.parameterCount = record.code == kInPageError ? 3 : 2;
  record.information[0] = (regs[REG_ERR] & 2) != 0 ? 1 : 0;  // 1: a write
  record.information[1] = reinterpret_cast<uintptr_t>(info->si_addr);
  record.information[2] = record.code == kInPageError ? kDeviceDataError : 0;
  Context context = {};
  context.contextFlags = kContextFull;
  for (const RegisterPair& r : kRegisters) {
    Field(&context, r.context) = static_cast<uint32_t>(regs[r.gregs]);
  }
  for (uintptr_t at = tib.exceptionList; tib.self != 0 && at != kChainEnd;) {
    if (!ValidRecord(tib, at)) break;
    auto* registration = reinterpret_cast<Registration*>(at);
    uint32_t dispatcherContext = 0;
    uint32_t disposition = reinterpret_cast<Handler>(registration->handler)(
        &record, registration, &context, &dispatcherContext);
    if (disposition == kContinueExecution) {
      for (const RegisterPair& r : kRegisters) {
        regs[r.gregs] = static_cast<greg_t>(Field(&context, r.context));
      }
      return;
    }
    if (disposition != kContinueSearch) break;
    at = registration->next;
  }
  if (record.code != kAccessViolation) {
    fprintf(stderr, "sim: unhandled exception 0x%08X at 0x%08X\n", record.code,
            static_cast<unsigned>(record.address));
    abort();
  }
  sigaction(SIGSEGV, &gPrevious, nullptr);
}

}  // namespace

void InstallExceptionDispatch() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action = {};
  action.sa_sigaction = Dispatch;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSEGV, &action, &gPrevious) != 0) abort();
}

}  // namespace sim

// The running thread's environment block, made on its first use.
extern "C" uintptr_t ReadTebPointer() {
  sim::NtTib& tib = sim::tTib;
  if (tib.self == 0) {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) abort();
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    tib.stackLimit = reinterpret_cast<uintptr_t>(low);
    tib.stackBase = tib.stackLimit + size;
    tib.self = reinterpret_cast<uintptr_t>(&tib);
  }
  return tib.self;
}
