// Faults of the platform, end to end: each kernel32 entry the plug-in looks
// up missing, alone, and the optional ones together.
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

TEST(Faults, EachKernel32EntryMissingAloneAndTheOptionalOnesTogether) {
  const std::vector<std::vector<std::string>> cases = {
      {"CreateThread"},
      {"Sleep"},
      {"VirtualProtect"},
      {"VirtualQuery"},
      {"CreateFileA"},
      {"WriteFile"},
      {"FlushFileBuffers"},
      {"CloseHandle"},
      {"GetModuleHandleExW"},
      {"FlushInstructionCache"},
      {"VirtualQuery", "CreateFileA", "WriteFile", "FlushFileBuffers", "CloseHandle",
       "GetModuleHandleExW", "FlushInstructionCache"}};
  for (const std::vector<std::string>& missing : cases) {
    std::string name = missing.size() == 1 ? missing[0] : "all optional entries";
    SCOPED_TRACE("without " + name);
    FaultRun run;
    run.Remove(missing);
    bool inert =
        missing[0] == "CreateThread" || missing[0] == "Sleep" || missing[0] == "VirtualProtect";
    run.Attach(!inert);
    run.Frames(3);
    run.Detach();
    const standin::GameRecorder* game = standin::GameRecord();
    EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
    if (inert) {
      // Nothing at all: no log, no thread, nothing patched; frames go
      // straight to VHud.
      EXPECT_FALSE(LogExists());
      EXPECT_EQ(0u, sim::ThreadsStarted());
      EXPECT_TRUE(run.Untouched());
      EXPECT_EQ(0u, game->drawCalls);
      EXPECT_EQ(1, gState.stopRequested);
      continue;
    }
    EXPECT_EQ(kAllSites, run.Patched());
    run.ExpectOnlySitesChanged();
    EXPECT_EQ(6u, game->drawCalls) << "both icons on each of three frames";
    Lines full = Join({run.StartLines(), run.FrameLines(), {kStop}});
    if (name == "CreateFileA" || missing.size() > 1) {
      EXPECT_FALSE(LogExists());
      EXPECT_EQ(0u, sim::Record().writeFile);
    } else if (name == "WriteFile") {
      EXPECT_TRUE(LogExists());
      EXPECT_EQ("", sim::ReadLog());
      EXPECT_EQ(0u, sim::Record().flushFileBuffers);
    } else {
      EXPECT_EQ(full, LogLines());
    }
    if (name == "VirtualQuery" || missing.size() > 1) {
      EXPECT_EQ(0u, sim::Record().virtualQuery);
    }
    // Without the pin or the cache flush, nothing calls them; all else is as
    // with them.
    if (name == "GetModuleHandleExW" || missing.size() > 1) {
      EXPECT_TRUE(sim::Record().moduleHandles.empty());
    }
    if (name == "FlushInstructionCache" || missing.size() > 1) {
      EXPECT_TRUE(sim::Record().codeFlushes.empty());
    }
    if (name == "FlushFileBuffers") {
      EXPECT_EQ(0u, sim::Record().flushFileBuffers);
    }
    if (name == "CloseHandle") {
      EXPECT_EQ(0u, sim::Record().closeHandle);
      EXPECT_NE(QI_INVALID_HANDLE, gState.logFile) << "without CloseHandle the log stays open";
    } else if (missing.size() == 1) {
      EXPECT_EQ(QI_INVALID_HANDLE, gState.logFile);
    }
    run.ExpectWorkerEndsAfterRelease();
  }
}

}  // namespace
}  // namespace faults
