// Faults of the platform, end to end: the log's file failing (CreateFileA
// failing, WriteFile failing or writing short), and CreateThread returning
// null.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "faults_run.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"

namespace faults {
namespace {

TEST(Faults, WriteFileFailingOrWritingShort) {
  Lines normal;
  {
    FaultRun run;
    run.Attach();
    run.Frames(3);
    run.Detach();
    normal = Join({run.StartLines(), run.FrameLines(), {kStop}});
    EXPECT_EQ(normal, LogLines());
    run.ExpectWorkerEndsAfterRelease();
  }
  for (int shortBy : {-1, 1, 3}) {
    SCOPED_TRACE(shortBy < 0 ? std::string("WriteFile failing")
                             : "WriteFile short by " + std::to_string(shortBy));
    FaultRun run;
    if (shortBy < 0) {
      sim::Fault().writeFileFail = true;
    } else {
      sim::Fault().writeFileShortBy = shortBy;
    }
    run.Attach();
    EXPECT_EQ(kAllSites, run.Patched());
    run.Frames(3);
    run.Detach();
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    // Each line (its text and line end, one write) lost its last bytes;
    // nothing was retried and nothing else changed.
    std::string want;
    for (const std::string& line : normal) {
      if (shortBy < 0) break;
      // The hex values of this run's lines are the same as the normal run's
      // (same addresses in the same process).
      std::string whole = line + "\r\n";
      want += whole.substr(0, whole.size() - std::min<size_t>(whole.size(), shortBy));
    }
    EXPECT_EQ(want, sim::ReadLog());
    EXPECT_EQ(normal.size(), sim::Record().writeFile);
    run.ExpectWorkerEndsAfterRelease();
  }
}

TEST(Faults, CreateFileAFailingAndCreateThreadReturningNull) {
  {
    SCOPED_TRACE("CreateFileA failing");
    FaultRun run;
    sim::Fault().createFileFail = true;
    run.Attach();
    EXPECT_EQ(kAllSites, run.Patched());
    run.Frames(3);
    run.Detach();
    EXPECT_FALSE(LogExists());
    EXPECT_EQ(1u, sim::Record().createFileA);
    EXPECT_EQ(0u, sim::Record().writeFile);
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    // The thread handle only.
    EXPECT_EQ(1u, sim::Record().closeHandle);
    run.ExpectWorkerEndsAfterRelease();
  }
  {
    SCOPED_TRACE("CreateThread returning null");
    FaultRun run;
    sim::Fault().createThreadFail = true;
    run.Attach(false);
    run.Frames(3);
    run.Detach();
    EXPECT_EQ(0u, sim::ThreadsStarted());
    EXPECT_TRUE(run.Untouched());
    EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
    EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
    EXPECT_EQ((Lines{kBoot[0], kBoot[1], kBoot[2], kStop}), LogLines());
    // The log, not the null thread handle.
    EXPECT_EQ(1u, sim::Record().closeHandle);
  }
}

}  // namespace
}  // namespace faults
