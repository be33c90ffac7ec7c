// The simulated 32-bit Windows process around the plug-in's Linux build:
// a loader list, a kernel32 image with a real export table whose entries are
// stdcall stand-ins backed by POSIX, and a page table behind VirtualQuery and
// VirtualProtect over real mappings.
#pragma once

#include <stdint.h>

#include <string>
#include <thread>
#include <vector>

namespace sim {

// Windows constants.
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kPageReadWrite = 0x04;
constexpr uint32_t kPageWriteCopy = 0x08;
constexpr uint32_t kPageExecute = 0x10;
constexpr uint32_t kPageExecuteRead = 0x20;
constexpr uint32_t kPageExecuteReadWrite = 0x40;
constexpr uint32_t kPageExecuteWriteCopy = 0x80;
constexpr uint32_t kPageGuard = 0x100;
constexpr uint32_t kMemCommit = 0x1000;
constexpr uint32_t kMemReserve = 0x2000;
constexpr uint32_t kMemFree = 0x10000;
constexpr uint32_t kPageSize = 0x1000;

// ---- Memory -------------------------------------------------------------
// Maps real pages at a fixed address (once per process; mapping the same
// range again zero-fills it) and registers them as committed with the given
// protection. The range is page aligned. Aborts the test process when the
// address range is taken by something else.
void MapFixed(uintptr_t base, uint32_t size, uint32_t protect = kPageReadWrite);
// Maps real pages anywhere, aligned to `alignment` (a power of two, at least
// a page), registers them committed; returns the base.
uintptr_t MapAnywhere(uint32_t size, uint32_t alignment, uint32_t protect = kPageReadWrite);
// Changes what VirtualQuery reports for whole pages, and the real protection
// (mprotect) to match: free and reserved pages become PROT_NONE.
void SetProtect(uintptr_t base, uint32_t size, uint32_t protect);
void SetState(uintptr_t base, uint32_t size, uint32_t state);
// The next access to the page holding `address` fails to bring its contents
// in (a file's page on a drive that went away for a moment): it raises an
// in-page error, and the access after it finds the page as before.
void FailNextPageIn(uintptr_t address);
// Committed read-write memory from a simulated heap region (zeroed, never
// freed until Reset).
void* Allocate(uint32_t size, uint32_t alignment = 16);
// What VirtualQuery reports for an address (no fault injection, no count).
uint32_t ProtectOf(uintptr_t address);
uint32_t StateOf(uintptr_t address);

// ---- Loader list --------------------------------------------------------
// Appends a module to the in-memory-order list; the name is stored as UTF-16.
// Returns the address of its LDR_DATA_TABLE_ENTRY.
uintptr_t AddModule(const std::string& baseName, uintptr_t dllBase);
// Entry with explicit fields, for odd shapes (null base or name buffer,
// odd byte length).
uintptr_t AddModuleRaw(uintptr_t dllBase, const uint16_t* nameBuffer, uint16_t lengthBytes);
void RemoveModule(uintptr_t dllBase);
// An entry's Flags (offset 0x34). AddModule sets kEntryPointCalled: the
// loader has called the module's entry point.
constexpr uint32_t kEntryPointCalled = 0x00080000;
void SetModuleFlags(uintptr_t entry, uint32_t flags);
// A module whose entry point returned FALSE, in the moment before the loader
// unmaps it: the flag says its entry point was called (as Windows 8 and
// later set it), and GetModuleHandleExW refuses it.
void FailEntryPoint(uintptr_t entry);
// The loader's lock (recursive), as LdrLockLoaderLock takes it; the list
// changes above take it too.
void LockLoader();
void UnlockLoader();
// Loader list shapes: the normal one, a null PEB, a null Ldr, an empty list
// whose Flink is the head, an empty list whose Flink is null.
enum class LoaderShape { Normal, NullPeb, NullLdr, EmptyHead, EmptyNull };
void SetLoaderShape(LoaderShape shape);

// ---- PE images ------------------------------------------------------------
// One export of a built image: either a function address, a forwarder text,
// or a raw RVA.
struct Export {
  std::string name;
  uintptr_t address = 0;  // used when forwarder is empty and !useRva
  std::string forwarder;  // "MODULE.Function": stored inside the export directory
  bool useRva = false;
  uint32_t rva = 0;
};
inline Export DirectExport(const std::string& name, uintptr_t address) {
  Export e;
  e.name = name;
  e.address = address;
  return e;
}
inline Export ForwardedExport(const std::string& name, const std::string& forwarder) {
  Export e;
  e.name = name;
  e.forwarder = forwarder;
  return e;
}
inline Export ExportAtRva(const std::string& name, uint32_t rva) {
  Export e;
  e.name = name;
  e.useRva = true;
  e.rva = rva;
  return e;
}
// Builds a mapped PE32 image (DOS header, NT headers, export directory with
// name, ordinal and function tables, names in the given order) in memory
// from MapAnywhere and returns its base. `sizeOfImage` 0 means "as needed".
uintptr_t BuildImage(const std::vector<Export>& exports, uint32_t sizeOfImage = 0);
// What makes a built image a copy of the plug-in (in its header page): a
// section with that name (eight bytes) and content at `rva` (0x400 to 0x5FF);
// the ".qimark" section with the copy mark of that version (major << 16 |
// minor << 8 | patch); a version resource with that ProductName, file type
// (VFT_DLL 2, VFT_APP 1) and file version.
void AddSection(uintptr_t image, const char (&name)[9], uint32_t rva,
                const std::vector<uint8_t>& content);
void MarkAsCopy(uintptr_t image, uint32_t version);
void AddVersionResource(uintptr_t image, const std::string& product, uint32_t fileType,
                        uint32_t fileVersionMs, uint32_t fileVersionLs);
// RVA and size of a built image's export directory.
uint32_t ExportDirectoryRva(uintptr_t imageBase);
uint32_t ExportDirectorySize(uintptr_t imageBase);

// The kernel32 image that Reset builds and puts first in the loader list.
uintptr_t Kernel32Base();
// The stand-ins, by name: the eight ("CreateThread", ... "CloseHandle"),
// "GetModuleHandleExW", "FlushInstructionCache", and ntdll's
// "LdrLockLoaderLock" and "LdrUnlockLoaderLock".
uintptr_t StandIn(const std::string& name);
// Rebuilds kernel32 (same base) with the given exports; the default set is
// the eight stand-ins.
void RebuildKernel32(const std::vector<Export>& exports);
std::vector<Export> DefaultKernel32Exports();
// Convenience: the default set without the named entries.
void RemoveKernel32Exports(const std::vector<std::string>& names);
// A kernelbase image exporting every stand-in above, listed as
// "KERNELBASE.dll" at the end of the loader list; returns its base.
uintptr_t AddKernelbase();
// `exports` with each named entry turned into a forwarder to `module`
// ("module.Name").
std::vector<Export> Forwarded(std::vector<Export> exports, const std::vector<std::string>& names,
                              const std::string& module);
// The ntdll image that Reset builds and lists ahead of kernel32; by default
// it exports the two loader-lock stand-ins.
uintptr_t NtdllBase();
std::vector<Export> DefaultNtdllExports();
void RebuildNtdll(const std::vector<Export>& exports);

// ---- Faults ---------------------------------------------------------------
struct Faults {
  // VirtualProtect calls that change to PAGE_EXECUTE_READWRITE are counted;
  // the call with this 1-based number fails (0: none fails).
  int virtualProtectFailAt = 0;
  bool virtualProtectFailAll = false;  // every lifting call fails
  bool virtualQueryFail = false;       // returns 0
  bool createFileFail = false;         // returns INVALID_HANDLE_VALUE
  bool createThreadFail = false;       // returns null, starts nothing
  bool writeFileFail = false;          // returns 0, writes nothing
  int writeFileShortBy = 0;            // writes this many bytes fewer
  // The lifting call with this 1-based number succeeds, but the old
  // protection is put back before it returns, as by another party whose own
  // patch of the page ends in between (0: none).
  int virtualProtectUndoneAt = 0;
  // What the other party does to that lift instead of undoing it: arms a
  // guard on the page (PAGE_GUARD added to the granted protection), or the
  // page's contents cannot be brought in at its next access.
  enum class Undo { Restore, Guard, PageIn };
  Undo undoneBy = Undo::Restore;
  // LdrLockLoaderLock returns success without taking the lock, as Windows
  // 10 and 11 do before the process has finished starting: the disposition
  // it writes is 0, not 1 (acquired).
  bool loaderLockNotTaken = false;
  bool moduleHandleFail = false;  // GetModuleHandleExW refuses every call
  // Each FlushFileBuffers takes this long before it returns, as a disk's
  // write-through would (real microseconds; 0: at once).
  uint32_t flushFileBuffersMicroseconds = 0;
};
Faults& Fault();

// ---- Records ----------------------------------------------------------------
struct CreateFileCall {
  std::string name;
  uint32_t access, share, disposition, flags;
};
struct ProtectCall {
  uintptr_t address;
  uint32_t size, newProtect;
  bool succeeded;
};
struct ModuleHandleCall {
  uint32_t flags;
  uintptr_t address;
  uintptr_t module;  // handed back; 0 when refused
};
struct CodeFlush {
  uintptr_t process, address;
  uint32_t size;
};
struct Records {
  uint32_t createThread = 0, sleep = 0, virtualProtect = 0, virtualQuery = 0;
  uint32_t createFileA = 0, writeFile = 0, flushFileBuffers = 0, closeHandle = 0;
  // Locks taken, locks given back, and unlock calls with a cookie no taken
  // lock handed out (refused, as Windows does).
  uint32_t loaderLocks = 0, loaderUnlocks = 0, badUnlocks = 0;
  std::vector<ModuleHandleCall> moduleHandles;  // GetModuleHandleExW
  std::vector<CodeFlush> codeFlushes;           // FlushInstructionCache
  std::vector<uint32_t> sleeps;                 // milliseconds asked for, in order
  std::vector<CreateFileCall> createFiles;
  std::vector<ProtectCall> protects;
  std::vector<uintptr_t> closedHandles;
  std::vector<std::thread::id> flushThreads;  // the caller of each FlushFileBuffers
};
// The records are written by the plug-in's threads; read them after
// StopWorker or while the worker sleeps.
Records& Record();

// ---- Time and threads -------------------------------------------------------
// Sleep(ms) really sleeps ms * factor milliseconds (default 0.001).
void SetTimeFactor(double factor);
// Threads started through CreateThread since the last Reset.
uint32_t ThreadsStarted();
// Sets the plug-in's stop flag and joins every thread started through
// CreateThread. Safe to call when none was started.
void StopWorker();
// Called on the sleeping thread at the start of every stand-in Sleep, with
// the number of Sleep calls so far (this one included) and its milliseconds.
// Cleared by Reset.
void SetSleepHook(void (*hook)(uint32_t count, uint32_t milliseconds));
// Blocks until the stand-in Sleep has been called `count` times in all
// (or the timeout in real milliseconds passes: it only ends a hung run);
// true when reached.
bool WaitForSleeps(uint32_t count, uint32_t timeoutMs = 30000);

// ---- Process ------------------------------------------------------------------
// Back to a fresh process: worker stopped, plug-in state at its load-time
// values, loader list holding only kernel32.dll, default kernel32 exports,
// faults and records cleared, time factor 0.001, current directory a fresh
// temporary folder (see WorkDir).
void Reset();
std::string WorkDir();
// Points the plug-in's eight platform entries at the stand-ins, as attach
// does, without attaching.
void UseStandIns();
// Sets the plug-in's eight platform entries to the stand-ins and opens the
// log as attach does, without boot lines and without starting the worker:
// for tests that drive installers or frames directly. False when the log
// could not be opened.
bool OpenLogOnly();
// The log file's bytes as written so far ("" when absent).
std::string ReadLog();
// Log lines without their CR LF; asserts (via the returned flag) that every
// line ended in CR LF.
std::vector<std::string> LogLines(bool* allEndedInCrLf = nullptr);

}  // namespace sim
