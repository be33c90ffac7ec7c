// Concurrency stress: the game's render thread runs HUD frames through the
// real jump as fast as it can while the worker keeps its (time-compressed)
// schedule and a third party keeps putting VHud's original bytes back at
// every patched site and re-pointing the HUD jump.
//
// The third party behaves as a careful plug-in of the same game would: it
// lifts the page protection through VirtualProtect, writes each site so that
// a thread executing it never meets half an instruction (one locked store
// for the 4-byte displacements and operands; for the spacing site, whose
// first instruction never changes, one locked 8-byte store over +3..+10, or
// the filler's byte first and then one locked 8-byte store over +0..+7), and
// puts the protection back. Its
// protect-write-restore steps do not overlap the worker's on the same pages:
// two parties that each restore "the old protection" while the other is
// between its lift and its write would make one of them write to a page the
// other just made execute-read, whoever's code that is (see the report).
//
// VHud lies at one of the placements of kSpacingPlacements, where a jump
// written at the spacing site's first byte would leave a thread that had run
// VHud's first instruction in front of bytes that crash or corrupt.
//
// Checks: no crash; every frame did what it must for the patch state it ran
// under (exactly when no site changed during the frame, one of the two
// possible outcomes otherwise; every slot layout VHud's or moved, with the
// whole layout state kept); the radar byte is never left at 0; every
// restored site is patched again within one worker pass; the log holds only
// whole texts, each followed by its own CR LF, with texts of two threads
// meeting only at the seam before a CR LF.
//
// Length: QI_STRESS_SECONDS per placement (default 2), longer where a slow
// machine needs it to reach the counts the verdicts rely on: every wait is
// for an event (a count reached, a worker sleep), never against a clock; a
// run that hangs is ended by CTest's time limit. Seed: printed first; from
// the clock unless QI_STRESS_SEED gives one (the printed one to repeat a
// run's choices).
//
// The run's parts are described in stress_shared.h.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "entry/entry.h"
#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "stress_expected.h"
#include "stress_log.h"
#include "stress_shared.h"
#include "test_code_bytes.h"
#include "wheel/wheel.h"

namespace stress {
namespace {

using Clock = std::chrono::steady_clock;
using codebytes::BytesAt;
using codebytes::Rel;

// 500 ms of the worker's schedule take 2 ms.
constexpr double kTimeFactor = 0.004;
// The least a run covers, however slow the machine.
constexpr uint64_t kMinFrames = 1000;
constexpr uint32_t kMinRestores = 50;
constexpr uint32_t kAltEntry = 0x2000;  // a second HUD entry inside VHud

double EnvNumber(const char* name, double fallback) {
  const char* v = getenv(name);
  return (v != nullptr && *v != '\0') ? atof(v) : fallback;
}

// ---- The run ------------------------------------------------------------------------------------
class Stress : public ::testing::TestWithParam<standin::SpacingPlacement> {};

TEST_P(Stress, FramesWorkerAndARestoringPartyTogether) {
  const double seconds = EnvNumber("QI_STRESS_SECONDS", 2.0);
  const uint32_t seed = static_cast<uint32_t>(
      EnvNumber("QI_STRESS_SEED", static_cast<double>(static_cast<uint32_t>(time(nullptr)))));
  const standin::SpacingPlacement& placement = GetParam();
  const uintptr_t vhudAt = standin::VhudBaseFor(placement);
  printf(
      "stress: %.1f s, seed %u (QI_STRESS_SECONDS, QI_STRESS_SEED), VHud at 0x%08X (%s: %02X "
      "%02X)\n",
      seconds, seed, static_cast<unsigned>(vhudAt), placement.name, placement.atPlus3,
      placement.atPlus4);
  // Shown even when the run is ended from outside: the seed gives it back.
  fflush(stdout);

  sim::Reset();
  // Fresh for each placement run in this process, and never freed, so that
  // it outlives every thread of the run.
  g = new Shared();
  gAltRuns = 0;
  standin::World world = standin::BuildWorld(true, vhudAt);
  g->base = world.vhudBase;
  g->hudRoutine = standin::HudRoutineAddress(world.vhudBase);
  g->altRoutine = world.vhudBase + kAltEntry;
  gHudRoutineForAlt = g->hudRoutine;
  {
    std::vector<uint8_t> jump =
        Rel(0xE9, g->altRoutine, reinterpret_cast<uintptr_t>(&StressAltHudRoutine));
    uintptr_t page = g->altRoutine & ~uintptr_t{0xFFF};
    sim::SetProtect(page, 0x1000, sim::kPageReadWrite);
    memcpy(reinterpret_cast<void*>(g->altRoutine), jump.data(), 5);
    sim::SetProtect(page, 0x1000, sim::kPageExecuteRead);
  }
  ComputeExpected();

  // Sites: VHud's own bytes now, the plug-in's bytes once patched.
  const float* centreTargets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                                   &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
  auto site = [&](uint32_t id, uintptr_t at, uint32_t length, std::vector<uint8_t> patched) {
    g->sites[id].at = at;
    g->sites[id].length = length;
    g->sites[id].original = BytesAt(at, length);
    g->sites[id].patched = std::move(patched);
  };
  uintptr_t b = world.vhudBase;
  site(kStatic, b + 0x6CDA8, 5,
       Rel(0xE8, b + 0x6CDA8, reinterpret_cast<uintptr_t>(&StaticSlotRotate)));
  {
    std::vector<uint8_t> p = {0x8B, 0x7A, 0x44};  // VHud's first instruction stays
    std::vector<uint8_t> jump = Rel(0xE9, b + 0x6BBDC, reinterpret_cast<uintptr_t>(&SpacingCave));
    p.insert(p.end(), jump.begin(), jump.end());
    p.push_back(0x90);
    site(kSpacing, b + 0x6BBD9, 9, p);
  }
  for (uint32_t i = 0; i < 6; ++i) {
    uintptr_t at = b + standin::kCentreTextSiteOffsets[i];
    std::vector<uint8_t> p = BytesAt(at, 4);
    uint32_t target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(centreTargets[i]));
    for (int j = 0; j < 4; ++j) p.push_back(static_cast<uint8_t>(target >> (8 * j)));
    site(kCentre0 + i, at, 8, p);
  }
  site(kHook, standin::kGameHudJump, 5,
       Rel(0xE9, standin::kGameHudJump, reinterpret_cast<uintptr_t>(&HudFrameHook)));
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    ASSERT_NE(g->sites[id].original, g->sites[id].patched) << kSiteNames[id];
  }

  // The world the frames see.
  uint32_t health = static_cast<uint32_t>(standin::MakeTexture(64, 64));
  uint32_t armour = static_cast<uint32_t>(standin::MakeTexture(64, 64));
  standin::SetLoadResults(health, armour);
  gPlayers.alive[0] = standin::MakePlayer(100.0f);
  gPlayers.alive[1] = standin::MakePlayer(55.5f);
  gPlayers.dead = standin::MakePlayer(0.0f);

  // The plug-in's VirtualProtect goes through the serialising wrapper.
  std::vector<sim::Export> exports = sim::DefaultKernel32Exports();
  for (sim::Export& e : exports) {
    if (e.name == "VirtualProtect") e.address = reinterpret_cast<uintptr_t>(&WorkerProtect);
  }
  sim::RebuildKernel32(exports);
  sim::SetTimeFactor(kTimeFactor);
  sim::SetSleepHook(&OnWorkerSleep);

  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  // The first phase places everything at once: the worker's first sleep is
  // already one of the second phase. (A worker that never sleeps is a hang,
  // which CTest's time limit ends.)
  while (g->sleeps.load() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(g->secondPhase.load()) << "the worker's first sleep was not of its second phase";
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    ASSERT_EQ(SiteState::Patched, StateOf(id)) << kSiteNames[id];
  }
  uint32_t initialLifts[kSiteCount];
  for (uint32_t id = 0; id < kSiteCount; ++id) initialLifts[id] = g->lifts[id].load();

  g->checking.store(true);
  std::thread render(Render, seed, health, armour);
  std::thread third(ThirdParty, seed ^ 0x9E3779B9u);
  // The run lasts its seconds, and on a slower machine as long as it takes
  // to cover what the verdicts below count.
  auto covered = [] {
    uint32_t restores = 0;
    for (uint32_t id = 0; id < kSiteCount; ++id) restores += g->restores[id].load();
    // The once-only lines need a hooked frame with the wheel open (and one
    // with it shut) while drawing is allowed: few on a slow machine.
    auto said = [](const uint8_t& flag) { return __atomic_load_n(&flag, __ATOMIC_ACQUIRE) != 0; };
    return g->frames.load() > kMinFrames && restores > kMinRestores && g->deadlinesMet.load() > 0 &&
           g->hookFrames.load() > 0 && g->directFrames.load() > 0 && gAltRuns.load() > 0 &&
           said(gState.radarReported) && said(gState.iconsHiddenReported) &&
           said(gState.firstDrawReported);
  };
  const Clock::time_point started = Clock::now();
  const Clock::time_point end =
      started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end || !covered()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  g->stopThirdParty.store(true);
  third.join();

  // Everything is back within one pass of the last restore, while frames go on.
  uint32_t last = g->sleeps.load();
  while (g->sleeps.load() < last + 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  g->stopRender.store(true);
  render.join();
  g->checking.store(false);
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    EXPECT_EQ(SiteState::Patched, StateOf(id)) << kSiteNames[id] << " not patched at the end";
  }
  // The saved target is one of VHud's two entries (the last one set, unless
  // a re-hook that had read the earlier one overwrote it: counted below).
  EXPECT_TRUE(gState.savedHudTarget == g->hudRoutine || gState.savedHudTarget == g->altRoutine)
      << std::hex << gState.savedHudTarget;

  ASSERT_EQ(1, DllMain(nullptr, kDllProcessDetach, nullptr));
  sim::StopWorker();

  // ---- Verdicts ----
  {
    std::lock_guard<std::mutex> lock(g->violationMutex);
    EXPECT_EQ(0u, g->violationCount);
    for (const std::string& v : g->violations) ADD_FAILURE() << v;
  }
  EXPECT_EQ(0u, g->latePatches.load());
  EXPECT_EQ(0u, g->otherLifts.load()) << "the worker lifted protection outside its nine sites";
  EXPECT_EQ(0u, standin::GameRecord()->framesUnbalanced);

  uint32_t restoresTotal = 0;
  uint32_t reapplied = 0;
  uint32_t declined = 0;
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    restoresTotal += g->restores[id].load();
    reapplied += g->lifts[id].load() - initialLifts[id] - g->declined[id].load();
    declined += g->declined[id].load();
  }
  uint64_t frames = g->frames.load();
  EXPECT_GT(frames, kMinFrames);
  EXPECT_GT(restoresTotal, kMinRestores);
  EXPECT_GT(g->hookFrames.load(), 0u);
  EXPECT_GT(g->directFrames.load(), 0u) << "no frame ran while the HUD jump was restored";
  EXPECT_GT(g->deadlinesMet.load(), 0u);
  EXPECT_GT(g->layoutsMoved.load(), 0u);
  EXPECT_GT(gAltRuns.load(), 0u);

  std::string log = sim::ReadLog();
  LogReport r = ReadLogTexts(log);
  EXPECT_TRUE(r.whole) << "log broken at byte " << r.badAt << ": " << log.substr(r.badAt, 80);
  EXPECT_EQ(0u, r.pendingAtEnd) << "a text without its CR LF";
  // Texts of the loader's, the worker's and the render thread's at most.
  EXPECT_LE(r.maxPending, 3u);
  // One report each; the hook's line for every time the hook was written.
  EXPECT_EQ(1u, r.counts[IndexOf("[RADAR][OK]")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[ICONS][OK]")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[DRAW] first")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[WHEEL][OK] static")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[WHEEL][OK] horizontal")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[WHEEL][OK] centre")]);
  EXPECT_EQ(1u, r.counts[IndexOf("[STOP]")]);
  EXPECT_EQ(g->lifts[kHook].load(),
            r.counts[IndexOf("[HOOK] installed")] + g->declined[kHook].load());

  printf(
      "stress: %llu frames (%llu settled, %llu through the hook, %llu straight to VHud, %llu with "
      "the wheel open, %llu through the other VHud entry)\n",
      static_cast<unsigned long long>(frames),
      static_cast<unsigned long long>(g->settledFrames.load()),
      static_cast<unsigned long long>(g->hookFrames.load()),
      static_cast<unsigned long long>(g->directFrames.load()),
      static_cast<unsigned long long>(g->wheelFrames.load()),
      static_cast<unsigned long long>(gAltRuns.load()));
  printf(
      "stress: %u restores by the third party, %u patches re-applied by the worker, %u stores "
      "declined because the site changed after it was read, %u worker passes\n",
      restoresTotal, reapplied, declined, g->sleeps.load());
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    printf("stress:   %-11s restored %6u  re-applied %6u  declined %4u\n", kSiteNames[id],
           g->restores[id].load(), g->lifts[id].load() - initialLifts[id] - g->declined[id].load(),
           g->declined[id].load());
  }
  printf(
      "stress: %u restores checked at their one-pass deadline, %u late; %u re-points of the "
      "HUD jump overwritten by a re-hook that had read the earlier target\n",
      g->deadlinesMet.load(), g->latePatches.load(), g->lostRepoints.load());
  printf("stress: slot layouts of the moving slots: %llu original, %llu moved\n",
         static_cast<unsigned long long>(g->layoutsOriginal.load()),
         static_cast<unsigned long long>(g->layoutsMoved.load()));
  printf("stress: log %zu bytes, %u texts, %u texts written while another awaited its CR LF\n",
         log.size(), r.texts, r.interleaved);
  RecordProperty("frames", std::to_string(frames));
  RecordProperty("restores", std::to_string(restoresTotal));
  RecordProperty("reapplied", std::to_string(reapplied));
  RecordProperty("layouts_original", std::to_string(g->layoutsOriginal.load()));
  RecordProperty("layouts_moved", std::to_string(g->layoutsMoved.load()));
}

INSTANTIATE_TEST_SUITE_P(Placed, Stress, ::testing::ValuesIn(standin::kSpacingPlacements),
                         [](const ::testing::TestParamInfo<standin::SpacingPlacement>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace stress
