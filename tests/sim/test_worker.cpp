// The worker's schedule, seen through the log, the recorded sleeps and the
// recorded VirtualProtect calls: the search for VHud, the first phase of
// 100 ms attempts, the second phase every 500 ms, and the stop flag.
#include <string.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "hud/hud.h"
#include "platform/platform.h"
#include "wheel/wheel.h"

namespace {

using core::BootLines;
using core::Concat;
using core::Hex;
using core::kVhudNotFound;
using core::kWorkerStarted;

constexpr uint32_t kVhudSize = 0x104A000;
constexpr uintptr_t kGameBase = 0x56E000;
constexpr uintptr_t kGameEnd = 0xC18000;
constexpr uintptr_t kHudJump = 0x58FAE0;
constexpr uint32_t kVhudHudRoutine = 0x12340;  // where the game's HUD jump leads in VHud

constexpr uint32_t kRotateCall = 0x6CDA8;
constexpr uint32_t kRotateVertices = 0x50290;
constexpr uint32_t kSpacingSite = 0x6BBD9;
struct OperandSite {
  uint32_t offset;
  uint8_t operation;
};
constexpr OperandSite kOperandSites[6] = {{0x6C49F, 0x5C}, {0x6C4CE, 0x58}, {0x6C55F, 0x5C},
                                          {0x6C590, 0x58}, {0x6C65F, 0x5C}, {0x6C8A1, 0x58}};
const uint8_t kSpacingBytes[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};

const char* const kStaticNoCall =
    "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped";
const char* const kSpacingMismatch =
    "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped";
const char* const kCentreMismatch = "[WHEEL][ERR] centre-text signature mismatch at name-y";
const char* const kStaticProtectFailed = "[WHEEL][ERR] VirtualProtect failed";
const char* const kSpacingProtectFailed =
    "[WHEEL][ERR] VirtualProtect failed for content-offset patch";
const char* const kCentreProtectFailed = "[WHEEL][ERR] VirtualProtect failed for centre-text patch";
const char* const kHookProtectFailed = "[ERR] VirtualProtect failed while installing hook";

void Put8(uintptr_t at, uint8_t v) { *reinterpret_cast<uint8_t*>(at) = v; }
void Put32(uintptr_t at, uint32_t v) { memcpy(reinterpret_cast<void*>(at), &v, 4); }
uint32_t Get32(uintptr_t at) {
  uint32_t v;
  memcpy(&v, reinterpret_cast<const void*>(at), 4);
  return v;
}
void PutBranch(uintptr_t site, uint8_t opcode, uintptr_t target) {
  Put8(site, opcode);
  Put32(site + 1, RelativeDisplacement(site, target));
}

uintptr_t HookAddress() { return reinterpret_cast<uintptr_t>(&HudFrameHook); }

// A PE image of VHud's size: with no sites (zeros, another build), with
// VHud's original bytes at the static-slot call, the spacing site and the
// six centre-text operands, or with those and one byte off at the call's
// opcode, the spacing site and each centre-text opcode (30 of the 38 bytes
// the build is known by: still the known build, every installer refusing).
enum class Sites { None, Original, OneByteOff };
uintptr_t BuildVhud(Sites sites) {
  uintptr_t base = sim::BuildImage({}, kVhudSize);
  if (sites != Sites::None) {
    PutBranch(base + kRotateCall, 0xE8, base + kRotateVertices);
    memcpy(reinterpret_cast<void*>(base + kSpacingSite), kSpacingBytes, 9);
    for (const OperandSite& s : kOperandSites) {
      const uint8_t head[4] = {0xF3, 0x0F, s.operation, 0x05};
      memcpy(reinterpret_cast<void*>(base + s.offset), head, 4);
      Put32(base + s.offset + 4, 0x00C0FFEE);
    }
  }
  if (sites == Sites::OneByteOff) {
    Put8(base + kRotateCall, 0xE9);
    Put8(base + kSpacingSite + 8, 0xFE);
    for (const OperandSite& s : kOperandSites) Put8(base + s.offset, 0xF2);
  }
  return base;
}

// A module whose first bytes are no PE header: e_lfanew 0 points at a zero
// signature.
uintptr_t BuildNonPeModule() { return sim::MapAnywhere(0x2000, 0x10000); }

// The game's memory, zero-filled; with `jump`, the HUD jump leads into VHud.
void MapGame(uintptr_t vhudBase, bool jump) {
  sim::MapFixed(kGameBase, kGameEnd - kGameBase);
  if (jump) PutBranch(kHudJump, 0xE9, vhudBase + kVhudHudRoutine);
}

std::string BaseLine(uintptr_t base, uint32_t size) {
  return "[OK] VHud.asi base=" + Hex(base) + " size=" + Hex(size);
}

std::vector<std::string> SuccessLines(uintptr_t base) {
  return {
      BaseLine(base, kVhudSize),
      "[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
          Hex(base + kRotateVertices),
      "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
      "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
      "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
      "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
      "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
      "[HOOK] installed; original=" + Hex(base + kVhudHudRoutine) + " hook=" + Hex(HookAddress()),
  };
}

// The lifting VirtualProtect sites of one pass, in installer order.
std::vector<uintptr_t> FirstPhaseSites(uintptr_t base) {
  std::vector<uintptr_t> sites = {base + kRotateCall, base + kSpacingSite};
  for (const OperandSite& s : kOperandSites) sites.push_back(base + s.offset);
  sites.push_back(kHudJump);
  return sites;
}
std::vector<uintptr_t> SecondPhaseSites(uintptr_t base) {
  std::vector<uintptr_t> sites = FirstPhaseSites(base);
  sites.pop_back();
  sites.insert(sites.begin(), kHudJump);
  return sites;
}

std::vector<uint32_t> Sleeps(uint32_t fast, uint32_t slow) {
  std::vector<uint32_t> sleeps(fast, 100);
  sleeps.insert(sleeps.end(), slow, 500);
  return sleeps;
}

class WorkerTest : public core::SimTest {
 protected:
  // Attaches, lets the worker run until it has made `sleeps` Sleep calls
  // (the steering action must set the stop flag on the last), and joins it.
  void RunUntil(uint32_t sleeps) {
    ASSERT_EQ(core::Attach(), 1);
    ASSERT_TRUE(sim::WaitForSleeps(sleeps, 20000));
    sim::StopWorker();
    EXPECT_EQ(sim::Record().sleeps.size(), sleeps);
  }
  static std::vector<std::string> Lines() {
    bool crlf = false;
    std::vector<std::string> lines = sim::LogLines(&crlf);
    EXPECT_TRUE(crlf);
    return lines;
  }
};

// ---- VHud never found ------------------------------------------------------------------

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
  EXPECT_EQ(sim::Record().virtualQuery, 0u);
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
  // each attempt from then on queries the seven guarded sites.
  EXPECT_EQ(linesAt[9], 4u);
  EXPECT_EQ(linesAt[10], 8u);
  EXPECT_EQ(queriesAt[9], 0u);
  EXPECT_EQ(queriesAt[10], 8u + 7u);
  EXPECT_EQ(queriesAt[11], 8u + 14u);
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

TEST_F(WorkerTest, AnotherBuildIsLoggedOnceAndLeftAloneAsWithoutVhud) {
  const uintptr_t vhud = BuildVhud(Sites::None);
  MapGame(vhud, true);
  sim::AddModule("VHud.asi", vhud);
  const std::vector<uint8_t> image(reinterpret_cast<const uint8_t*>(vhud),
                                   reinterpret_cast<const uint8_t*>(vhud) + kVhudSize);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 3) core::RequestStop();
  });
  RunUntil(3);
  // Straight to the idle 500 ms sleeps; no installer ran, nothing written.
  EXPECT_EQ(sim::Record().sleeps, Sleeps(0, 3));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, kVhudSize),
                                          "[ERR] VHud.asi build not recognised; nothing patched"}));
  EXPECT_EQ(gState.vhudBase, 0u);
  EXPECT_EQ(sim::Record().virtualQuery, 8u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
  EXPECT_EQ(RelativeTarget(kHudJump, Get32(kHudJump + 1)), vhud + kVhudHudRoutine);
  EXPECT_TRUE(memcmp(image.data(), reinterpret_cast<const void*>(vhud), kVhudSize) == 0);
}

// ---- VHud without a PE header ----------------------------------------------------------------

TEST_F(WorkerTest, AVhudWithoutPeHeaderIsRecordedWithSizeZeroAndNeverPatched) {
  // The game's memory is not mapped: an installer reaching for the HUD jump
  // would fault.
  const uintptr_t vhud = BuildNonPeModule();
  sim::AddModule("VHud.asi", vhud);
  std::vector<size_t> linesAt(410, 0);
  core::SteerSleep([&](uint32_t n, uint32_t) {
    linesAt[n] = sim::LogLines().size();
    if (n == 402) core::RequestStop();
  });
  RunUntil(402);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 2));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
  EXPECT_EQ(linesAt[1], 5u);  // the first look-up comes before any sleep
  EXPECT_EQ(gState.vhudBase, vhud);
  EXPECT_EQ(gState.vhudSize, 0u);
  EXPECT_EQ(sim::Record().virtualQuery, 0u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

TEST_F(WorkerTest, ASignatureOtherThanExactly4550GivesSizeZero) {
  const uintptr_t vhud = BuildVhud(Sites::Original);
  sim::SetProtect(vhud, sim::kPageSize, sim::kPageReadWrite);
  Put32(vhud + Get32(vhud + 0x3C), 0x01004550);  // "PE" followed by 00 01
  sim::AddModule("VHud.asi", vhud);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 3) core::RequestStop();
  });
  RunUntil(3);
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
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
