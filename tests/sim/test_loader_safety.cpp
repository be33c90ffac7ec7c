// What a real loader does around the plug-in: the pin that keeps its image
// mapped after a FreeLibrary, the instruction-cache flush after each code
// store, VHud taken only once its entry point has been called and pinned,
// the worker's look-up under the loader's lock, on a walk that always
// ends, and other copies of the plug-in in the process.
#include <string.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "check/log_lines.h"
#include "core_support.h"
#include "platform/platform.h"

namespace {

using core::BootLines;
using core::Concat;
using core::Hex;
using core::kVhudNotFound;
using core::kWorkerStarted;

constexpr uint32_t kPinFromAddress = 0x1 | 0x4;

class LoaderSafetyTest : public core::SimTest {};

// A module that is no PE image: the worker records it with size 0 and never
// patches it.
uintptr_t BuildNonPeModule() { return sim::MapAnywhere(0x2000, 0x10000); }

std::string BaseLine(uintptr_t base) {
  return "[OK] VHud.asi base=" + Hex(base) + " size=" + Hex(0);
}

// ---- The pin -------------------------------------------------------------------------------

TEST_F(LoaderSafetyTest, AttachPinsThePlugInOnceWhenItStarts) {
  struct Case {
    const char* what;
    std::vector<std::string> missing;
    size_t pins;
  };
  const Case cases[] = {
      {"all entries", {}, 1},
      {"without GetModuleHandleExW", {"GetModuleHandleExW"}, 0},
      {"inert without Sleep", {"Sleep"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Reset();
    core::gKernel32Exports = sim::DefaultKernel32Exports();
    core::RemoveKernel32Exports(c.missing);
    if (c.pins == 1) {
      core::SteerSleep([](uint32_t n, uint32_t) {
        if (n == 1) core::RequestStop();
      });
    }
    EXPECT_EQ(core::Attach(), 1);
    sim::StopWorker();
    ASSERT_EQ(sim::Record().moduleHandles.size(), c.pins);
    if (c.pins == 1) {
      EXPECT_EQ(sim::Record().moduleHandles[0].flags, kPinFromAddress);
      EXPECT_EQ(sim::Record().moduleHandles[0].address, reinterpret_cast<uintptr_t>(&gState));
      EXPECT_EQ(sim::ThreadsStarted(), 1u);
    }
    EXPECT_EQ(core::Detach(), 1);
  }
}

// ---- The instruction-cache flush ---------------------------------------------------------

TEST_F(LoaderSafetyTest, EachCodeStoreIsFlushedForTheBytesItWrote) {
  struct Case {
    const char* what;
    uint32_t offset, size;
    uint64_t expected;
    bool refuse, withFlush;
    PatchOutcome outcome;
    bool flushed;
  };
  const Case cases[] = {
      {"4 bytes", 1, 4, 0x44332211, false, true, PatchOutcome::Written, true},
      {"8 bytes", 3, 8, 0x8877665544332211ull, false, true, PatchOutcome::Written, true},
      {"bytes changed", 1, 4, 0xDEADBEEF, false, true, PatchOutcome::Changed, false},
      {"lift refused", 1, 4, 0x44332211, true, true, PatchOutcome::Refused, false},
      {"no FlushInstructionCache", 1, 4, 0x44332211, false, false, PatchOutcome::Written, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Reset();
    sim::UseStandIns();
    if (!c.withFlush) gState.api.flushInstructionCache = nullptr;
    sim::Fault().virtualProtectFailAll = c.refuse;
    const uintptr_t page = sim::MapAnywhere(sim::kPageSize, sim::kPageSize, sim::kPageExecuteRead);
    const uintptr_t site = page + 0x20;
    sim::SetProtect(page, sim::kPageSize, sim::kPageReadWrite);
    const uint8_t before[12] = {0x90, 0x11, 0x22, 0x33, 0x44, 0x55,
                                0x66, 0x77, 0x88, 0x90, 0x90, 0x90};
    memcpy(reinterpret_cast<void*>(site), before, sizeof(before));
    if (c.size == 8)
      memcpy(reinterpret_cast<void*>(site + 3), "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
    sim::SetProtect(page, sim::kPageSize, sim::kPageExecuteRead);
    const CodeWrite write = {c.offset, c.size, c.expected, 0xA1A2A3A4A5A6A7A8ull};
    EXPECT_EQ(PatchCode(site, 12, write), c.outcome);
    if (!c.flushed) {
      EXPECT_TRUE(sim::Record().codeFlushes.empty());
      continue;
    }
    ASSERT_EQ(sim::Record().codeFlushes.size(), 1u);
    const sim::CodeFlush& f = sim::Record().codeFlushes[0];
    EXPECT_EQ(f.process, 0xFFFFFFFFu) << "the current process";
    EXPECT_EQ(f.address, site + c.offset);
    EXPECT_EQ(f.size, c.size);
    EXPECT_EQ(sim::ProtectOf(site), sim::kPageExecuteRead);
  }
}

// ---- VHud taken once its entry point has been called ---------------------------------------

TEST_F(LoaderSafetyTest, AVhudStillBeingLoadedIsNeitherRecordedNorLogged) {
  const uintptr_t vhud = BuildNonPeModule();
  const uintptr_t entry = sim::AddModule("VHud.asi", vhud);
  sim::SetModuleFlags(entry, 0x4 | 0x00004000);  // listed, not yet attached
  std::vector<size_t> linesAt(12, 0);
  std::vector<uintptr_t> baseAt(12, 0);
  core::SteerSleep([&](uint32_t n, uint32_t) {
    linesAt[n] = sim::LogLines().size();
    baseAt[n] = gState.vhudBase;
    if (n == 6) sim::SetModuleFlags(entry, 0x4 | 0x00004000 | sim::kEntryPointCalled);
    if (n == 8) core::RequestStop();
  });
  ASSERT_EQ(core::Attach(), 1);
  ASSERT_TRUE(sim::WaitForSleeps(8, 20000));
  sim::StopWorker();
  EXPECT_EQ(sim::LogLines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud)}));
  // Six attempts saw VHud listed but still loading; the seventh took it.
  EXPECT_EQ(linesAt[6], 4u);
  EXPECT_EQ(baseAt[6], 0u);
  EXPECT_EQ(linesAt[7], 5u);
  EXPECT_EQ(baseAt[7], vhud);
  // One locked walk per look-up, one per pass for other copies of the
  // plug-in and one at attach, each lock given back.
  EXPECT_EQ(sim::Record().loaderLocks, 7u + 8u + 1u);
  EXPECT_EQ(sim::Record().loaderUnlocks, 7u + 8u + 1u);
}

TEST_F(LoaderSafetyTest, TheWaitForVhudsEntryPointCountsAgainstTheSearch) {
  const uintptr_t vhud = BuildNonPeModule();
  sim::SetModuleFlags(sim::AddModule("VHud.asi", vhud), 0);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 402) core::RequestStop();
  });
  ASSERT_EQ(core::Attach(), 1);
  ASSERT_TRUE(sim::WaitForSleeps(402, 20000));
  sim::StopWorker();
  EXPECT_EQ(sim::LogLines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_EQ(sim::Record().sleeps.size(), 402u);
  EXPECT_EQ(sim::Record().sleeps[399], 100u);
  EXPECT_EQ(sim::Record().sleeps[400], 500u);
  EXPECT_EQ(gState.vhudBase, 0u);
}

// The hazards of the look-up's walk: what lies ahead of the real VHud in the
// list, how the pin and the loader's lock answer. The real VHud, when listed,
// is last.
TEST_F(LoaderSafetyTest, VhudIsTakenOnlyInitialisedAndPinnedUnderTheLockItWasGiven) {
  enum Ahead { Nothing, NeverInitialised, EntryPointFailed };
  const struct {
    const char* what;
    Ahead ahead;
    bool real, pinRefused, withPin, lockNotTaken;
  } kCases[] = {
      {"the real one alone", Nothing, true, false, true, false},
      {"a copy never initialised ahead", NeverInitialised, true, false, true, false},
      {"a copy whose entry point failed ahead", EntryPointFailed, true, false, true, false},
      {"only a copy whose entry point failed", EntryPointFailed, false, false, true, false},
      {"the pin refused", Nothing, true, true, true, false},
      {"without GetModuleHandleExW", Nothing, true, false, false, false},
      {"the lock not taken, though the call succeeded", Nothing, true, false, true, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    sim::Reset();
    sim::UseStandIns();
    if (!c.withPin) gState.api.getModuleHandleExW = nullptr;
    sim::Fault().moduleHandleFail = c.pinRefused;
    sim::Fault().loaderLockNotTaken = c.lockNotTaken;
    const uintptr_t copy = BuildNonPeModule();
    if (c.ahead != Nothing) {
      const uintptr_t entry = sim::AddModule("VHUD.ASI", copy);
      if (c.ahead == NeverInitialised) sim::SetModuleFlags(entry, 0x4);
      if (c.ahead == EntryPointFailed) sim::FailEntryPoint(entry);
    }
    const uintptr_t vhud = BuildNonPeModule();
    if (c.real) sim::AddModule("VHud.asi", vhud);
    const bool taken = c.real && !c.pinRefused;
    EXPECT_EQ(PinInitialisedModule("VHud.asi"), taken ? vhud : 0u);
    // The failed copy was asked for its pin and refused; the real one pinned.
    std::vector<uintptr_t> asked;
    for (const sim::ModuleHandleCall& h : sim::Record().moduleHandles) {
      EXPECT_EQ(h.flags, kPinFromAddress);
      EXPECT_EQ(h.module, h.address == vhud && !c.pinRefused ? vhud : 0u);
      asked.push_back(h.address);
    }
    std::vector<uintptr_t> expected;
    if (c.withPin && c.ahead == EntryPointFailed) expected.push_back(copy);
    if (c.withPin && c.real) expected.push_back(vhud);
    EXPECT_EQ(asked, expected);
    // A lock is given back only when it was taken.
    EXPECT_EQ(sim::Record().loaderLocks, c.lockNotTaken ? 0u : 1u);
    EXPECT_EQ(sim::Record().loaderUnlocks, sim::Record().loaderLocks);
    EXPECT_EQ(sim::Record().badUnlocks, 0u);
  }
}

// ---- The walk under the loader's lock, and its bound ---------------------------------------

// A node that leads only to itself, as a freed or half-linked entry may.
struct LostNode {
  uintptr_t flink, blink;
  uint8_t rest[0x40];
};

TEST_F(LoaderSafetyTest, TheLookUpWaitsForTheLoaderAndEveryWalkEnds) {
  for (bool withLock : {true, false}) {
    SCOPED_TRACE(withLock ? "with ntdll's loader lock" : "without it");
    sim::Reset();
    sim::UseStandIns();
    if (!withLock) gState.api.ldrLockLoaderLock = nullptr;
    const uintptr_t churn = sim::AddModule("churn.dll", 0x2C000000);
    const uintptr_t vhud = BuildNonPeModule();
    sim::AddModule("VHud.asi", vhud);
    // The loader, holding its lock, leads churn.dll's entry off the list.
    static LostNode lost;
    memset(&lost, 0, sizeof(lost));
    lost.flink = lost.blink = reinterpret_cast<uintptr_t>(&lost);
    auto* links = reinterpret_cast<uintptr_t*>(churn + 0x08);
    const uintptr_t next = links[0];
    sim::LockLoader();
    links[0] = reinterpret_cast<uintptr_t>(&lost);
    uintptr_t found = 1;
    std::thread worker([&found] { found = PinInitialisedModule("VHud.asi"); });
    if (!withLock) worker.join();  // the walk ends even off the list
    links[0] = next;
    sim::UnlockLoader();
    if (withLock) worker.join();
    EXPECT_EQ(found, withLock ? vhud : 0u);
    EXPECT_EQ(sim::Record().loaderLocks, withLock ? 1u : 0u);
    EXPECT_EQ(sim::Record().loaderUnlocks, withLock ? 1u : 0u);
    // The plain look-up ends too, whatever the list holds.
    links[0] = reinterpret_cast<uintptr_t>(&lost);
    EXPECT_EQ(FindLoadedModule("missing.dll"), 0u);
    EXPECT_EQ(FindLoadedModule("ntdll.dll"), sim::NtdllBase());
    links[0] = next;
  }
}

// ---- Other copies of the plug-in ------------------------------------------------------------

// The checker's line of that kind, naming `name`.
std::string CopyLine(const char* id, const std::string& name) {
  for (const check::LogLineKind& kind : check::LogLineKinds()) {
    std::string line = kind.pattern;
    if (line.find("%n") != std::string::npos && std::string(kind.id) == id) {
      return line.replace(line.find("%n"), 2, name);
    }
  }
  ADD_FAILURE() << id;
  return "";
}

// A module listed ahead of this copy's attach. Called: its entry point had
// run before the attach; later: it runs at the worker's first Sleep.
TEST_F(LoaderSafetyTest, ALaterCopyStaysInertAndTheRunningOneNamesEveryOtherCopyOnce) {
  enum Image { Marked, Legacy, OtherProduct, Program, Unmarked, MarkUnreadable };
  enum Called { Before, Later, Never };
  const std::u16string oldName = u"Quorvel_Icons_old.asi";
  const struct {
    const char* what;
    Image image;
    Called called;
    std::u16string name;
    const char* line;  // the line's kind, or none
    std::string shown;
    bool lockNotTaken;
  } kCases[] = {
      {"a marked copy attached: this copy inert", Marked, Before, oldName, nullptr, "", false},
      {"a 1.0.0 copy attached: this copy inert", Legacy, Before, oldName, nullptr, "", false},
      {"a marked copy never attached", Marked, Never, oldName, nullptr, "", false},
      {"a marked copy attached later", Marked, Later, oldName, "copy_idle", "Quorvel_Icons_old.asi",
       false},
      {"a 1.0.0 copy attached later", Legacy, Later, oldName, "copy_legacy",
       "Quorvel_Icons_old.asi", false},
      {"a name beyond ASCII", Marked, Later, u"Q\u00e9\u4e00\"\x7f~ .asi", "copy_idle",
       "Q????~ .asi", false},
      {"an empty name", Marked, Later, u"", "copy_idle", "?", false},
      {"a long name, cut", Marked, Later, std::u16string(70, u'q'), "copy_idle",
       std::string(64, 'q'), false},
      {"without the loader's lock, not named", Marked, Later, oldName, nullptr, "", true},
      {"an unrelated Quorvel_Icons.asi", Unmarked, Before, u"Quorvel_Icons.asi", nullptr, "",
       false},
      {"another product's DLL", OtherProduct, Before, oldName, nullptr, "", false},
      {"the checker", Program, Before, u"quorvel-check.exe", nullptr, "", false},
      {"a mark on a page that cannot be read", MarkUnreadable, Before, oldName, nullptr, "", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    sim::Reset();
    sim::Fault().loaderLockNotTaken = c.lockNotTaken;
    const uintptr_t image = sim::BuildImage({}, 0x3000);
    if (c.image == Marked) sim::MarkAsCopy(image, 0x010203);
    if (c.image == MarkUnreadable) {
      sim::MarkAsCopy(image, 0x010203);
      std::vector<uint8_t> mark(reinterpret_cast<uint8_t*>(image + 0x400),
                                reinterpret_cast<uint8_t*>(image + 0x400 + 40));
      sim::AddSection(image, ".qimark\0", 0x2000, mark);  // the first is renamed
      sim::SetProtect(image, sim::kPageSize, sim::kPageReadWrite);
      reinterpret_cast<char*>(image + 0x178)[1] = 'x';
      sim::SetProtect(image, sim::kPageSize, sim::kPageReadOnly);
      sim::SetProtect(image + 0x2000, sim::kPageSize, sim::kPageNoAccess);
    }
    const char* product = c.image == OtherProduct ? "Quorvel Iconz" : "Quorvel Icons";
    if (c.image == Legacy || c.image == OtherProduct || c.image == Program) {
      sim::AddVersionResource(image, product, c.image == Program ? 1 : 2, 0x10000, 0);
    }
    // The name in the process's memory, where the loader keeps it.
    auto* name = static_cast<uint16_t*>(sim::Allocate(c.name.size() * 2 + 2, 2));
    std::copy(c.name.begin(), c.name.end(), name);
    const uintptr_t entry = sim::AddModuleRaw(image, name, c.name.size() * 2);
    if (c.called != Before) sim::SetModuleFlags(entry, 0);
    core::SteerSleep([&c, entry](uint32_t n, uint32_t) {
      if (n == 1 && c.called == Later) sim::SetModuleFlags(entry, sim::kEntryPointCalled);
      if (n == 4) core::RequestStop();
    });
    EXPECT_EQ(core::Attach(), 1);
    const bool inert = c.called == Before && (c.image == Marked || c.image == Legacy);
    if (!inert) {
      EXPECT_TRUE(sim::WaitForSleeps(4));
    }
    sim::StopWorker();
    EXPECT_EQ(core::Detach(), 1);
    EXPECT_EQ(sim::ThreadsStarted(), inert ? 0u : 1u);
    EXPECT_EQ(sim::Record().moduleHandles.size(), inert ? 0u : 1u);
    if (inert) {
      EXPECT_TRUE(sim::Record().createFiles.empty());
      EXPECT_EQ(sim::Record().writeFile, 0u);
      EXPECT_FALSE(core::LogExists());
      continue;
    }
    std::vector<std::string> expected = Concat(BootLines(), {kWorkerStarted});
    if (c.line != nullptr) expected.push_back(CopyLine(c.line, c.shown));
    EXPECT_EQ(sim::LogLines(), Concat(expected, {kVhudNotFound, core::kStopLine}));
  }
}

}  // namespace
