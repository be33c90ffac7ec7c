// The worker's schedule, seen through the log, the recorded sleeps and the
// recorded VirtualProtect calls: the search for VHud, the first phase of
// 100 ms attempts, the second phase every 500 ms, and the stop flag.

#include "test_worker_fixture.h"

namespace {

using namespace worker_test;
using core::BootLines;
using core::Concat;
using core::Hex;
using core::kVhudNotFound;
using core::kWorkerStarted;

TEST_F(WorkerTest, WithoutVhudFourHundredAttemptsThenTheErrorLineThenIdle) {
  const uintptr_t lateVhud = BuildNonPeModule();
  std::vector<size_t> linesAt(410, 0);
  core::SteerSleep([&](uint32_t n, uint32_t) {
    linesAt[n] = sim::LogLines().size();
    if (n == 401) sim::AddModule("VHud.asi", lateVhud);  // loaded too late
    if (n == 405) core::RequestStop();
  });
  RunUntil(405);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 5));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_EQ(linesAt[400], 4u);  // the error line follows the 400th sleep
  EXPECT_EQ(linesAt[401], 5u);
  EXPECT_EQ(gState.vhudBase, 0u);
  // Only the look for other copies of the plug-in asks, one question per
  // listed module's headers: at attach and at the first pass (ntdll and
  // kernel32), and at the pass after the list changed (VHud too).
  EXPECT_EQ(sim::Record().virtualQuery, 2u + 2u + 3u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

TEST_F(WorkerTest, TheFourHundredthAttemptStillLooksVhudUp) {
  const uintptr_t vhud = BuildNonPeModule();
  core::SteerSleep([&](uint32_t n, uint32_t) {
    if (n == 399) sim::AddModule("VHud.asi", vhud);
    if (n == 402) core::RequestStop();
  });
  RunUntil(402);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 2));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
  EXPECT_EQ(gState.vhudBase, vhud);
}

TEST_F(WorkerTest, AVhudLoadedDuringTheLastFastSleepIsNeverFound) {
  const uintptr_t vhud = BuildNonPeModule();
  core::SteerSleep([&](uint32_t n, uint32_t) {
    if (n == 400) sim::AddModule("VHud.asi", vhud);
    if (n == 403) core::RequestStop();
  });
  RunUntil(403);
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_EQ(gState.vhudBase, 0u);
}

// ---- VHud found --------------------------------------------------------------------------

TEST_F(WorkerTest, VhudAppearingOnTheTenthAttemptLogsItsBaseInThatAttempt) {
  const uintptr_t vhud = BuildVhud(Sites::OneByteOff);
  MapGame(vhud, false);
  std::vector<size_t> linesAt(20, 0);
  std::vector<uint32_t> queriesAt(20, 0);
  core::SteerSleep([&](uint32_t n, uint32_t) {
    linesAt[n] = sim::LogLines().size();
    queriesAt[n] = sim::Record().virtualQuery;
    if (n == 9) sim::AddModule("VHud.asi", vhud);
    if (n == 12) core::RequestStop();
  });
  RunUntil(12);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(12, 0));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, kVhudSize), kStaticNoCall,
                                          kSpacingMismatch, kCentreMismatch}));
  // Nine empty attempts, then the base line and the installers' reports in
  // the tenth, which also reads the eight sites of the build's recognition;
  // each attempt from then on queries the seven guarded sites. The look for
  // other copies asks about each listed module's headers at attach and at
  // the first pass (ntdll, kernel32) and in the tenth (VHud too).
  EXPECT_EQ(linesAt[9], 4u);
  EXPECT_EQ(linesAt[10], 8u);
  const uint32_t copyLook = 2u + 2u;
  EXPECT_EQ(queriesAt[9], copyLook);
  EXPECT_EQ(queriesAt[10], copyLook + 3u + 8u + 7u);
  EXPECT_EQ(queriesAt[11], copyLook + 3u + 8u + 14u);
  EXPECT_EQ(gState.vhudBase, vhud);
  EXPECT_EQ(gState.vhudSize, kVhudSize);
}

TEST_F(WorkerTest, EverythingInPlaceOnTheFirstAttemptGoesStraightToTheSecondPhase) {
  const uintptr_t vhud = BuildVhud(Sites::Original);
  MapGame(vhud, true);
  sim::AddModule("VHud.asi", vhud);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 3) core::RequestStop();
  });
  RunUntil(3);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(0, 3));
  EXPECT_EQ(Lines(), Concat(BootLines(), Concat({kWorkerStarted}, SuccessLines(vhud))));
  // One pass lifted and restored each of the nine sites; the second-phase
  // passes found every patch in place and wrote nothing.
  const std::vector<sim::ProtectCall>& protects = sim::Record().protects;
  ASSERT_EQ(protects.size(), 18u);
  const std::vector<uintptr_t> sites = FirstPhaseSites(vhud);
  for (size_t i = 0; i < sites.size(); ++i) {
    EXPECT_EQ(protects[2 * i].address, sites[i]) << i;
    EXPECT_EQ(protects[2 * i].newProtect, 0x40u) << i;
    EXPECT_EQ(protects[2 * i + 1].address, sites[i]) << i;
  }
  EXPECT_EQ(*reinterpret_cast<const uint8_t*>(kHudJump), 0xE9);
  EXPECT_EQ(RelativeTarget(kHudJump, Get32(kHudJump + 1)), HookAddress());
}

TEST_F(WorkerTest, AHookAlreadyInPlaceEndsTheFirstPhaseAtOnce) {
  const uintptr_t vhud = BuildVhud(Sites::OneByteOff);
  MapGame(vhud, false);
  PutBranch(kHudJump, 0xE9, HookAddress());
  sim::AddModule("VHud.asi", vhud);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 2) core::RequestStop();
  });
  RunUntil(2);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(0, 2));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, kVhudSize), kStaticNoCall,
                                          kSpacingMismatch, kCentreMismatch}));
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

TEST_F(WorkerTest, ASiteRestoredDuringTheSecondPhaseIsPatchedInTheNextPass) {
  const uintptr_t vhud = BuildVhud(Sites::Original);
  MapGame(vhud, true);
  sim::AddModule("VHud.asi", vhud);
  bool patchedAgain = false;
  core::SteerSleep([&](uint32_t n, uint32_t) {
    if (n == 2) {
      // Someone puts the game's jump and VHud's call back.
      PutBranch(kHudJump, 0xE9, vhud + kVhudHudRoutine);
      PutBranch(vhud + kRotateCall, 0xE8, vhud + kRotateVertices);
    }
    if (n == 3) {
      patchedAgain = RelativeTarget(kHudJump, Get32(kHudJump + 1)) == HookAddress() &&
                     RelativeTarget(vhud + kRotateCall, Get32(vhud + kRotateCall + 1)) ==
                         reinterpret_cast<uintptr_t>(&StaticSlotRotate);
      core::RequestStop();
    }
  });
  RunUntil(3);
  EXPECT_TRUE(patchedAgain);
  std::vector<std::string> expected =
      Concat(BootLines(), Concat({kWorkerStarted}, SuccessLines(vhud)));
  expected.push_back(expected.back());  // the hook line, every time the hook is written
  EXPECT_EQ(Lines(), expected);
  // The re-patching pass lifted the hook site first, then VHud's call.
  const std::vector<sim::ProtectCall>& protects = sim::Record().protects;
  ASSERT_EQ(protects.size(), 22u);
  EXPECT_EQ(protects[18].address, kHudJump);
  EXPECT_EQ(protects[20].address, vhud + kRotateCall);
}

TEST_F(WorkerTest, AHookNeverPlacedKeepsAllFourInstallersRunningInTheirOrder) {
  const uintptr_t vhud = BuildVhud(Sites::Original);
  MapGame(vhud, true);
  sim::AddModule("VHud.asi", vhud);
  sim::Fault().virtualProtectFailAll = true;
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 402) core::RequestStop();
  });
  RunUntil(402);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 2));

  // Every attempt lifts the nine sites in installer order, the hook last;
  // every second-phase pass begins with the hook.
  std::vector<uintptr_t> expected;
  for (int i = 0; i < 400; ++i) {
    std::vector<uintptr_t> pass = FirstPhaseSites(vhud);
    expected.insert(expected.end(), pass.begin(), pass.end());
  }
  for (int i = 0; i < 2; ++i) {
    std::vector<uintptr_t> pass = SecondPhaseSites(vhud);
    expected.insert(expected.end(), pass.begin(), pass.end());
  }
  std::vector<uintptr_t> lifted;
  for (const sim::ProtectCall& p : sim::Record().protects) {
    EXPECT_EQ(p.newProtect, 0x40u);
    EXPECT_FALSE(p.succeeded);
    lifted.push_back(p.address);
  }
  EXPECT_EQ(lifted, expected);

  std::vector<std::string> lines =
      Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, kVhudSize), kStaticProtectFailed,
                           kSpacingProtectFailed, kCentreProtectFailed});
  lines.insert(lines.end(), 402, kHookProtectFailed);
  EXPECT_EQ(Lines(), lines);
  EXPECT_EQ(*reinterpret_cast<const uint8_t*>(kHudJump), 0xE9);
  EXPECT_EQ(RelativeTarget(kHudJump, Get32(kHudJump + 1)), vhud + kVhudHudRoutine);
}

// ---- The stop flag -----------------------------------------------------------------------------

TEST_F(WorkerTest, AStopFlagSetBeforeTheWorkerRunsSkipsTheSearch) {
  sim::AddModule("VHud.asi", BuildNonPeModule());
  gState.stopRequested = 1;
  ASSERT_EQ(core::Attach(), 1);
  EXPECT_EQ(sim::ThreadsStarted(), 1u);
  sim::StopWorker();
  EXPECT_TRUE(sim::Record().sleeps.empty());
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
  EXPECT_EQ(gState.vhudBase, 0u);
}

TEST_F(WorkerTest, AStopDuringTheSearchWithVhudFoundWritesNoErrorLine) {
  const uintptr_t vhud = BuildNonPeModule();
  sim::AddModule("VHud.asi", vhud);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 5) core::RequestStop();
  });
  RunUntil(5);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(5, 0));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
}

// The worker ends right after the sleep in which the flag was set, except
// that the 400th fast sleep is followed by the test between the phases.
class WorkerStopTest : public WorkerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(WorkerStopTest, TheWorkerEndsAfterTheSleepInWhichTheFlagWasSet) {
  const uint32_t at = GetParam();
  core::SteerSleep([at](uint32_t n, uint32_t) {
    if (n == at) core::RequestStop();
  });
  RunUntil(at);
  EXPECT_EQ(sim::Record().sleeps, at <= 400 ? Sleeps(at, 0) : Sleeps(400, at - 400));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, kVhudNotFound}));
}

INSTANTIATE_TEST_SUITE_P(StopPoints, WorkerStopTest,
                         ::testing::Values(1u, 2u, 399u, 400u, 401u, 404u));

}  // namespace
