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
// machine needs it to reach the counts the verdicts rely on; seed:
// QI_STRESS_SEED.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
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
#include "test_values.h"
#include "wheel/wheel.h"

namespace stress {
namespace {

using Clock = std::chrono::steady_clock;

// 500 ms of the worker's schedule take 2 ms.
constexpr double kTimeFactor = 0.004;
// The least a run covers, however slow the machine.
constexpr uint64_t kMinFrames = 1000;
constexpr uint32_t kMinRestores = 50;
constexpr uint32_t kAltEntry = 0x2000;  // a second HUD entry inside VHud

using testvalues::Bits;

double EnvNumber(const char* name, double fallback) {
  const char* v = getenv(name);
  return (v != nullptr && *v != '\0') ? atof(v) : fallback;
}

// ---- Sites --------------------------------------------------------------------------
enum SiteId : uint32_t {
  kStatic = 0,
  kSpacing = 1,
  kCentre0 = 2,  // six centre-text sites, 2..7
  kHook = 8,
  kSiteCount = 9
};
const char* const kSiteNames[kSiteCount] = {"static-slot", "spacing", "name-y",
                                            "name-x",      "count-y", "count-x",
                                            "arrow-y",     "extra-x", "hud-jump"};

struct Site {
  uintptr_t at = 0;
  uint32_t length = 0;
  std::vector<uint8_t> original;
  std::vector<uint8_t> patched;
};

std::vector<uint8_t> Rel(uint8_t opcode, uintptr_t site, uintptr_t target) {
  uint32_t d = static_cast<uint32_t>(target) - static_cast<uint32_t>(site + 5);
  return {opcode, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
          static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
}

std::vector<uint8_t> BytesAt(uintptr_t at, uint32_t n) {
  std::vector<uint8_t> out(n);
  for (uint32_t i = 0; i < n; ++i) out[i] = *reinterpret_cast<volatile const uint8_t*>(at + i);
  return out;
}

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
Shared* g = nullptr;

void Violation(const std::string& what) {
  std::lock_guard<std::mutex> lock(g->violationMutex);
  ++g->violationCount;
  if (g->violations.size() < 20) g->violations.push_back(what);
}

SiteState StateOf(uint32_t id) {
  const Site& s = g->sites[id];
  std::vector<uint8_t> now = BytesAt(s.at, s.length);
  if (now == s.patched) return SiteState::Patched;
  if (now == s.original) return SiteState::Original;
  if (id == kHook && now == Rel(0xE9, s.at, g->altRoutine)) return SiteState::Alternative;
  return SiteState::Other;
}

// ---- The plug-in's VirtualProtect, seen and serialised ----------------------------------
VirtualProtectFn StandInProtect() {
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"));
}

int32_t QI_STDCALL WorkerProtect(void* address, uint32_t size, uint32_t newProtect,
                                 uint32_t* oldProtect) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (newProtect == sim::kPageExecuteReadWrite) {
    g->protectWindow.lock();
    int32_t ok = StandInProtect()(address, size, newProtect, oldProtect);
    if (ok == 0) {
      g->protectWindow.unlock();
      return 0;
    }
    bool known = false;
    for (uint32_t id = 0; id < kSiteCount; ++id) {
      if (g->sites[id].at == at) {
        ++g->lifts[id];
        known = true;
      }
    }
    if (!known) ++g->otherLifts;
    return ok;
  }
  // Every patch stores only while the site still holds what the installer
  // read; a lift after which the site does not hold the plug-in's bytes is a
  // store declined because the third party wrote the site in between.
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    if (g->sites[id].at == at && StateOf(id) != SiteState::Patched) ++g->declined[id];
  }
  int32_t ok = StandInProtect()(address, size, newProtect, oldProtect);
  g->protectWindow.unlock();
  return ok;
}

// At the start of every worker sleep: each site that the third party had
// finished restoring before the previous sleep began has been through one
// whole pass since, and must be patched again.
void OnWorkerSleep(uint32_t count, uint32_t milliseconds) {
  g->sleeps.store(count);
  if (milliseconds == 500) g->secondPhase.store(true);
  if (!g->checking.load()) return;
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    uint32_t seq = g->siteSeq[id].load();
    if ((seq & 1) != 0) continue;
    uint32_t restored = g->restoredAt[id].load();
    if (restored == 0 || restored + 2 > count) continue;
    SiteState state = StateOf(id);
    uint32_t target = g->repointTarget.load();
    uintptr_t saved = __atomic_load_n(&gState.savedHudTarget, __ATOMIC_ACQUIRE);
    if (g->siteSeq[id].load() != seq) continue;  // restored again meanwhile
    if (state != SiteState::Patched) {
      ++g->latePatches;
      Violation(std::string(kSiteNames[id]) +
                " not patched again within one pass (restored at sleep " +
                std::to_string(restored) + ", now sleep " + std::to_string(count) + ")");
    } else {
      ++g->deadlinesMet;
      if (id == kHook && saved != target) ++g->lostRepoints;
    }
    uint32_t expected = restored;
    g->restoredAt[id].compare_exchange_strong(expected, 0);
  }
}

// ---- The third party -----------------------------------------------------------------------
// Locked stores (cmpxchg8b, xchg): whole on every x86 processor inside a
// cache line, wherever the bytes lie in it.
void Store8(uintptr_t at, const uint8_t* bytes) {
  uint64_t v;
  memcpy(&v, bytes, 8);
  __atomic_exchange_n(reinterpret_cast<uint64_t*>(at), v, __ATOMIC_SEQ_CST);
}
void Store4(uintptr_t at, const uint8_t* bytes) {
  uint32_t v;
  memcpy(&v, bytes, 4);
  __atomic_exchange_n(reinterpret_cast<uint32_t*>(at), v, __ATOMIC_SEQ_CST);
}
void Store1(uintptr_t at, uint8_t value) {
  __atomic_store_n(reinterpret_cast<uint8_t*>(at), value, __ATOMIC_RELEASE);
}

void Restore(uint32_t id, std::mt19937& rng) {
  Site& s = g->sites[id];
  std::vector<uint8_t> bytes = s.original;
  uint32_t target = 0;
  if (id == kHook) {
    target = static_cast<uint32_t>((rng() & 1) ? g->altRoutine : g->hudRoutine);
    bytes = Rel(0xE9, s.at, target);
  }
  g->generation.fetch_add(1);
  g->siteSeq[id].fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(g->protectWindow);
    uint32_t old = 0;
    if (StandInProtect()(reinterpret_cast<void*>(s.at), s.length, sim::kPageExecuteReadWrite,
                         &old) == 0) {
      Violation(std::string("third party could not lift ") + kSiteNames[id]);
    } else {
      switch (id) {
        case kStatic:  // only the displacement differs
          Store4(s.at + 1, bytes.data() + 1);
          break;
        case kHook:
          Store4(s.at + 1, bytes.data() + 1);
          break;
        case kSpacing:
          if (rng() & 1) {
            Store1(s.at + 8, bytes[8]);  // the filler, never run
            Store8(s.at, bytes.data());
          } else {
            uint8_t tail[8];
            memcpy(tail, bytes.data() + 3, 6);
            memcpy(tail + 6, reinterpret_cast<const void*>(s.at + 9), 2);
            Store8(s.at + 3, tail);
          }
          break;
        default:  // centre text: the operand
          Store4(s.at + 4, bytes.data() + 4);
          break;
      }
      uint32_t ignored = 0;
      StandInProtect()(reinterpret_cast<void*>(s.at), s.length, old, &ignored);
    }
  }
  if (id == kHook) g->repointTarget.store(target);
  g->restoredAt[id].store(g->sleeps.load());
  g->siteSeq[id].fetch_add(1);
  g->generation.fetch_add(1);
  ++g->restores[id];
}

void ThirdParty(uint32_t seed) {
  std::mt19937 rng(seed);
  while (!g->stopThirdParty.load()) {
    // A round restores one site, or every site at once.
    if (rng() % 8 == 0) {
      for (uint32_t id = 0; id < kSiteCount; ++id) Restore(id, rng);
    } else {
      Restore(rng() % kSiteCount, rng);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
  }
}

// ---- What a frame must produce ----------------------------------------------------------------
struct Screen {
  int32_t width, height;
};
const Screen kScreens[2] = {{1920, 1080}, {1280, 1024}};

struct Expected {
  // Icon placement.
  uint32_t x, healthY, armourY, size;
  // Wheel, unpatched and patched.
  standin::Quad rotated[8], upright[8];
  uint32_t content[2][8], ammo[2][8];
  uint32_t centre[2][6];
};
Expected gExpected[2];

// Computed here from the design values, in single precision as the plug-in
// and VHud's code do (the ammo sum is exact in double and rounded once).
void ComputeExpected() {
  const float kSlot[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
  const float kFine[8] = {0.0f, 8.0f, 10.0f, 8.0f, 0.0f, -8.0f, -10.0f, -8.0f};
  const float kPatchedCentre[6] = {24.0f, 0.0f, -10.0f, 0.0f, -3.0f, 0.0f};
  for (int s = 0; s < 2; ++s) {
    Expected& e = gExpected[s];
    volatile float h = static_cast<float>(kScreens[s].height);
    volatile float w = static_cast<float>(kScreens[s].width);
    volatile float scale = h / 1080.0f;
    volatile float size = 24.0f * scale;
    volatile float aspect = w / h;
    volatile float wide = (w * 0.5f) + (-882.0f * scale);
    volatile float narrow = 78.0f * scale;
    float base = (aspect >= 1.7777778f) ? wide : narrow;
    volatile float x = (-64.0f * scale) + base;
    volatile float hy = (-892.0f * scale) + h;
    volatile float ay = (scale * -867.0f) + h;
    e.x = Bits(x);
    e.healthY = Bits(hy);
    e.armourY = Bits(ay);
    e.size = Bits(size);
    for (int k = 0; k < 8; ++k) {
      float angle = standin::kWheelAngles[k];
      standin::Quad q = standin::SlotStartQuad();
      StandinRotateQuad(&q, standin::kWheelCentreX, standin::kWheelCentreY, angle);
      e.rotated[k] = q;
      volatile float mx = (((q.v[0] + q.v[2]) + q.v[4]) + q.v[6]) * 0.25f;
      volatile float my = (((q.v[1] + q.v[3]) + q.v[5]) + q.v[7]) * 0.25f;
      StandinRotateQuad(&q, mx, my, -angle);
      volatile float offset = scale * kSlot[k];
      for (int i = 0; i < 8; i += 2) q.v[i] = q.v[i] + offset;
      e.upright[k] = q;
      volatile float fine = scale * kFine[k];
      e.content[0][k] = Bits(standin::kSlotContentX[k]);
      e.ammo[0][k] = Bits(standin::kSlotAmmoX[k]);
      e.content[1][k] = Bits(static_cast<float>(static_cast<double>(standin::kSlotContentX[k]) +
                                                static_cast<double>(offset)));
      e.ammo[1][k] =
          Bits(static_cast<float>((static_cast<double>(offset) + static_cast<double>(fine)) +
                                  static_cast<double>(standin::kSlotAmmoX[k])));
    }
    for (int i = 0; i < 6; ++i) {
      volatile float in = standin::kCentreTextInputs[i];
      bool sub = standin::kCentreTextOperations[i] == 0x5C;
      volatile float own = standin::kCentreTextConstants[i];
      volatile float ours = kPatchedCentre[i];
      e.centre[0][i] = Bits(sub ? in - own : in + own);
      e.centre[1][i] = Bits(sub ? in - ours : in + ours);
    }
  }
}

bool SameQuad(const standin::Quad& a, const standin::Quad& b) {
  for (int i = 0; i < 8; ++i) {
    if (Bits(a.v[i]) != Bits(b.v[i])) return false;
  }
  return true;
}

// The visibility state the render thread sets up.
struct Players {
  uintptr_t alive[2];
  uintptr_t dead;
};
Players gPlayers;

void SetUpState(int32_t state, std::mt19937& rng) {
  standin::SetMenuActive(state == 1 ? 1 : 0);
  standin::SetGameFrozen(state == 2 ? 1 : 0);
  standin::SetWantsToDrawHud(state == 3 ? 0 : 1);
  standin::SetWidescreen(state == 4 ? 1 : 0);
  standin::SetCutscene(state == 5 ? 1 : 0);
  if (state == 6) {
    standin::SetPlayer(0);
  } else if (state == 7) {
    standin::SetPlayer(gPlayers.dead);
  } else if (state == 0) {
    standin::SetPlayer(gPlayers.alive[rng() & 1]);
  }
  // States 1 to 5 keep whatever player there was: the plug-in does not ask.
}

struct Snapshot {
  SiteState sites[kSiteCount];
  uint32_t generation;
  uintptr_t saved;
};

Snapshot Take() {
  Snapshot s;
  s.generation = g->generation.load();
  for (uint32_t id = 0; id < kSiteCount; ++id) s.sites[id] = StateOf(id);
  s.saved = __atomic_load_n(&gState.savedHudTarget, __ATOMIC_ACQUIRE);
  return s;
}

bool Settled(const Snapshot& a, const Snapshot& b) {
  if (a.generation != b.generation || (a.generation & 1) != 0 || a.saved != b.saved) return false;
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    if (a.sites[id] != b.sites[id] || a.sites[id] == SiteState::Other) return false;
  }
  return true;
}

// What one frame produced, and what each way through it would have.
struct Outcome {
  uint32_t hudRuns;
  uint8_t radarSeen;
  uint8_t radarAfter;
  uint32_t queries;
  uint32_t draws;
  int32_t logged;
  bool operator==(const Outcome& o) const {
    return hudRuns == o.hudRuns && radarSeen == o.radarSeen && radarAfter == o.radarAfter &&
           queries == o.queries && draws == o.draws && logged == o.logged;
  }
};

std::string Describe(const Outcome& o) {
  char text[160];
  snprintf(text, sizeof(text), "runs=%u radarSeen=%u radarAfter=%u queries=%u draws=%u state=%d",
           o.hudRuns, o.radarSeen, o.radarAfter, o.queries, o.draws, o.logged);
  return text;
}

void CheckDraws(uint32_t first, uint32_t count, const Expected& e, uint32_t health, uint32_t armour,
                uint64_t frame) {
  const standin::GameRecorder* game = standin::GameRecord();
  for (uint32_t i = 0; i < count; ++i) {
    const standin::DrawRecord& d = game->draws[first + i];
    bool isHealth = i == 0;
    uintptr_t slot =
        reinterpret_cast<uintptr_t>(isHealth ? &gState.healthIcon : &gState.armourIcon);
    bool ok = d.sprite == slot && d.texture == (isHealth ? health : armour) && d.x == e.x &&
              d.y == (isHealth ? e.healthY : e.armourY) && d.width == e.size &&
              d.height == e.size && d.colour[0] == 255 && d.colour[1] == 255 &&
              d.colour[2] == 255 && d.colour[3] == 255;
    if (!ok) Violation("frame " + std::to_string(frame) + ": draw " + std::to_string(i) + " wrong");
  }
}

void CheckWheel(const Snapshot& before, const Snapshot& after, bool settled, const Expected& e,
                uint64_t frame) {
  const standin::WheelRecord* w = standin::VhudWheelRecord();
  std::string at = "frame " + std::to_string(frame) + ": ";
  if (w->slotFaults != 0) Violation(at + "a slot call broke the calling contract");
  for (int k = 0; k < 8; ++k) {
    if (w->spacingFaults[k] != 0) {
      Violation(at + "slot " + std::to_string(k) + " layout state differs, bits " +
                std::to_string(w->spacingFaults[k]));
    }
    bool upright = SameQuad(w->slotQuads[k], e.upright[k]);
    bool rotated = SameQuad(w->slotQuads[k], e.rotated[k]);
    uint32_t content = Bits(w->slotContentX[k]);
    uint32_t ammo = Bits(w->slotAmmoX[k]);
    // Slots without an offset may look the same either way.
    bool spaced = content == e.content[1][k] && ammo == e.ammo[1][k];
    bool unspaced = content == e.content[0][k] && ammo == e.ammo[0][k];
    if (!upright && !rotated) Violation(at + "slot " + std::to_string(k) + " quad is neither");
    if (!spaced && !unspaced) {
      Violation(at + "slot " + std::to_string(k) + " positions are neither");
    } else if (w->spacingFaults[k] == 0 && k != 0 && k != 4) {  // 0 and 4 never move
      ++(spaced ? g->layoutsMoved : g->layoutsOriginal);
    }
    if (settled) {
      bool staticPatched = before.sites[kStatic] == SiteState::Patched;
      bool spacingPatched = before.sites[kSpacing] == SiteState::Patched;
      if (!(staticPatched ? upright : rotated)) {
        Violation(at + "slot " + std::to_string(k) + " quad does not match the static site");
      }
      if (!(spacingPatched ? spaced : unspaced)) {
        Violation(at + "slot " + std::to_string(k) + " positions do not match the spacing site");
      }
    }
  }
  for (int i = 0; i < 6; ++i) {
    uint32_t got = Bits(w->centreText[i]);
    bool patched = before.sites[kCentre0 + i] == SiteState::Patched;
    if (got != e.centre[0][i] && got != e.centre[1][i]) {
      Violation(at + "centre text " + std::to_string(i) + " is neither");
    } else if (settled && got != e.centre[patched ? 1 : 0][i]) {
      Violation(at + "centre text " + std::to_string(i) + " does not match its site");
    }
  }
  (void)after;
}

void Render(uint32_t seed, uint32_t healthTexture, uint32_t armourTexture) {
  std::mt19937 rng(seed);
  const uint8_t kRadar[4] = {0, 1, 5, 255};
  int32_t state = 0;
  int screen = 0;
  uintptr_t base = g->base;
  standin::GameRecorder* game = standin::GameRecord();
  standin::VhudRecorder* vhud = standin::VhudRecord();
  for (uint64_t frame = 0; !g->stopRender.load(); ++frame) {
    if (frame % 48 == 0) {
      state = static_cast<int32_t>(rng() % 8);
      SetUpState(state, rng);
      if (rng() % 4 == 0) {
        screen = static_cast<int>(rng() & 1);
        standin::SetScreen(kScreens[screen].width, kScreens[screen].height);
      }
    }
    bool wheel = (rng() & 1) != 0;
    uint8_t radar = kRadar[rng() % 4];
    standin::SetWheelOpen(base, wheel ? 1 : 0);
    standin::SetRadarEnabled(base, radar);
    if (vhud->hudRuns >= 200 || vhud->loadCalls >= 100) standin::ClearVhudRecord();
    if (game->drawCalls >= 200) standin::ClearGameRecord();
    standin::ClearVhudWheelRecord();

    uint32_t runs0 = vhud->hudRuns;
    uint32_t queries0 = game->queryCalls;
    uint32_t draws0 = game->drawCalls;
    int32_t logged0 = gState.lastLoggedState;
    Snapshot before = Take();
    standin::RunHudFrame();
    Snapshot after = Take();

    Outcome got{vhud->hudRuns - runs0,
                runs0 < standin::kMaxHudRunRecords ? vhud->radarSeen[runs0] : uint8_t{0xEE},
                standin::RadarEnabled(base),
                game->queryCalls - queries0,
                game->drawCalls - draws0,
                gState.lastLoggedState};
    Outcome viaHook{1,
                    static_cast<uint8_t>((wheel && radar != 0) ? 0 : radar),
                    radar,
                    (state == 0 || state == 6 || state == 7) ? 1u : 0u,
                    (state == 0 && !wheel) ? 2u : 0u,
                    state};
    Outcome direct{1, radar, radar, 0, 0, logged0};
    bool settled = Settled(before, after);
    std::string at = "frame " + std::to_string(frame) + ": ";
    if (game->lastFrameFault != 0) {
      Violation(at + "the frame changed the caller's stack or registers, bits " +
                std::to_string(game->lastFrameFault));
    }
    if (got.radarAfter != radar) {
      Violation(at + "radar byte left at " + std::to_string(got.radarAfter) + ", was " +
                std::to_string(radar));
    }
    bool hooked = got == viaHook;
    bool straight = got == direct;
    if (settled) {
      ++g->settledFrames;
      bool throughHook = before.sites[kHook] == SiteState::Patched;
      if (throughHook ? !hooked : !straight) {
        Violation(at + (throughHook ? "hooked" : "direct") + " frame: got " + Describe(got) +
                  ", want " + Describe(throughHook ? viaHook : direct) + " (state " +
                  std::to_string(state) + ", wheel " + std::to_string(wheel) + ")");
      }
    } else if (!hooked && !straight) {
      Violation(at + "frame matches neither way through: got " + Describe(got) + "; hooked " +
                Describe(viaHook) + "; direct " + Describe(direct));
    }
    if (hooked && got.draws == 2) {
      CheckDraws(draws0, 2, gExpected[screen], healthTexture, armourTexture, frame);
    }
    if (hooked && !straight) ++g->hookFrames;
    if (straight && !hooked) ++g->directFrames;
    if (wheel) {
      ++g->wheelFrames;
      CheckWheel(before, after, settled, gExpected[screen], frame);
    }
    g->frames.store(frame + 1);
  }
}

// An entry inside VHud's image leading to VHud's HUD routine: a second
// target, inside VHud, for the third party to point the HUD jump at.
std::atomic<uint64_t> gAltRuns{0};
uintptr_t gHudRoutineForAlt = 0;
extern "C" __attribute__((cdecl)) void StressAltHudRoutine() {
  ++gAltRuns;
  reinterpret_cast<void(__attribute__((cdecl))*)()>(gHudRoutineForAlt)();
}

// ---- The log ----------------------------------------------------------------------------------
// Every text the run may write; '#' stands for "0x" and eight upper-case
// hexadecimal digits.
const char* const kVocabulary[] = {
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + hide "
    "custom health/armour icons while wheel open",
    "[THREAD] worker started",
    "[OK] VHud.asi base=# size=#",
    "[WHEEL][OK] static-slot patch installed; original RotateVertices=#",
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
    "[HOOK] installed; original=# hook=#",
    "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
    "[STATE] drawing allowed",
    "[STATE] hidden: menu active",
    "[STATE] hidden: game frozen/paused",
    "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false",
    "[STATE] hidden: widescreen/cinematic",
    "[STATE] hidden: cutscene running",
    "[STATE] hidden: player ped unavailable",
    "[STATE] hidden: player dead / invalid health",
    "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open",
    "[INFO] player pointer changed -> #",
    "[INFO] cached icon textures invalidated after player transition",
    "[LOAD] health=# armour=#",
    "[DRAW] first successful draw health=# armour=#",
    "[STOP] DLL detach",
};
constexpr size_t kVocabularySize = sizeof(kVocabulary) / sizeof(kVocabulary[0]);

// Length of the match of `pattern` at text[at], or 0.
size_t MatchAt(const std::string& text, size_t at, const char* pattern) {
  size_t i = at;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '#') {
      if (text.compare(i, 2, "0x") != 0) return 0;
      i += 2;
      for (int d = 0; d < 8; ++d, ++i) {
        char c = i < text.size() ? text[i] : '\0';
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return 0;
      }
    } else {
      if (i >= text.size() || text[i] != *p) return 0;
      ++i;
    }
  }
  return i - at;
}

struct LogReport {
  bool whole = true;  // every byte belongs to a known text or a CR LF
  size_t badAt = 0;
  uint32_t maxPending = 0;  // texts waiting for their CR LF at once
  uint32_t interleaved = 0;
  uint32_t pendingAtEnd = 0;
  std::vector<uint32_t> counts = std::vector<uint32_t>(kVocabularySize, 0);
  uint32_t texts = 0;
};

LogReport ReadLogTexts(const std::string& log) {
  LogReport r;
  uint32_t pending = 0;
  size_t at = 0;
  while (at < log.size()) {
    if (log.compare(at, 2, "\r\n") == 0) {
      if (pending == 0) {
        r.whole = false;
        r.badAt = at;
        return r;
      }
      --pending;
      at += 2;
      continue;
    }
    size_t best = 0;
    size_t which = 0;
    for (size_t v = 0; v < kVocabularySize; ++v) {
      size_t n = MatchAt(log, at, kVocabulary[v]);
      if (n > best) {
        best = n;
        which = v;
      }
    }
    if (best == 0) {
      r.whole = false;
      r.badAt = at;
      return r;
    }
    ++r.counts[which];
    ++r.texts;
    ++pending;
    if (pending > 1) ++r.interleaved;
    if (pending > r.maxPending) r.maxPending = pending;
    at += best;
  }
  r.pendingAtEnd = pending;
  return r;
}

size_t IndexOf(const char* prefix) {
  for (size_t v = 0; v < kVocabularySize; ++v) {
    if (strncmp(kVocabulary[v], prefix, strlen(prefix)) == 0) return v;
  }
  return kVocabularySize;
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
  // The first phase places everything at once; wait for the second phase.
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (!g->secondPhase.load() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(g->secondPhase.load()) << "the worker never reached its second phase";
  for (uint32_t id = 0; id < kSiteCount; ++id) {
    ASSERT_EQ(SiteState::Patched, StateOf(id)) << kSiteNames[id];
  }
  uint32_t initialLifts[kSiteCount];
  for (uint32_t id = 0; id < kSiteCount; ++id) initialLifts[id] = g->lifts[id].load();

  g->checking.store(true);
  std::thread render(Render, seed, health, armour);
  std::thread third(ThirdParty, seed ^ 0x9E3779B9u);
  // The run lasts its seconds, and on a slower machine as long as it takes
  // to cover what the verdicts below count (the last limit only ends a run
  // that hangs).
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
  const Clock::time_point hung = end + std::chrono::seconds(40);
  while (Clock::now() < end || (!covered() && Clock::now() < hung)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  g->stopThirdParty.store(true);
  third.join();

  // Everything is back within one pass of the last restore, while frames go on.
  uint32_t last = g->sleeps.load();
  deadline = Clock::now() + std::chrono::seconds(10);
  while (g->sleeps.load() < last + 3 && Clock::now() < deadline) {
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
