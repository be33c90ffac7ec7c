// The DLL entry point's other reason codes, and detach in each state: the
// stop line last, the log handle withdrawn before it is closed.
#include <string.h>

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

class EntryExitTest : public core::SimTest {};

// ---- Other reason codes --------------------------------------------------------------------

TEST_F(EntryExitTest, OtherReasonCodesDoNothingBeforeAttach) {
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

TEST_F(EntryExitTest, ThreadAttachAndDetachChangeNothingWhileRunning) {
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

TEST_F(EntryExitTest, DetachWritesTheStopLineLastAndClosesTheLog) {
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

TEST_F(EntryExitTest, DetachWithdrawsTheLogHandleBeforeClosingIt) {
  core::UseStandIns();
  const Handle log = core::OpenLogDirectly();
  ASSERT_FALSE(core::IsInvalid(log));
  gState.api.closeHandle = &CloseHandleSeeingTheLog;
  EXPECT_EQ(Detach(), 1);
  EXPECT_TRUE(core::IsInvalid(gLogFileSeenByClose));
  EXPECT_EQ(sim::Record().closedHandles, std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(log)});
  EXPECT_EQ(sim::LogLines(), std::vector<std::string>{kStopLine});
}

TEST_F(EntryExitTest, DetachWhenTheLogNeverOpenedOnlySetsTheStopFlag) {
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

TEST_F(EntryExitTest, DetachWithoutCloseHandleWritesTheStopLineAndKeepsTheLogOpen) {
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

TEST_F(EntryExitTest, DetachDoesNotChangeThePlatformEntries) {
  EXPECT_EQ(Attach(), 1);
  const PlatformApi before = gState.api;
  EXPECT_EQ(Detach(), 1);
  EXPECT_EQ(memcmp(&gState.api, &before, sizeof(before)), 0);
}

}  // namespace
