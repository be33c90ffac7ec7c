// The concurrency stress run's shared state: the patched sites and what each
// holds, the counters of the worker, the third party and the render thread,
// and the violations they report. The parts that share it:
//   stress_sites.cpp        the sites' states and the violations
//   stress_protect.cpp      the plug-in's VirtualProtect, seen and serialised
//   stress_third_party.cpp  the party that puts VHud's bytes back
//   stress_expected.cpp     what a frame must produce
//   stress_frames.cpp       the render thread and its checks of each frame
//   stress_log.cpp          reading the log back
//   test_stress.cpp         the run and its verdicts
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "state/plugin_state.h"

namespace stress {

// ---- Sites --------------------------------------------------------------------------
enum SiteId : uint32_t {
  kStatic = 0,
  kSpacing = 1,
  kCentre0 = 2,  // six centre-text sites, 2..7
  kHook = 8,
  kSiteCount = 9
};
inline const char* const kSiteNames[kSiteCount] = {"static-slot", "spacing", "name-y",
                                                   "name-x",      "count-y", "count-x",
                                                   "arrow-y",     "extra-x", "hud-jump"};

struct Site {
  uintptr_t at = 0;
  uint32_t length = 0;
  std::vector<uint8_t> original;
  std::vector<uint8_t> patched;
};

// What a site holds right now.
enum class SiteState : uint8_t { Original, Patched, Alternative, Other };

// ---- Shared between the threads ---------------------------------------------------------
struct Shared {
  uintptr_t base = 0;
  Site sites[kSiteCount];
  uintptr_t hudRoutine = 0;
  uintptr_t altRoutine = 0;

  // The third party: a generation counter, odd while it writes any site;
  // per site, odd while it writes that site, and the worker's sleep count
  // read when its last write there was complete.
  std::atomic<uint32_t> generation{0};
  std::atomic<uint32_t> siteSeq[kSiteCount] = {};
  std::atomic<uint32_t> restoredAt[kSiteCount] = {};
  std::atomic<uint32_t> repointTarget{0};  // the HUD jump target it set last
  std::atomic<uint32_t> restores[kSiteCount] = {};
  std::atomic<bool> stopThirdParty{false};

  // The worker, seen through its sleeps and its VirtualProtect calls.
  std::atomic<uint32_t> sleeps{0};
  std::atomic<bool> secondPhase{false};
  std::atomic<bool> checking{false};
  std::atomic<uint32_t> lifts[kSiteCount] = {};
  std::atomic<uint32_t> declined[kSiteCount] = {};
  std::atomic<uint32_t> otherLifts{0};
  std::atomic<uint32_t> latePatches{0};
  std::atomic<uint32_t> lostRepoints{0};
  std::atomic<uint32_t> deadlinesMet{0};

  // The render thread.
  std::atomic<bool> stopRender{false};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> settledFrames{0};
  std::atomic<uint64_t> hookFrames{0};
  std::atomic<uint64_t> directFrames{0};
  std::atomic<uint64_t> wheelFrames{0};
  std::atomic<uint64_t> altFrames{0};
  // Slot layouts of the slots that have an offset, by outcome.
  std::atomic<uint64_t> layoutsOriginal{0};
  std::atomic<uint64_t> layoutsMoved{0};

  // One protect-write-restore step at a time on the protected pages.
  std::mutex protectWindow;

  std::mutex violationMutex;
  std::vector<std::string> violations;
  uint32_t violationCount = 0;
};
extern Shared* g;

void Violation(const std::string& what);
SiteState StateOf(uint32_t id);

// ---- The worker, seen through its VirtualProtect and its sleeps (stress_protect.cpp) ----
VirtualProtectFn StandInProtect();
int32_t QI_STDCALL WorkerProtect(void* address, uint32_t size, uint32_t newProtect,
                                 uint32_t* oldProtect);
void OnWorkerSleep(uint32_t count, uint32_t milliseconds);

// ---- The third party (stress_third_party.cpp) -----------------------------------------
void ThirdParty(uint32_t seed);

// ---- The render thread (stress_frames.cpp) ----------------------------------------------
// The players the render thread chooses among.
struct Players {
  uintptr_t alive[2];
  uintptr_t dead;
};
extern Players gPlayers;

void Render(uint32_t seed, uint32_t healthTexture, uint32_t armourTexture);

// An entry inside VHud's image leading to VHud's HUD routine: a second
// target, inside VHud, for the third party to point the HUD jump at.
extern std::atomic<uint64_t> gAltRuns;
extern uintptr_t gHudRoutineForAlt;
extern "C" __attribute__((cdecl)) void StressAltHudRoutine();

}  // namespace stress
