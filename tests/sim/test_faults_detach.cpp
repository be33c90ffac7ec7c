// Faults of timing, end to end: detach while the worker searches, patches or
// waits, and while a frame is writing to the log.
#include <gtest/gtest.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "faults_run.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"

namespace faults {
namespace {

TEST(Faults, DetachWhileTheWorkerSearchesInItsFirstPhase) {
  FaultRun run(/*vhud=*/false);
  run.HoldAtSleep(5);
  run.Attach();
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  run.ExpectWorkerEndsAfterRelease();
  // The worker's not-found line met a closed log: no write at all.
  EXPECT_EQ(writes, sim::Record().writeFile);
  EXPECT_EQ((Lines{kBoot[0], kBoot[1], kBoot[2], kWorkerStarted, kStop}), LogLines());
  EXPECT_TRUE(run.Untouched());
  EXPECT_EQ((std::vector<uint32_t>(5, 100)), sim::Record().sleeps);
}

// The worker is held inside its second lift (the spacing site) while detach
// runs: it finishes its pass, patching the rest without a line, and ends
// between the phases without sleeping again.
struct LiftHold {
  std::mutex mutex;
  std::condition_variable cv;
  uint32_t lifts = 0;
  bool reached = false, released = false;
};
LiftHold* gLiftHold = nullptr;
int32_t QI_STDCALL HoldingProtect(void* address, uint32_t size, uint32_t newProtect,
                                  uint32_t* oldProtect) {
  if (newProtect == sim::kPageExecuteReadWrite) {
    std::unique_lock<std::mutex> lock(gLiftHold->mutex);
    if (++gLiftHold->lifts == 2) {
      gLiftHold->reached = true;
      gLiftHold->cv.notify_all();
      gLiftHold->cv.wait(lock, [] { return gLiftHold->released; });
    }
  }
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                            newProtect, oldProtect);
}

TEST(Faults, DetachWhileTheWorkerPatchesInItsFirstPhase) {
  FaultRun run;
  LiftHold hold;
  gLiftHold = &hold;
  run.Replace("VirtualProtect", reinterpret_cast<uintptr_t>(&HoldingProtect));
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  {
    std::unique_lock<std::mutex> lock(hold.mutex);
    ASSERT_TRUE(hold.cv.wait_for(lock, std::chrono::seconds(10), [&] { return hold.reached; }));
  }
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  {
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.released = true;
    hold.cv.notify_all();
  }
  sim::StopWorker();
  EXPECT_EQ(0u, sim::Record().sleep) << "the worker slept after the stop flag was set";
  gLiftHold = nullptr;
  // Patches are never undone, and the pass that was under way completed
  // them; its lines met a closed log.
  EXPECT_EQ(kAllSites, run.Patched());
  run.ExpectOnlySitesChanged();
  EXPECT_EQ(writes, sim::Record().writeFile);
  Lines start = run.StartLines();
  EXPECT_EQ((Lines{start[0], start[1], start[2], start[3], start[4], start[5], kStop}), LogLines());
  // The game goes on through the hook after detach, silently.
  run.Frames(2);
  EXPECT_EQ(4u, standin::GameRecord()->drawCalls);
  EXPECT_EQ(writes, sim::Record().writeFile);
}

TEST(Faults, DetachWhileTheWorkerWaitsInItsSecondPhase) {
  FaultRun run;
  run.Attach();
  run.Frames(1);
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  run.ExpectWorkerEndsAfterRelease();
  EXPECT_EQ(kAllSites, run.Patched());
  // Frames after detach still go through the hook; a state change is not
  // written anywhere.
  standin::SetMenuActive(1);
  run.Frames(2);
  EXPECT_EQ(writes, sim::Record().writeFile);
  EXPECT_EQ(1, gState.lastLoggedState);
  EXPECT_EQ(Join({run.StartLines(), run.FrameLines(), {kStop}}), LogLines());
}

// A frame's WriteFile held, before or after its bytes reach the file,
// while detach runs on the loader's thread.
struct WriteHold {
  std::mutex mutex;
  std::condition_variable cv;
  std::string text;  // the text whose write is held
  bool afterWrite = false;
  bool reached = false, released = false;
};
WriteHold* gWriteHold = nullptr;
int32_t QI_STDCALL HoldingWriteFile(Handle file, const void* data, uint32_t count,
                                    uint32_t* written, void* overlapped) {
  auto write = reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"));
  WriteHold* h = gWriteHold;
  bool mine = h != nullptr && std::string(static_cast<const char*>(data), count) == h->text;
  int32_t result = 0;
  if (mine && h->afterWrite) result = write(file, data, count, written, overlapped);
  if (mine) {
    std::unique_lock<std::mutex> lock(h->mutex);
    h->reached = true;
    h->cv.notify_all();
    h->cv.wait(lock, [h] { return h->released; });
  }
  if (!(mine && h->afterWrite)) result = write(file, data, count, written, overlapped);
  return result;
}

TEST(Faults, DetachWhileAFrameIsLogging) {
  for (bool afterWrite : {true, false}) {
    SCOPED_TRACE(afterWrite ? "held after the line's bytes were written"
                            : "held before the line's bytes were written");
    FaultRun run;
    WriteHold hold;
    hold.text = std::string(kMenu) + "\r\n";
    hold.afterWrite = afterWrite;
    gWriteHold = &hold;
    run.Replace("WriteFile", reinterpret_cast<uintptr_t>(&HoldingWriteFile));
    run.Attach();
    run.Frames(1);
    standin::SetMenuActive(1);
    std::thread frame([&] { standin::RunHudFrame(); });
    {
      std::unique_lock<std::mutex> lock(hold.mutex);
      ASSERT_TRUE(hold.cv.wait_for(lock, std::chrono::seconds(10), [&] { return hold.reached; }));
    }
    run.Detach();
    {
      std::lock_guard<std::mutex> lock(hold.mutex);
      hold.released = true;
      hold.cv.notify_all();
    }
    frame.join();
    gWriteHold = nullptr;
    std::string before;
    for (const std::string& line : Join({run.StartLines(), run.FrameLines()})) {
      before += line + "\r\n";
    }
    // Written first, the state line stands whole before the stop line. Held
    // before its write, the line goes to the closed handle and is lost.
    std::string want = before + (afterWrite ? std::string(kMenu) + "\r\n" : "") + kStop + "\r\n";
    EXPECT_EQ(want, sim::ReadLog());
    EXPECT_EQ(1, gState.lastLoggedState);
    run.ExpectWorkerEndsAfterRelease();
  }
}

}  // namespace
}  // namespace faults
