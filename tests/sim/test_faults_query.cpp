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
  // The static-slot call and the centre-text operands are read only after
  // the query: left alone, silently. The spacing site and the hook need no
  // query.
  EXPECT_EQ(0x102u, run.Patched());
  run.ExpectOnlySitesChanged();
  run.Frames(3);
  run.Detach();
  // The radar is not suppressed (its bytes count as unreadable), the
  // player's record counts as unreadable: state 6, nothing drawn.
  const standin::VhudRecorder* vhud = standin::VhudRecord();
  ASSERT_EQ(3u, vhud->hudRuns);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, vhud->radarSeen[i]);
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  Lines start = run.StartLines();
  Lines want = {start[0],
                start[1],
                start[2],
                start[3],
                start[4],
                kSpacingOk[0],
                kSpacingOk[1],
                run.HookLine(),
                "[INFO] player pointer changed -> " + Hex(static_cast<uint32_t>(run.player_)),
                kNoPlayer,
                kStop};
  EXPECT_EQ(want, LogLines());
  run.ExpectWorkerEndsAfterRelease();
}

}  // namespace
}  // namespace faults
