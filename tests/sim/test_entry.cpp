// Start-up and shutdown through the DLL entry point: the kernel32 look-up, the
// eight resolved entries, the start-up gate, the log's opening and boot lines,
// the worker's start and the detach steps in each state.
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

TEST_F(EntryTest, EntriesForwardedToAnotherLoadedModuleAreFollowed) {
  sim::Export sleep;
  sleep.name = "Sleep";
  sleep.address = sim::StandIn("Sleep");
  sim::Export protect;
  protect.name = "VirtualProtect";
  protect.address = sim::StandIn("VirtualProtect");
  sim::AddModule("KernelBase.dll", sim::BuildImage({sleep, protect}));
  std::vector<sim::Export> exports = sim::DefaultKernel32Exports();
  for (sim::Export& e : exports) {
    if (e.name == "Sleep" || e.name == "VirtualProtect") {
      e.forwarder = "KERNELBASE." + e.name;
      e.address = 0;
    }
  }
  sim::RebuildKernel32(exports);
  EXPECT_EQ(Attach(), 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gState.api.sleep), sim::StandIn("Sleep"));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gState.api.virtualProtect), sim::StandIn("VirtualProtect"));
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
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

// ---- Other reason codes --------------------------------------------------------------------

TEST_F(EntryTest, OtherReasonCodesDoNothingBeforeAttach) {
  unsigned char before[sizeof(PluginState)];
  memcpy(before, &gState, sizeof(before));
  for (uint32_t reason : {2u, 3u, 4u, 0xFFFFFFFFu}) {
    EXPECT_EQ(DllMain(nullptr, reason, nullptr), 1) << reason;
  }
  EXPECT_EQ(memcmp(&gState, before, sizeof(before)), 0);
  EXPECT_EQ(sim::Record().createFileA, 0u);
  EXPECT_EQ(sim::Record().createThread, 0u);
  EXPECT_FALSE(core::LogExists());
}

TEST_F(EntryTest, ThreadAttachAndDetachChangeNothingWhileRunning) {
  core::Latch paused, resume;
  core::HoldWorkerInFirstSleep(paused, resume);
  EXPECT_EQ(Attach(), 1);
  ASSERT_TRUE(paused.Wait());
  const Handle log = gState.logFile;
  const std::string logBefore = sim::ReadLog();
  const uint32_t closesBefore = sim::Record().closeHandle;
  EXPECT_EQ(DllMain(nullptr, 2, nullptr), 1);
  EXPECT_EQ(DllMain(nullptr, 3, nullptr), 1);
  EXPECT_EQ(gState.stopRequested, 0);
  EXPECT_EQ(gState.logFile, log);
  EXPECT_EQ(sim::Record().closeHandle, closesBefore);
  EXPECT_EQ(sim::Record().createThread, 1u);
  EXPECT_EQ(sim::ReadLog(), logBefore);
  resume.Signal();
  // The worker goes on.
  EXPECT_TRUE(sim::WaitForSleeps(20));
}

// ---- Detach -----------------------------------------------------------------------------------

TEST_F(EntryTest, DetachWritesTheStopLineLastAndClosesTheLog) {
  core::Latch paused, resume;
  core::HoldWorkerInFirstSleep(paused, resume);
  EXPECT_EQ(Attach(), 1);
  ASSERT_TRUE(paused.Wait());
  const uintptr_t log = reinterpret_cast<uintptr_t>(gState.logFile);
  const uint32_t closesBefore = sim::Record().closeHandle;
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(gState.stopRequested, 1);
  EXPECT_TRUE(core::IsInvalid(gState.logFile));
  EXPECT_EQ(sim::Record().closeHandle, closesBefore + 1);
  EXPECT_EQ(sim::Record().closedHandles.back(), log);
  const uint32_t writes = sim::Record().writeFile;
  resume.Signal();
  sim::StopWorker();
  // The worker's not-found line comes after the log closed and is dropped.
  EXPECT_EQ(sim::Record().writeFile, writes);
  EXPECT_EQ(sim::Record().sleeps.size(), 1u);
  bool crlf = false;
  EXPECT_EQ(sim::LogLines(&crlf), Concat(BootLines(), {kWorkerStarted, kStopLine}));
  EXPECT_TRUE(crlf);
}

// A line that another thread starts while detach closes the log must not go
// through a handle that is already closed (and may be handed out again): the
// handle is withdrawn before CloseHandle runs.
Handle gLogFileSeenByClose = 0;
int32_t QI_STDCALL CloseHandleSeeingTheLog(Handle handle) {
  gLogFileSeenByClose = gState.logFile;
  return reinterpret_cast<CloseHandleFn>(sim::StandIn("CloseHandle"))(handle);
}

TEST_F(EntryTest, DetachWithdrawsTheLogHandleBeforeClosingIt) {
  core::UseStandIns();
  const Handle log = core::OpenLogDirectly();
  ASSERT_FALSE(core::IsInvalid(log));
  gState.api.closeHandle = &CloseHandleSeeingTheLog;
  EXPECT_EQ(Detach(), 1);
  EXPECT_TRUE(core::IsInvalid(gLogFileSeenByClose));
  EXPECT_EQ(sim::Record().closedHandles, std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(log)});
  EXPECT_EQ(sim::LogLines(), std::vector<std::string>{kStopLine});
}

TEST_F(EntryTest, DetachWhenTheLogNeverOpenedOnlySetsTheStopFlag) {
  core::RemoveKernel32Exports({"CreateFileA"});
  EXPECT_EQ(Attach(), 1);
  const uint32_t closesAfterAttach = sim::Record().closeHandle;  // the thread handle
  EXPECT_EQ(closesAfterAttach, 1u);
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(gState.stopRequested, 1);
  EXPECT_EQ(sim::Record().closeHandle, closesAfterAttach);
  EXPECT_EQ(sim::Record().writeFile, 0u);
  EXPECT_TRUE(core::IsInvalid(gState.logFile));
}

TEST_F(EntryTest, DetachWithoutCloseHandleWritesTheStopLineAndKeepsTheLogOpen) {
  core::RemoveKernel32Exports({"CloseHandle"});
  core::Latch paused, resume;
  core::HoldWorkerInFirstSleep(paused, resume);
  EXPECT_EQ(Attach(), 1);
  ASSERT_TRUE(paused.Wait());
  const Handle log = gState.logFile;
  ASSERT_FALSE(core::IsInvalid(log));
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(gState.stopRequested, 1);
  EXPECT_EQ(gState.logFile, log);
  EXPECT_EQ(sim::LogLines().back(), kStopLine);
  resume.Signal();
  sim::StopWorker();
  // The log stays open, so the worker's last line still lands.
  EXPECT_EQ(sim::LogLines(), Concat(BootLines(), {kWorkerStarted, kStopLine, kVhudNotFound}));
  EXPECT_EQ(sim::Record().closeHandle, 0u);
}

TEST_F(EntryTest, DetachDoesNotChangeThePlatformEntries) {
  EXPECT_EQ(Attach(), 1);
  const PlatformApi before = gState.api;
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(memcmp(&gState.api, &before, sizeof(before)), 0);
}

}  // namespace
