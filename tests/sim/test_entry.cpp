// Start-up and shutdown through the DLL entry point: the kernel32 look-up, the
// eight resolved entries, the start-up gate, the log's opening and boot lines,
// the worker's start (detach: test_entry_exit.cpp).
#include <string.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "core_support.h"

namespace {

using core::Attach;
using core::BootLines;
using core::Concat;
using core::Detach;
using core::kStopLine;
using core::kVhudNotFound;
using core::kWorkerStarted;

class EntryTest : public core::SimTest {
 protected:
  // Lets the worker reach its first sleep, so its first line is written.
  static void WaitForWorkerSleep() { ASSERT_TRUE(sim::WaitForSleeps(1)); }

  static void ExpectInert() {
    EXPECT_FALSE(core::LogExists());
    EXPECT_EQ(sim::Record().createFileA, 0u);
    EXPECT_EQ(sim::Record().createThread, 0u);
    EXPECT_EQ(sim::ThreadsStarted(), 0u);
    EXPECT_TRUE(core::IsInvalid(gState.logFile));
  }
};

// ---- Attach: the look-up of kernel32 and of the eight entries ------------------------

TEST_F(EntryTest, AttachResolvesEveryEntryToItsKernel32Export) {
  EXPECT_EQ(Attach(), 1);
  const PlatformApi& api = gState.api;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.createThread), sim::StandIn("CreateThread"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.sleep), sim::StandIn("Sleep"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.virtualProtect), sim::StandIn("VirtualProtect"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.virtualQuery), sim::StandIn("VirtualQuery"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.createFileA), sim::StandIn("CreateFileA"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.writeFile), sim::StandIn("WriteFile"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.flushFileBuffers), sim::StandIn("FlushFileBuffers"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.closeHandle), sim::StandIn("CloseHandle"));
  EXPECT_EQ(sim::Record().createThread, 1u);
}

TEST_F(EntryTest, EntriesAreFoundByNameWhateverTheirPlaceInTheExportTable) {
  std::vector<sim::Export> reversed = sim::DefaultKernel32Exports();
  std::reverse(reversed.begin(), reversed.end());
  sim::RebuildKernel32(reversed);
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gState.api.sleep), sim::StandIn("Sleep"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gState.api.closeHandle), sim::StandIn("CloseHandle"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gState.api.createThread), sim::StandIn("CreateThread"));
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
}

TEST_F(EntryTest, EntriesForwardedToKernelbaseOrToAnApiSetAreFollowed) {
  // API sets are never listed; kernelbase.dll hosts those kernel32 forwards to.
  const struct {
    const char* module;
    bool kernelbase, found;
  } kCases[] = {
      {"KERNELBASE", true, true},
      {"api-ms-win-core-libraryloader-l1-2-0", true, true},
      {"API-MS-Win-Core-ProcessThreads-L1-1-3", true, true},
      {"ext-ms-win-kernel32-package-l1-1-0", true, true},
      {"api-ms-win-core-synch-l1-2-0", false, false},
      {"api-ms", true, false},  // names the module "api-ms.dll"
  };
  const std::vector<std::string> kernel32 = {"Sleep", "VirtualProtect", "GetModuleHandleExW",
                                             "FlushInstructionCache"};
  const std::vector<std::string> ntdll = {"LdrLockLoaderLock", "LdrUnlockLoaderLock"};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.module);
    sim::Reset();
    if (c.kernelbase) sim::AddKernelbase();
    sim::RebuildKernel32(sim::Forwarded(sim::DefaultKernel32Exports(), kernel32, c.module));
    sim::RebuildNtdll(sim::Forwarded(sim::DefaultNtdllExports(), ntdll, c.module));
    EXPECT_EQ(Attach(), 1);
    const PlatformApi& api = gState.api;
    const std::pair<const void*, const char*> kEntries[] = {
        {reinterpret_cast<const void*>(api.sleep), "Sleep"},
        {reinterpret_cast<const void*>(api.virtualProtect), "VirtualProtect"},
        {reinterpret_cast<const void*>(api.getModuleHandleExW), "GetModuleHandleExW"},
        {reinterpret_cast<const void*>(api.flushInstructionCache), "FlushInstructionCache"},
        {reinterpret_cast<const void*>(api.ldrLockLoaderLock), "LdrLockLoaderLock"},
        {reinterpret_cast<const void*>(api.ldrUnlockLoaderLock), "LdrUnlockLoaderLock"}};
    for (const auto& e : kEntries) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(e.first), c.found ? sim::StandIn(e.second) : 0u)
          << e.second;
    }
    // Found, the plug-in pins itself and starts.
    EXPECT_EQ(sim::Record().moduleHandles.size(), c.found ? 1u : 0u);
    EXPECT_EQ(sim::ThreadsStarted(), c.found ? 1u : 0u);
    sim::StopWorker();
  }
}

TEST_F(EntryTest, Kernel32IsFoundWhateverTheCaseOfItsLoaderName) {
  uintptr_t kernel32 = sim::Kernel32Base();
  sim::RemoveModule(kernel32);
  sim::AddModule("Kernel32.dll", kernel32);
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  EXPECT_TRUE(core::LogExists());
}

TEST_F(EntryTest, WithoutKernel32InTheLoaderListNothingHappens) {
  sim::RemoveModule(sim::Kernel32Base());
  EXPECT_EQ(Attach(), 1);
  ExpectInert();
  const PlatformApi none = {};
  EXPECT_EQ(memcmp(&gState.api, &none, sizeof(none)), 0);
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(gState.stopRequested, 1);
  EXPECT_FALSE(core::LogExists());
}

TEST_F(EntryTest, WithoutALoaderListNothingHappens) {
  for (sim::LoaderShape shape : {sim::LoaderShape::NullPeb, sim::LoaderShape::NullLdr,
                                 sim::LoaderShape::EmptyHead, sim::LoaderShape::EmptyNull}) {
    sim::Reset();
    sim::SetLoaderShape(shape);
    EXPECT_EQ(Attach(), 1);
    ExpectInert();
    EXPECT_EQ(gState.api.sleep, nullptr);
  }
}

// ---- The start-up gate ----------------------------------------------------------------

class EntryGateTest : public EntryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EntryGateTest, MissingRequiredEntryLeavesThePluginInertButResolvesTheRest) {
  const std::string missing = GetParam();
  core::RemoveKernel32Exports({missing});
  EXPECT_EQ(Attach(), 1);
  ExpectInert();
  const PlatformApi& api = gState.api;
  // All eight look-ups are made even when an earlier one failed.
  EXPECT_EQ(api.createThread == nullptr, missing == "CreateThread");
  EXPECT_EQ(api.sleep == nullptr, missing == "Sleep");
  EXPECT_EQ(api.virtualProtect == nullptr, missing == "VirtualProtect");
  EXPECT_NE(api.virtualQuery, nullptr);
  EXPECT_NE(api.createFileA, nullptr);
  EXPECT_NE(api.writeFile, nullptr);
  EXPECT_NE(api.flushFileBuffers, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(api.closeHandle), sim::StandIn("CloseHandle"));

  // Detach of an inert plug-in: stop flag only.
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(gState.stopRequested, 1);
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().closeHandle, 0u);
  EXPECT_FALSE(core::LogExists());
}

INSTANTIATE_TEST_SUITE_P(RequiredEntries, EntryGateTest,
                         ::testing::Values("CreateThread", "Sleep", "VirtualProtect"));

// ---- Optional entries ---------------------------------------------------------------------

TEST_F(EntryTest, WithoutVirtualQueryTheWorkerStartsAndLogs) {
  core::RemoveKernel32Exports({"VirtualQuery"});
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(gState.api.virtualQuery, nullptr);
  WaitForWorkerSleep();
  sim::StopWorker();
  EXPECT_EQ(sim::LogLines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
}

TEST_F(EntryTest, WithoutCreateFileANoLogExistsButTheWorkerRuns) {
  core::RemoveKernel32Exports({"CreateFileA"});
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(gState.api.createFileA, nullptr);
  EXPECT_TRUE(core::IsInvalid(gState.logFile));
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  WaitForWorkerSleep();
  sim::StopWorker();
  EXPECT_FALSE(core::LogExists());
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
}

TEST_F(EntryTest, WhenCreateFileAFailsNothingIsWrittenButTheWorkerRuns) {
  sim::Fault().createFileFail = true;
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::Record().createFileA, 1u);
  EXPECT_TRUE(core::IsInvalid(gState.logFile));
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  WaitForWorkerSleep();
  sim::StopWorker();
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
  EXPECT_EQ(sim::ReadLog(), "");
}

TEST_F(EntryTest, WithoutWriteFileTheLogIsCreatedEmpty) {
  core::RemoveKernel32Exports({"WriteFile"});
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  WaitForWorkerSleep();
  sim::StopWorker();
  EXPECT_TRUE(core::LogExists());
  EXPECT_EQ(sim::ReadLog(), "");
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
}

TEST_F(EntryTest, WithoutFlushFileBuffersLinesAreWrittenUnflushed) {
  core::RemoveKernel32Exports({"FlushFileBuffers"});
  EXPECT_EQ(Attach(), 1);
  WaitForWorkerSleep();
  sim::StopWorker();
  EXPECT_EQ(sim::LogLines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_EQ(sim::Record().writeFile, 5u);
  EXPECT_EQ(sim::Record().flushFileBuffers, 0u);
}

TEST_F(EntryTest, WithoutCloseHandleTheThreadHandleIsKept) {
  core::RemoveKernel32Exports({"CloseHandle"});
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  EXPECT_EQ(sim::Record().closeHandle, 0u);
}

TEST_F(EntryTest, WithAllOptionalEntriesMissingTheWorkerStillStarts) {
  core::RemoveKernel32Exports(
      {"VirtualQuery", "CreateFileA", "WriteFile", "FlushFileBuffers", "CloseHandle"});
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::Record().createThread, 1u);
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  EXPECT_TRUE(sim::WaitForSleeps(3));
  sim::StopWorker();
  ASSERT_GE(sim::Record().sleeps.size(), 3u);
  EXPECT_EQ(sim::Record().sleeps[0], 100u);
  EXPECT_FALSE(core::LogExists());
}

// ---- The log's opening and the boot lines ------------------------------------------------

TEST_F(EntryTest, LogIsCreatedWithTheExpectedArguments) {
  EXPECT_EQ(Attach(), 1);
  ASSERT_EQ(sim::Record().createFiles.size(), 1u);
  const sim::CreateFileCall& call = sim::Record().createFiles[0];
  EXPECT_EQ(call.name, "Quorvel_Icons.log");
  EXPECT_EQ(call.access, 0x40000000u);
  EXPECT_EQ(call.share, 3u);
  EXPECT_EQ(call.disposition, 2u);
  EXPECT_EQ(call.flags, 0x80u);
  EXPECT_FALSE(core::IsInvalid(gState.logFile));
  EXPECT_TRUE(core::LogExists());
}

TEST_F(EntryTest, AnEarlierLogIsTruncated) {
  {
    std::ofstream old(core::LogPath(), std::ios::binary);
    old << "[BOOT] an earlier run\r\n" << std::string(4096, 'x') << "\r\n";
  }
  EXPECT_EQ(Attach(), 1);
  WaitForWorkerSleep();
  sim::StopWorker();
  bool crlf = false;
  EXPECT_EQ(sim::LogLines(&crlf), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_TRUE(crlf);
}

TEST_F(EntryTest, BootLinesStandFirstEachLineWrittenWhole) {
  core::ReplaceKernel32Export("WriteFile", reinterpret_cast<uintptr_t>(&core::CapturingWriteFile));
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 1) core::RequestStop();
  });
  EXPECT_EQ(Attach(), 1);
  sim::StopWorker();
  const std::string crlf = "\r\n";
  EXPECT_EQ(core::Chunks(),
            (std::vector<std::string>{core::kBoot1 + crlf, core::kBoot2 + crlf, core::kBoot3 + crlf,
                                      kWorkerStarted + crlf, kVhudNotFound + crlf}));
  EXPECT_EQ(sim::Record().flushFileBuffers, 5u);
}

// ---- The worker's start and its handle ------------------------------------------------------

TEST_F(EntryTest, TheThreadHandleIsClosedAtOnce) {
  core::ReplaceKernel32Export("CreateThread",
                              reinterpret_cast<uintptr_t>(&core::ObservedCreateThread));
  EXPECT_EQ(Attach(), 1);
  ASSERT_NE(core::gCreatedThread.load(), 0u);
  ASSERT_EQ(sim::Record().closedHandles.size(), 1u);
  EXPECT_EQ(sim::Record().closedHandles[0], core::gCreatedThread.load());
  EXPECT_NE(sim::Record().closedHandles[0], reinterpret_cast<uintptr_t>(gState.logFile));
}

TEST_F(EntryTest, ANullOrInvalidThreadHandleIsNotClosed) {
  core::ReplaceKernel32Export("CreateThread", reinterpret_cast<uintptr_t>(&core::FakeCreateThread));
  for (uintptr_t result : {uintptr_t{0}, uintptr_t{0xFFFFFFFFu}}) {
    core::gFakeThreadResult = result;
    gState.logFile = QI_INVALID_HANDLE;
    gState.api = {};
    uint32_t before = core::gFakeCreateCalls;
    EXPECT_EQ(Attach(), 1);
    EXPECT_EQ(core::gFakeCreateCalls, before + 1);
    EXPECT_EQ(sim::Record().closeHandle, 0u) << "thread handle " << result;
  }
}

TEST_F(EntryTest, WhenCreateThreadFailsTheLogHoldsTheBootLinesOnly) {
  sim::Fault().createThreadFail = true;
  sim::AddModule("VHud.asi", sim::BuildImage({}, 0x104A000));
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(sim::Record().createThread, 1u);
  EXPECT_EQ(sim::ThreadsStarted(), 0u);
  EXPECT_EQ(sim::Record().closeHandle, 0u);
  EXPECT_EQ(sim::Record().sleep, 0u);
  bool crlf = false;
  EXPECT_EQ(sim::LogLines(&crlf), BootLines());
  EXPECT_TRUE(crlf);
  EXPECT_EQ(gState.vhudBase, 0u);
  EXPECT_FALSE(core::IsInvalid(gState.logFile));
}

}  // namespace
