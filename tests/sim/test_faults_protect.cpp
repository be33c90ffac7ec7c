// Faults of the platform, end to end: VirtualProtect refusing to lift a
// site's protection, or to put it back.
#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "faults_run.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"

namespace faults {
namespace {

// The first pass lifts the nine sites in this order: the static-slot call,
// the spacing site, the six centre-text operands, the HUD jump. A lift
// refused, or granted and then undone by another party before the store
// (which then faults), is the same refusal to the installer: the protection
// put back (an access violation), a guard armed on the page (a guard page
// violation, the guard used up by it) or the page's contents failing to come
// in (an in-page error).
TEST(Faults, VirtualProtectRefusingOrUndoneAtEachLiftOfTheFirstPass) {
  using Undo = sim::Faults::Undo;
  const char* const how[4] = {"refused", "undone", "guarded", "not paged in"};
  const Undo undo[4] = {Undo::Restore, Undo::Restore, Undo::Guard, Undo::PageIn};
  for (int n = 0; n < 36; ++n) {
    const int lift = n % 9 + 1;
    SCOPED_TRACE("lift " + std::to_string(lift) + " " + how[n / 9]);
    FaultRun run;
    (n < 9 ? sim::Fault().virtualProtectFailAt : sim::Fault().virtualProtectUndoneAt) = lift;
    sim::Fault().undoneBy = undo[n / 9];
    run.Attach();
    // Whatever was refused is in place by the first pass of the second
    // phase, without a second report.
    EXPECT_EQ(kAllSites, run.Patched());
    run.ExpectOnlySitesChanged();
    run.Frames(3);
    run.Detach();
    Lines start = run.StartLines();
    if (lift == 1) {
      start[5] = kStaticRefused;
    } else if (lift == 2) {
      start.erase(start.begin() + 6, start.begin() + 8);
      start.insert(start.begin() + 6, kSpacingRefused);
    } else if (lift <= 8) {
      // One centre-text site refused: its report, and never the success.
      start.erase(start.begin() + 8, start.begin() + 10);
      start.insert(start.begin() + 8, kCentreRefused);
    } else {
      // The hook refused in the first attempt, placed in the second.
      start.insert(start.begin() + 10, kHookRefused);
      EXPECT_EQ((std::vector<uint32_t>{100, 500}), sim::Record().sleeps);
    }
    EXPECT_EQ(Join({start, run.FrameLines(), {kStop}}), LogLines());
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    run.ExpectWorkerEndsAfterRelease();
  }
}

TEST(Faults, VirtualProtectRefusingEveryLift) {
  FaultRun run;
  sim::Fault().virtualProtectFailAll = true;
  run.Attach();
  EXPECT_EQ(0u, run.Patched());
  EXPECT_TRUE(run.Untouched());
  run.Frames(3);
  run.Detach();
  // The wheel installers report once each; the hook's refusal is written
  // at every one of the 400 attempts and at the first pass of the second
  // phase. Frames go straight to VHud.
  Lines want = {
      kBoot[0],
      kBoot[1],
      kBoot[2],
      kWorkerStarted,
      "[OK] VHud.asi base=" + Hex(static_cast<uint32_t>(run.world_.vhudBase)) + " size=0x0104A000",
      kStaticRefused,
      kSpacingRefused,
      kCentreRefused};
  for (int i = 0; i < 401; ++i) want.push_back(kHookRefused);
  want.push_back(kStop);
  EXPECT_EQ(want, LogLines());
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
  // The saved target was stored before every refused write.
  EXPECT_EQ(standin::HudRoutineAddress(run.world_.vhudBase), gState.savedHudTarget);
  run.ExpectWorkerEndsAfterRelease();
}

// The restoring call refused: the patches are in place, the pages stay
// writable, nothing is reported.
std::atomic<uint32_t> gRestoresRefused{0};
int32_t QI_STDCALL RefuseRestoring(void* address, uint32_t size, uint32_t newProtect,
                                   uint32_t* oldProtect) {
  if (newProtect != sim::kPageExecuteReadWrite) {
    ++gRestoresRefused;
    return 0;
  }
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                            newProtect, oldProtect);
}

TEST(Faults, VirtualProtectRefusingToPutProtectionBack) {
  FaultRun run;
  gRestoresRefused = 0;
  run.Replace("VirtualProtect", reinterpret_cast<uintptr_t>(&RefuseRestoring));
  run.Attach();
  EXPECT_EQ(kAllSites, run.Patched());
  // Three restores refused: the static-slot call's page, the spacing site's
  // page and the game's page then stay writable, so the later lifts on them
  // find PAGE_EXECUTE_READWRITE and "restore" that.
  EXPECT_EQ(3u, gRestoresRefused.load());
  EXPECT_EQ(sim::kPageExecuteReadWrite, sim::ProtectOf(standin::kGameHudJump));
  EXPECT_EQ(sim::kPageExecuteReadWrite, sim::ProtectOf(run.world_.vhudBase + 0x6BBD9));
  run.Frames(3);
  run.Detach();
  EXPECT_EQ(Join({run.StartLines(), run.FrameLines(), {kStop}}), LogLines());
  run.ExpectWorkerEndsAfterRelease();
}

}  // namespace
}  // namespace faults
