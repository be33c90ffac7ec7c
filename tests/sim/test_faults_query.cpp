// Faults of the platform, end to end: VirtualQuery failing.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "faults_run.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"

namespace faults {
namespace {

TEST(Faults, VirtualQueryFailingMakesEveryGuardedRangeUnreadable) {
  FaultRun run;
  sim::Fault().virtualQueryFail = true;
  standin::SetWheelOpen(run.world_.vhudBase, 1);
  standin::SetRadarEnabled(run.world_.vhudBase, 1);
  run.Resnapshot();
  run.Attach();
  // No site of VHud's can be read, so none can show VHud's build: VHud is
  // taken for another build and left alone, the HUD jump too.
  EXPECT_EQ(0u, run.Patched());
  EXPECT_TRUE(run.Untouched());
  run.Frames(3);
  run.Detach();
  // The frames go straight to VHud, radar on; nothing is drawn.
  const standin::VhudRecorder* vhud = standin::VhudRecord();
  ASSERT_EQ(3u, vhud->hudRuns);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, vhud->radarSeen[i]);
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  Lines start = run.StartLines();
  Lines want = {start[0], start[1], start[2],
                start[3], start[4], "[ERR] VHud.asi build not recognised; nothing patched",
                kStop};
  EXPECT_EQ(want, LogLines());
  run.ExpectWorkerEndsAfterRelease();
}

}  // namespace
}  // namespace faults
